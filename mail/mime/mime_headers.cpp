#include "mail/mime/mime_headers.h"

#include "mail/mime/charset.h"
#include "mail/mime/mime_words.h"

#include "platform/core/blank.h"

namespace nmail::mime {

using platform::isBlank;

QByteArray headerBlock(const QByteArray &raw) {
  qsizetype i = 0;
  while (i < raw.size()) {
    qsizetype eol = raw.indexOf('\n', i);
    if (eol < 0)
      return raw;
    const qsizetype lineLength = eol - i - ((eol > i && raw[eol - 1] == '\r') ? 1 : 0);
    if (lineLength == 0)
      return raw.left(i);
    i = eol + 1;
  }
  return raw;
}

QByteArray headerValue(const QByteArray &block, const QByteArray &name) {
  const QList<QByteArray> lines = block.split('\n');
  for (qsizetype i = 0; i < lines.size(); ++i) {
    QByteArray line = lines[i];
    if (line.endsWith('\r'))
      line.chop(1);
    // A folded line belongs to the header above it, whatever it looks like.
    if (line.isEmpty() || line[0] == ' ' || line[0] == '\t')
      continue;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) != 0)
      continue;
    QByteArray value = line.mid(colon + 1);
    while (i + 1 < lines.size() && !lines[i + 1].isEmpty() &&
           (lines[i + 1][0] == ' ' || lines[i + 1][0] == '\t'))
      value += '\n' + lines[++i];
    return unfold(value);
  }
  return QByteArray();
}

QByteArray unfold(QByteArray value) {
  value.replace("\r\n", "\n");
  // A fold is a line break in front of a blank: the break goes, the blank
  // (space or tab) stays.
  value.replace("\n ", " ");
  value.replace("\n\t", "\t");
  value.replace('\n', ' ');
  return value.trimmed();
}

ParsedField parseField(const QByteArray &value) {
  ParsedField field;
  qsizetype i = 0;
  const qsizetype n = value.size();
  const qsizetype firstSemi = value.indexOf(';');
  field.token = value.left(firstSemi < 0 ? n : firstSemi).trimmed().toLower();
  if (firstSemi < 0)
    return field;
  i = firstSemi + 1;

  struct Section {
    QByteArray bytes;
    bool extended = false;
  };
  QMap<QByteArray, QMap<int, Section>> split; // name → section → bytes (RFC 2231)
  QMap<QByteArray, QByteArray> plain;

  while (i < n) {
    while (i < n && (isBlank(value[i]) || value[i] == ';'))
      ++i;
    const qsizetype nameStart = i;
    while (i < n && value[i] != '=' && value[i] != ';')
      ++i;
    QByteArray name = value.mid(nameStart, i - nameStart).trimmed().toLower();
    if (i >= n || value[i] == ';' || name.isEmpty()) {
      // "; =x" or a bare word: skip to the next parameter.
      while (i < n && value[i] != ';')
        ++i;
      continue;
    }
    ++i; // '='
    while (i < n && (value[i] == ' ' || value[i] == '\t'))
      ++i;
    QByteArray v;
    if (i < n && value[i] == '"') {
      ++i;
      while (i < n && value[i] != '"') {
        if (value[i] == '\\' && i + 1 < n)
          ++i;
        v += value[i++];
      }
      ++i; // closing quote
      while (i < n && value[i] != ';')
        ++i; // junk after the quotes
    } else {
      // Unquoted; senders put blanks in these too, so read up to the ';'.
      const qsizetype start = i;
      while (i < n && value[i] != ';')
        ++i;
      v = value.mid(start, i - start).trimmed();
    }
    // name, name*, name*N, name*N*
    const qsizetype star = name.indexOf('*');
    if (star < 0) {
      if (!plain.contains(name))
        plain.insert(name, v);
      continue;
    }
    const QByteArray base = name.left(star);
    QByteArray rest = name.mid(star + 1);
    Section s;
    s.bytes = v;
    int number = 0;
    if (rest.isEmpty()) {
      s.extended = true;
    } else {
      s.extended = rest.endsWith('*');
      if (s.extended)
        rest.chop(1);
      bool ok = false;
      number = rest.toInt(&ok);
      if (!ok || number < 0 || number > 999)
        continue;
    }
    if (!split[base].contains(number))
      split[base].insert(number, s);
  }

  for (auto it = split.cbegin(); it != split.cend(); ++it) {
    QByteArray bytes;
    QByteArray charsetName;
    bool first = true;
    bool anyExtended = false;
    for (auto sec = it.value().cbegin(); sec != it.value().cend(); ++sec) {
      QByteArray part = sec.value().bytes;
      if (sec.value().extended) {
        anyExtended = true;
        if (first) {
          // charset'language'value
          const qsizetype a = part.indexOf('\'');
          const qsizetype b = a < 0 ? -1 : part.indexOf('\'', a + 1);
          if (b > a) {
            charsetName = part.left(a);
            part = part.mid(b + 1);
          }
        }
        bytes += QByteArray::fromPercentEncoding(part);
      } else {
        bytes += part;
      }
      first = false;
    }
    if (anyExtended)
      field.params.insert(it.key(), charset::decode(bytes, charsetName));
    else
      field.params.insert(it.key(), decodeWords(bytes));
  }
  for (auto it = plain.cbegin(); it != plain.cend(); ++it) {
    if (!field.params.contains(it.key()))
      field.params.insert(it.key(), decodeWords(it.value()));
  }
  return field;
}

// Where a message's body starts: after the blank line that ends its header;
// -1 when `lead` holds no blank line.
qsizetype bodyStart(const QByteArray &lead) {
  qsizetype i = 0;
  while (i < lead.size()) {
    const qsizetype eol = lead.indexOf('\n', i);
    if (eol < 0)
      return -1;
    if (eol == i || (eol == i + 1 && lead[i] == '\r'))
      return eol + 1;
    i = eol + 1;
  }
  return -1;
}

// The header fields of a block, each with its folded lines, every line
// ending in CR LF.
QList<QByteArray> fieldsOf(const QByteArray &block) {
  QList<QByteArray> fields;
  for (QByteArray line : block.split('\n')) {
    if (line.endsWith('\r'))
      line.chop(1);
    if (line.isEmpty())
      continue;
    line += "\r\n";
    if ((line[0] == ' ' || line[0] == '\t') && !fields.isEmpty())
      fields.last() += line;
    else
      fields << line;
  }
  return fields;
}

QByteArray fieldName(const QByteArray &field) {
  const qsizetype colon = field.indexOf(':');
  return colon > 0 ? field.left(colon).trimmed().toLower() : QByteArray();
}

// Whether every line of a header block is a field or the fold of one. A
// set whose enclosed header is not is no mail that can be read.
bool isHeader(const QByteArray &block) {
  bool first = true;
  for (QByteArray line : block.split('\n')) {
    if (line.endsWith('\r'))
      line.chop(1);
    if (line.isEmpty())
      continue;
    const bool fold = line[0] == ' ' || line[0] == '\t';
    const qsizetype colon = line.indexOf(':');
    bool named = colon > 0;
    for (qsizetype i = 0; named && i < colon; ++i)
      named = line[i] > 0x20 && line[i] < 0x7f;
    if (fold ? first : !named)
      return false;
    first = false;
  }
  return true;
}

} // namespace nmail::mime
