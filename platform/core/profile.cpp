// Profile files read and written the way the Windows profile functions do,
#include "platform/core/replacefile.h"
// so files travel both ways between this program and the Windows one.
#include "platform/core/profile.h"

#include "platform/core/ansi.h"
#include "platform/core/blank.h"

#include <QFile>
#include <QFileInfo>
#include "platform/core/privatefiles.h"


namespace platform {
namespace {

struct Line {
  QByteArray raw;    // the bytes as in the file, without the line end
  QByteArray ending; // "\r\n", "\n", "\r" or "" for the last line
};

QList<Line> splitLines(const QByteArray &data) {
  QList<Line> lines;
  qsizetype pos = 0;
  while (pos < data.size()) {
    qsizetype end = pos;
    while (end < data.size() && data[end] != '\r' && data[end] != '\n')
      ++end;
    Line line{data.mid(pos, end - pos), {}};
    if (end < data.size()) {
      if (data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n')
        line.ending = "\r\n";
      else
        line.ending = data.mid(end, 1);
    }
    pos = end + line.ending.size();
    lines.append(line);
  }
  return lines;
}

QString trimmed(const QString &text) {
  qsizetype b = 0, e = text.size();
  while (b < e && isBlank(text[b].unicode()))
    ++b;
  while (e > b && isBlank(text[e - 1].unicode()))
    --e;
  return text.mid(b, e - b);
}

// The section name of a "[name]" line, or nothing.
std::optional<QString> sectionOf(const QString &line) {
  const QString t = trimmed(line);
  if (!t.startsWith(u'['))
    return std::nullopt;
  const qsizetype close = t.indexOf(u']');
  if (close < 0)
    return std::nullopt;
  return trimmed(t.mid(1, close - 1));
}

// The key and raw value of a "key=value" line, or nothing.
std::optional<std::pair<QString, QString>> entryOf(const QString &line) {
  const qsizetype eq = line.indexOf(u'=');
  if (eq < 0)
    return std::nullopt;
  return std::make_pair(trimmed(line.left(eq)), line.mid(eq + 1));
}

bool sameName(const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// One pair of matching quotes around a value is not part of it (Windows
// removes them on read); that is also how a value keeps outer blanks.
QString unquoted(const QString &value) {
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
    return value.mid(1, value.size() - 2);
  return value;
}

QString storedForm(const QString &value) {
  const bool outerBlank =
      !value.isEmpty() && (isBlank(value.front().unicode()) || isBlank(value.back().unicode()));
  const bool looksQuoted = unquoted(value) != value;
  if (outerBlank || looksQuoted)
    return u'"' + value + u'"';
  return value;
}

bool readFile(const QString &file, QByteArray &data) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly))
    return false;
  data = f.readAll();
  return f.error() == QFileDevice::NoError;
}

} // namespace

QString getPrivateProfileString(const QString &section, const QString &key, const QString &defaultValue,
                                int bufferSize, const QString &file) {
  if (bufferSize <= 0)
    return {};
  QString value = trimmed(defaultValue);
  QByteArray data;
  if (!section.isEmpty() && !key.isEmpty() && readFile(file, data)) {
    // Only the first section of the name counts, the one a write changes.
    bool inSection = false;
    for (const Line &line : splitLines(data)) {
      const QString text = fromAnsi(line.raw);
      if (const auto name = sectionOf(text)) {
        if (inSection)
          break;
        inSection = sameName(*name, section);
        continue;
      }
      if (!inSection)
        continue;
      const auto entry = entryOf(text);
      if (entry && sameName(entry->first, key)) {
        value = unquoted(trimmed(entry->second));
        break;
      }
    }
  }
  return fromAnsi(cutAnsi(toAnsi(value), bufferSize - 1));
}

bool writePrivateProfileString(const QString &section, const QString &key, const QString &value,
                               const QString &file) {
  // A line break in a name or value would end the line early and slip a
  // line of its own into the file.
  const auto hasBreak = [](const QString &s) { return s.contains(u'\r') || s.contains(u'\n'); };
  if (trimmed(section).isEmpty() || trimmed(key).isEmpty() || hasBreak(section) || hasBreak(key) ||
      hasBreak(value) || key.contains(u'=') || section.contains(u']'))
    return false;

  QByteArray data;
  const bool existed = QFileInfo::exists(file);
  if (existed && !readFile(file, data))
    return false;
  QList<Line> lines = splitLines(data);

  // New lines take the file's own line end, CR LF in a new file.
  QByteArray eol = "\r\n";
  for (const Line &l : lines) {
    if (!l.ending.isEmpty()) {
      eol = l.ending;
      break;
    }
  }

  const QByteArray entryLine = toAnsi(trimmed(key) + u'=' + storedForm(value));
  qsizetype sectionAt = -1;  // the section's header line
  qsizetype lastEntry = -1;  // last non-blank line of the section
  qsizetype replaceAt = -1;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString text = fromAnsi(lines[i].raw);
    if (const auto name = sectionOf(text)) {
      if (sectionAt >= 0)
        break; // past our section
      if (sameName(*name, section)) {
        sectionAt = i;
        lastEntry = i;
      }
      continue;
    }
    if (sectionAt < 0)
      continue;
    if (!trimmed(text).isEmpty())
      lastEntry = i;
    const auto entry = entryOf(text);
    if (entry && sameName(entry->first, key)) {
      replaceAt = i;
      break;
    }
  }

  if (replaceAt >= 0) {
    lines[replaceAt].raw = entryLine;
  } else if (sectionAt >= 0) {
    if (lines[lastEntry].ending.isEmpty())
      lines[lastEntry].ending = eol;
    lines.insert(lastEntry + 1, Line{entryLine, eol});
  } else {
    if (!lines.isEmpty() && lines.last().ending.isEmpty())
      lines.last().ending = eol;
    lines.append(Line{toAnsi(u'[' + trimmed(section) + u']'), eol});
    lines.append(Line{entryLine, eol});
  }

  QByteArray out;
  for (const Line &l : lines)
    out += l.raw + l.ending;

  // The account file holds a password in plain text, the others what the
  // user does: only the owner reads them. Replaced whole, never short.
  return replaceFile(file, out);
}

} // namespace platform
