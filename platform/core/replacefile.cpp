#include "platform/core/replacefile.h"

#include "platform/core/filesync.h"
#include "platform/core/privatefiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool replaceFile(const QString &path, const QByteArray &bytes) {
  const QString work = path + QStringLiteral(".new");
  const QByteArray workName = QFile::encodeName(work);
  // A work file left by a crash is truncated and made private before a byte
  // goes into it.
  const int fd = openPrivateFile(work, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0)
    return false;
  const bool written = writeWhole(fd, bytes.constData(), bytes.size()) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed ||
      ::rename(workName.constData(), QFile::encodeName(path).constData()) != 0) {
    ::unlink(workName.constData());
    return false;
  }
  // The new name on the disk too. Some file systems cannot sync a folder
  // (EINVAL): the data is on the disk there all the same.
  const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0)
    return false;
  const bool synced = ::fsync(folder) == 0 || errno == EINVAL;
  ::close(folder);
  return synced;
}

} // namespace platform
