// The header block of a raw message and its fields: lookup of a header's
// unfolded value, and the structured Content-Type / Content-Disposition
// values with their parameters (RFC 2045, RFC 2231 continuations and
// charsets). Text inside them is decoded by mime_words.h.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace nmail::mime {

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
