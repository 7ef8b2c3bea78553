#include "platform/core/filesync.h"

#include "platform/core/privatefiles.h"
#include "platform/core/workers.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

void startWriteBack(const QString &path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  platform::startWriteBack(fd);
  ::close(fd);
}

} // namespace

void startWriteBack(int fd, qint64 offset, qint64 length) {
  ::sync_file_range(fd, off_t(offset), off_t(length), SYNC_FILE_RANGE_WRITE);
}

namespace {

// The early syncs: one at a time, and the first that failed until a run
// takes it. Never destroyed: a job may still be queued when static objects go.
SerialQueue &earlySyncs() {
  static SerialQueue *const queue = new SerialQueue;
  return *queue;
}
std::mutex earlyLock;
std::optional<QString> earlyFailure;

QString pathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
}

} // namespace

void syncAsideIfLarge(int fd, qint64 size) {
  constexpr qint64 Large = 4 << 20;
  if (size < Large || fd < 0)
    return;
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0)
    return;
  earlySyncs().post([copy] {
    if (::fdatasync(copy) != 0 && errno != EINVAL) {
      const QString path = pathOf(copy);
      const std::lock_guard guard(earlyLock);
      if (!earlyFailure)
        earlyFailure = path.isEmpty() ? QStringLiteral("?") : path;
    }
    ::close(copy);
  });
}

bool earlySyncsFailed(QString *failedPath) {
  earlySyncs().waitForDone();
  const std::lock_guard guard(earlyLock);
  if (!earlyFailure)
    return false;
  if (failedPath)
    *failedPath = *earlyFailure;
  earlyFailure.reset();
  return true;
}

bool appendLine(const QString &path, const QByteArray &line) {
  const int fd = openPrivateFile(path, O_RDWR | O_APPEND | O_CREAT);
  if (fd < 0)
    return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  off_t end = ok ? st.st_size : 0;
  char last = '\n';
  if (ok && end > 0 && readAt(fd, &last, 1, end - 1) == 1 && last != '\n') {
    // Cut back to the last whole line.
    const qint64 tail = std::min<qint64>(end, 1 << 20);
    QByteArray bytes(tail, Qt::Uninitialized);
    const qint64 got = readAt(fd, bytes.data(), tail, end - tail);
    const qsizetype at = bytes.left(got).lastIndexOf('\n');
    end = at < 0 ? (tail == end ? 0 : end) : off_t(end - tail + at + 1);
    ok = ::ftruncate(fd, end) == 0;
  }
  if (ok && !writeWhole(fd, line.constData(), line.size())) {
    ok = false;
    if (::ftruncate(fd, end) != 0) {
      // Nothing more to do: the reader leaves a line without its break out.
    }
  }
  ::close(fd);
  return ok;
}

QList<QByteArray> wholeLines(const QByteArray &bytes) {
  QList<QByteArray> lines = bytes.split('\n');
  lines.removeLast(); // empty after a final break, cut short otherwise
  return lines;
}

bool writeWhole(int fd, const char *data, qint64 size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size_t(std::min<qint64>(size, 1 << 24)));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= n;
  }
  return true;
}

qint64 readAt(int fd, char *into, qint64 size, qint64 offset, bool *failed) {
  qint64 done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, into + done, size_t(std::min<qint64>(size - done, 1 << 24)),
                              off_t(offset + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && failed)
      *failed = true;
    if (n <= 0)
      break;
    done += n;
  }
  return done;
}

Synced syncPath(const QString &path, bool folder) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0)
    return errno == ENOENT ? Synced::Gone : Synced::Failed;
  const bool ok = ::fsync(fd) == 0 || (folder && errno == EINVAL);
  ::close(fd);
  return ok ? Synced::Done : Synced::Failed;
}

bool syncFiles(const QList<PendingFile> &files, QString *failedPath) {
  const qsizetype count = files.size();
  // Where each file was found: its own path, or where it moved to.
  std::vector<QString> foundAt(static_cast<size_t>(count));
  const int lanes = int(std::clamp<qsizetype>(count / 64, 1, 4));
  std::vector<qsizetype> failedAt(size_t(lanes), -1);
  auto lane = [&](int k) {
    // With the write-back of every file under way first, the first fsync
    // commits most of them and the rest find little left to wait for (one
    // fsync after another waited for one journal commit each).
    if (count > 1)
      for (qsizetype i = k; i < count; i += lanes)
        startWriteBack(files[i].path);
    for (qsizetype i = k; i < count; i += lanes) {
      const PendingFile &f = files[i];
      Synced result = syncPath(f.path);
      foundAt[size_t(i)] = f.path;
      if (result == Synced::Gone && f.movedTo) {
        // Synced through the name it has now: its data was written under the
        // old one and may not be on the disk yet.
        const QString now = f.movedTo();
        if (!now.isEmpty()) {
          result = syncPath(now);
          foundAt[size_t(i)] = now;
        }
      }
      const bool ok = result == Synced::Done || (result == Synced::Gone && f.mayBeGone);
      if (!ok && failedAt[size_t(k)] < 0)
        failedAt[size_t(k)] = i;
    }
  };
  runInParallel(lanes, lane);
  qsizetype first = -1; // the first that failed, as one thread would have met it
  for (const qsizetype at : failedAt)
    if (at >= 0 && (first < 0 || at < first))
      first = at;
  if (first >= 0 && failedPath)
    *failedPath = files[first].path;
  QSet<QString> folders;
  for (const QString &path : foundAt)
    folders.insert(QFileInfo(path).absolutePath());
  for (const QString &folder : folders)
    if (syncPath(folder, true) == Synced::Failed && first < 0 && QFileInfo(folder).isDir()) {
      if (failedPath)
        *failedPath = folder;
      return false;
    }
  return first < 0;
}

void PendingFiles::add(PendingFile file) {
  const std::lock_guard guard(lock_);
  files_.append(std::move(file));
}

void PendingFiles::removeIf(const std::function<bool(const PendingFile &)> &gone) {
  const std::lock_guard guard(lock_);
  files_.removeIf(gone);
}

QList<PendingFile> PendingFiles::take() {
  const std::lock_guard guard(lock_);
  return std::exchange(files_, {});
}

bool PendingFiles::flush(QString *failedPath) {
  return syncFiles(take(), failedPath);
}

void PendingFiles::clear() {
  const std::lock_guard guard(lock_);
  files_.clear();
}

} // namespace platform
