// Text in the charsets Japanese mail arrives in, and the one it leaves in.
//
// Real mail says "ISO-2022-JP" and carries NEC row 13 (①, ㈱ …), says
// "Shift_JIS" and carries CP932, or says nothing at all; glibc's strict
// converters reject all of that, so every decode goes through here.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace nmail::charset {

// `bytes` in `charset` (a MIME charset name, any case; empty when the mail
// declares none). Undecodable bytes become U+FFFD; never fails.
QString decode(const QByteArray &bytes, const QByteArray &charset);

// Text whose charset nobody declared: UTF-8 if valid, JIS if it has "ESC $",
// then EUC-JP, then CP932.
QString guess(const QByteArray &bytes);

// The bytes of ISO-2022-JP text rewritten as EUC-JP, so that one converter
// (EUC-JP-MS) handles JIS X 0208, the NEC rows, half-width kana and JIS X 0212.
QByteArray jisToEuc(const QByteArray &jis);
// ISO-2022-JP text decoded the long way, through jisToEuc and iconv's
// EUC-JP-MS; decode() reads the same through a table, and gives the same.
QString fromJisThroughIconv(const QByteArray &jis);

// `text` as ISO-2022-JP when every character survives the round trip (ending
// in ASCII), or nothing.
std::optional<QByteArray> toIso2022jp(const QString &text);

// Line breaks of any kind (CR LF, LF, CR) as CR LF.
QString crlf(const QString &text);

// Text for one header line, going out or shown: each line break (CR LF, CR,
// LF, U+2028, U+2029) and every other control character becomes one blank,
// so nothing typed or received can start a header line of its own; a NUL is
// dropped.
QString oneLine(const QString &text);

} // namespace nmail::charset
