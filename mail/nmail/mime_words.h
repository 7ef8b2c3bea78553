// Header text of mail: encoded-words (RFC 2047) both ways, parameters with
// RFC 2231 continuations, and header lookup in a raw header block. Our own
// decoder, because GMime 3.2.13 drops every encoded-word that follows a
// "="-padded B word and its ISO-2022-JP converter rejects ① and the like.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace nmail::mime {

// Unstructured header text (or a parameter value) as a person reads it:
// encoded-words decoded wherever they stand, the blanks between two adjacent
// words dropped, raw 8-bit bytes decoded as undeclared text.
QString decodeWords(const QByteArray &value);

// The value re-written so that every run of encoded-words, and every run of
// raw 8-bit bytes, is one "=?UTF-8?B?…?=" word: safe for GMime to decode.
QByteArray normaliseWords(const QByteArray &value);

// `text` as encoded-words for a header: ISO-2022-JP B words when every
// character fits, else UTF-8 B words; each word at most 75 bytes, joined by
// "\r\n " so a header folds between them. ASCII text without "=?" stays as is.
QByteArray encodeWords(const QString &text, int firstLineUsed);

// The header block of a message (up to the first empty line), LF or CR LF.
QByteArray headerBlock(const QByteArray &raw);
// The unfolded value of the first header `name` (case-insensitive), or a
// null array when it is absent.
QByteArray headerValue(const QByteArray &block, const QByteArray &name);

// A Content-Type or Content-Disposition value: the lower-cased first token
// ("text/plain", "attachment") and the parameters, names lower-cased, values
// decoded (RFC 2231 with continuations and charset, RFC 2047 where senders put
// it anyway, raw 8-bit text).
struct ParsedField {
  QByteArray token;
  QMap<QByteArray, QString> params;
};
ParsedField parseField(const QByteArray &value);

} // namespace nmail::mime
