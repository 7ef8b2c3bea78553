#include "platform/core/newfile.h"

#include "platform/core/filesync.h"
#include "platform/core/privatefiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// A file without a name is given one through /proc: linkat by descriptor
// alone needs a privilege a user has not.
bool canName() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can;
}

int openUnnamed(const QString &folder) {
  return canName() ? openPrivateFile(folder, O_TMPFILE | O_RDWR) : -1;
}

} // namespace

NewFile::NewFile(const QString &path) : name_(QFile::encodeName(path)) {
  fd_ = openUnnamed(QFileInfo(path).path());
  unnamed_ = fd_ >= 0;
  if (!unnamed_) {
    fd_ = openPrivateFile(path, O_RDWR | O_CREAT | O_EXCL);
  } else {
    struct stat st {};
    failed_ = ::lstat(name_.constData(), &st) == 0 || errno != ENOENT;
  }
  failed_ = failed_ || fd_ < 0;
}

NewFile NewFile::unnamedIn(const QString &folder) {
  NewFile file;
  file.fd_ = openUnnamed(folder);
  file.unnamed_ = file.fd_ >= 0;
  file.failed_ = file.fd_ < 0;
  return file;
}

NewFile::NewFile(NewFile &&other) noexcept
    : name_(std::move(other.name_)), fd_(std::exchange(other.fd_, -1)), unnamed_(other.unnamed_),
      published_(other.published_), failed_(other.failed_), offset_(other.offset_) {}

NewFile &NewFile::operator=(NewFile &&other) noexcept {
  if (this != &other) {
    discard();
    name_ = std::move(other.name_);
    fd_ = std::exchange(other.fd_, -1);
    unnamed_ = other.unnamed_;
    published_ = other.published_;
    failed_ = other.failed_;
    offset_ = other.offset_;
  }
  return *this;
}

bool NewFile::write(const char *data, qint64 size) {
  failed_ = failed_ || fd_ < 0 || !writeWhole(fd_, data, size);
  if (!failed_)
    startWriteBack(fd_, offset_, size);
  offset_ += size;
  return !failed_;
}

bool NewFile::sync() {
  failed_ = failed_ || fd_ < 0 || ::fsync(fd_) != 0;
  return !failed_;
}

bool NewFile::publishAs(const QString &other) {
  if (failed_ || fd_ < 0)
    return false;
  const QByteArray target = other.isEmpty() ? name_ : QFile::encodeName(other);
  if (unnamed_) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd_);
    failed_ = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(),
                       AT_SYMLINK_FOLLOW) != 0;
  } else if (target != name_) {
    failed_ = ::rename(name_.constData(), target.constData()) != 0;
  }
  if (failed_)
    return false;
  unnamed_ = false;
  published_ = true;
  name_ = target;
  syncAsideIfLarge(fd_, offset_);
  return true;
}

void NewFile::discard() {
  if (fd_ < 0)
    return;
  ::close(fd_);
  if (!unnamed_ && !published_)
    ::unlink(name_.constData());
  fd_ = -1;
}

int NewFile::release() {
  return std::exchange(fd_, -1);
}

} // namespace platform
