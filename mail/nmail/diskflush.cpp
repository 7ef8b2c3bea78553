#include "mail/nmail/diskflush.h"

#include <QFileInfo>
#include <QStringList>

#include <utility>

namespace nmail {

namespace {

QStringList &written() {
  static QStringList paths;
  return paths;
}

} // namespace

void noteWrittenFile(const QString &path) {
  if (!path.isEmpty())
    written().append(path);
}

QList<platform::PendingFile> takeWrittenFiles() {
  QList<platform::PendingFile> out;
  for (const QString &path : std::exchange(written(), {}))
    out.append(platform::PendingFile{path, true, {}});
  return out;
}

bool flushWrittenFiles(QString *failedPath) {
  return platform::syncFiles(takeWrittenFiles(), failedPath);
}

void forgetWrittenFiles() {
  written().clear();
}

} // namespace nmail
