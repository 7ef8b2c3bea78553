#include "platform/core/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace platform {

void keepNewFilesPrivate() { ::umask(077); }

bool makePrivate(const QString &path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat st{};
  // lstat: a link is never followed to give someone else's file our mode.
  if (::lstat(name.constData(), &st) != 0 || S_ISLNK(st.st_mode))
    return false;
  const mode_t wanted = S_ISDIR(st.st_mode) ? 0700 : 0600;
  return (st.st_mode & 07777) == wanted || ::chmod(name.constData(), wanted) == 0;
}

bool makePrivateFolders(const QString &path) {
  const QString absolute = QFileInfo(path).absoluteFilePath();
  if (QFileInfo(absolute).isDir())
    return true;
  if (!makePrivateFolders(QFileInfo(absolute).absolutePath()))
    return false;
  const QByteArray name = QFile::encodeName(absolute);
  if (::mkdir(name.constData(), 0700) != 0 && !QFileInfo(absolute).isDir())
    return false;
  return makePrivate(absolute);
}

} // namespace platform
