#include "mail/mime/diskflush.h"

#include <QFileInfo>
#include <QStringList>

#include <mutex>
#include <utility>

namespace nmail {

namespace {

// The attachment step writes on a worker while the receive waits for it.
std::mutex writtenLock;

QStringList &written() {
  static QStringList paths;
  return paths;
}

} // namespace

void noteWrittenFile(const QString &path) {
  if (path.isEmpty())
    return;
  const std::lock_guard lock(writtenLock);
  written().append(path);
}

QList<platform::PendingFile> takeWrittenFiles() {
  QList<platform::PendingFile> out;
  QStringList paths;
  {
    const std::lock_guard lock(writtenLock);
    paths = std::exchange(written(), {});
  }
  for (const QString &path : std::as_const(paths))
    out.append(platform::PendingFile{path, true, {}});
  return out;
}

bool flushWrittenFiles(QString *failedPath) {
  return platform::syncFiles(takeWrittenFiles(), failedPath);
}

void forgetWrittenFiles() {
  const std::lock_guard lock(writtenLock);
  written().clear();
}

} // namespace nmail
