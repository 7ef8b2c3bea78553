#include "platform/core/privatefiles.h"

#include "platform/core/paths.h"

#include <QDir>
#include <QDirIterator>
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

int makePrivateTree(const QString &folder) {
  const QFileInfo top(folder);
  if (!top.isDir() || top.isSymLink())
    return 0;
  int failed = makePrivate(folder) ? 0 : 1;
  // The iterator lists a link but does not enter it (no FollowSymlinks), and
  // makePrivate refuses links.
  QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    if (!it.fileInfo().isSymLink() && !makePrivate(path))
      ++failed;
  }
  return failed;
}

void tightenProgramFiles() {
  makePrivateTree(dataFolder());
  makePrivateTree(attachmentFolder());
  const QString server = programFile(QStringLiteral("qelmar.ini"));
  if (QFileInfo(server).isFile())
    makePrivate(server);
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
