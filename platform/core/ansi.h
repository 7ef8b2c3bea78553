// The data files are Windows ANSI text (code page 932, Shift_JIS with the
// NEC and IBM extensions) so that the Windows program can still read them and
// we can read its files. This is the one place that converts.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Unicode -> CP932. A character CP932 cannot hold becomes "?".
QByteArray toAnsi(const QString &text);
// CP932 -> Unicode. Bytes that are not valid CP932 become U+FFFD.
QString fromAnsi(const QByteArray &bytes);
QString fromAnsi(const char *data, qsizetype size);
// The same conversion done by iconv call by call; fromAnsi gives the same
// text from a table read out of iconv once.
QString fromAnsiWithIconv(const QByteArray &bytes);

// True when every character of `text` survives a round trip through CP932.
bool fitsAnsi(const QString &text);

// `text` in CP932, cut to at most `width` bytes without splitting a
// double-byte character, then padded with blanks (0x20) to exactly `width`.
QByteArray ansiField(const QString &text, int width);

// CP932 bytes cut to at most `maxBytes` without splitting a double-byte
// character (no padding).
QByteArray cutAnsi(const QByteArray &bytes, int maxBytes);

// The text of a fixed-width field: converted and, when `trim` is set, with
// leading and trailing blanks removed (the way most readers take a field).
QString readAnsiField(const QByteArray &field, bool trim = true);

// Removes leading and trailing blanks (U+0020 only, as the Windows readers
// did; tabs and ideographic spaces stay).
QString trimBlanks(const QString &text);

} // namespace platform
