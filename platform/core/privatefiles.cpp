#include "platform/core/privatefiles.h"

#include "platform/core/paths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

int openPrivateFile(const QString &path, int flags) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), flags | O_CLOEXEC, 0600);
  if (fd < 0 || ::fchmod(fd, 0600) == 0)
    return fd;
  ::close(fd);
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
    ::unlink(name.constData());
  return -1;
}

bool makePrivateFolder(const QString &path) {
  const QByteArray name = QFile::encodeName(path);
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
    return false;
  struct stat st {};
  if (::stat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
    return false;
  // Made just now under a loose umask, or left by an older run: 0700 either way.
  return (st.st_mode & 07777) == 0700 || ::chmod(name.constData(), 0700) == 0;
}

namespace {
// Takes the group's and others' bits from an existing entry and leaves the
// owner's as they are: a script the user keeps among the attachments stays
// executable for them.
bool closeToOthers(const QString &path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat st{};
  if (::lstat(name.constData(), &st) != 0 || S_ISLNK(st.st_mode))
    return false;
  const mode_t mode = st.st_mode & 07777;
  return (mode & 077) == 0 || ::chmod(name.constData(), mode & ~mode_t(077)) == 0;
}
} // namespace

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
    if (!it.fileInfo().isSymLink() && !closeToOthers(path))
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
  return makePrivateFolders(QFileInfo(absolute).absolutePath()) && makePrivateFolder(absolute);
}

} // namespace platform
