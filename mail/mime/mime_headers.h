// The header block of a raw message and its fields: lookup of a header's
// unfolded value, and the structured Content-Type / Content-Disposition
// values with their parameters (RFC 2045, RFC 2231 continuations and
// charsets). Text inside them is decoded by mime_words.h.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace nmail::mime {

// The header block of a message (up to the first empty line), LF or CR LF.
QByteArray headerBlock(const QByteArray &raw);
// The unfolded value of the first header `name` (case-insensitive), or a
// null array when it is absent.
QByteArray headerValue(const QByteArray &block, const QByteArray &name);
// A field's value with its folds undone (RFC 5322): a line break (CR LF or
// LF) in front of a space or tab is removed and the blank kept, any other
// line break becomes a space; blanks around the value are trimmed.
QByteArray unfold(QByteArray value);

// Where a message's body starts: after the blank line that ends its header;
// -1 when `lead` holds no blank line.
qsizetype bodyStart(const QByteArray &lead);
// The header fields of a block, each with its folded lines, every line
// ending in CR LF.
QList<QByteArray> fieldsOf(const QByteArray &block);
// A field's name, lower-cased; empty when it has none.
QByteArray fieldName(const QByteArray &field);
// Whether every line of a header block is a field or the fold of one.
bool isHeader(const QByteArray &block);

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
