// Header text of mail: encoded-words (RFC 2047) both ways (the header block
// itself and its structured fields are read in mime_headers.h). Our own
// decoder, because GMime 3.2.13 drops every encoded-word that follows a
// "="-padded B word and its ISO-2022-JP converter rejects ① and the like.
#pragma once

#include <QByteArray>
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

} // namespace nmail::mime
