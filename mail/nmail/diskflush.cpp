#include "mail/nmail/diskflush.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace nmail {

namespace {

QStringList &written() {
  static QStringList paths;
  return paths;
}

enum class Flush { Done, Gone, Failed };

Flush fsyncPath(const QString &path, bool folder) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0)
    return errno == ENOENT ? Flush::Gone : Flush::Failed;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok ? Flush::Done : Flush::Failed;
}

// Starts the write-back of a file without waiting for it.
void startWriteBack(const QString &path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  ::close(fd);
}

} // namespace

void noteWrittenFile(const QString &path) {
  if (!path.isEmpty())
    written().append(path);
}

bool flushWrittenFiles(QString *failedPath) {
  QStringList paths;
  paths.swap(written());
  // One fsync after another waits for one journal commit each: thousands of
  // attachments of one mail took a quarter of a minute. With the write-back
  // of every file under way first, the first fsync commits them all and the
  // rest find little left to wait for; each file is still fsync'ed.
  if (paths.size() > 1)
    for (const QString &path : std::as_const(paths))
      startWriteBack(path);
  bool ok = true;
  QSet<QString> folders;
  for (const QString &path : paths) {
    const QFileInfo info(path);
    const bool isFolder = info.isDir();
    if (fsyncPath(path, isFolder) == Flush::Failed && ok) {
      ok = false;
      if (failedPath)
        *failedPath = path;
    }
    folders.insert(info.absolutePath());
  }
  // A new name reaches the disk with its folder. Some file systems cannot
  // flush a folder; the data itself is safe then, so this never fails.
  for (const QString &folder : folders)
    fsyncPath(folder, true);
  return ok;
}

void forgetWrittenFiles() {
  written().clear();
}

} // namespace nmail
