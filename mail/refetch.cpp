#include "mail/refetch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <cstdio>

namespace mail {

namespace {

// "name (12).ext" → "name.ext": the name a numbered copy was made beside.
QString unnumbered(const QString &relative) {
  static const QRegularExpression numbered(QStringLiteral("^(.*) \\(\\d+\\)(\\.[^./]*)?$"));
  const QRegularExpressionMatch m = numbered.match(relative);
  return m.hasMatch() ? m.captured(1) + m.captured(2) : relative;
}

// Whether the file `part` holds the start of the file `whole` (or all of it).
bool startOf(const QString &part, const QString &whole) {
  QFile a(part), b(whole);
  if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.size() > b.size())
    return false;
  constexpr qint64 Piece = 1 << 20;
  while (!a.atEnd()) {
    const QByteArray x = a.read(Piece);
    if (x.isEmpty() || b.read(x.size()) != x)
      return false;
  }
  return true;
}

bool isPartsFolder(const QString &relative) {
  return relative.startsWith(QStringLiteral(".partial/")) || relative == QStringLiteral("0.txt");
}

} // namespace

QStringList attachmentsOfMail(QList<platform::PendingFile> &written, const QString &home,
                              const QStringList &before, bool interrupted) {
  QStringList out;
  QSet<QString> reused;
  const QDir folder(home);
  for (platform::PendingFile &file : written) {
    if (!file.path.startsWith(home + u'/') || !QFileInfo(file.path).isFile())
      continue;
    QString relative = folder.relativeFilePath(file.path);
    if (isPartsFolder(relative))
      continue;
    const QString base = unnumbered(relative);
    if (interrupted && base != relative && !before.contains(base) && !out.contains(base) &&
        startOf(folder.filePath(base), file.path) &&
        std::rename(QFile::encodeName(file.path).constData(),
                    QFile::encodeName(folder.filePath(base)).constData()) == 0) {
      file.path = folder.filePath(base);
      relative = base;
    } else if (!before.contains(relative)) {
      for (const QString &earlier : before) {
        if (reused.contains(earlier) || out.contains(earlier) || unnumbered(earlier) != base ||
            !QFileInfo(folder.filePath(earlier)).isFile())
          continue;
        const QString target = folder.filePath(earlier);
        if (std::rename(QFile::encodeName(file.path).constData(),
                        QFile::encodeName(target).constData()) == 0) {
          file.path = target;
          relative = earlier;
        }
        break;
      }
    }
    reused.insert(relative);
    out.append(relative);
  }
  // What an interrupted run left beside them: numbered copies that hold the
  // start of what the file holds now, cut short where that run ended.
  if (interrupted)
    for (const QString &relative : std::as_const(out)) {
      const QFileInfo whole(folder.filePath(relative));
      const QDir dir = whole.dir();
      for (const QString &name : dir.entryList(QDir::Files)) {
        const QString other = folder.relativeFilePath(dir.filePath(name));
        if (other != relative && !out.contains(other) && unnumbered(other) == relative &&
            startOf(dir.filePath(name), whole.filePath()))
          QFile::remove(dir.filePath(name));
      }
    }
  return out;
}

void dropAttachments(const QString &home, const QStringList &attachments) {
  for (const QString &relative : attachments)
    QFile::remove(QDir(home).filePath(relative));
}

} // namespace mail
