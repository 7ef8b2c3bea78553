// Putting written files on the disk: the one fsync of the program, and the
// flush of many files at once whose waits on the disk overlap; and the one
// loop over short writes and reads.
#pragma once

#include <QString>
#include <QByteArray>
#include <QList>
#include <QStringList>

#include <functional>
#include <mutex>

namespace platform {

// Writes all of `size` bytes to `fd`, through short writes and interrupted
// calls; false on a failure.
bool writeWhole(int fd, const char *data, qint64 size);

// Reads up to `size` bytes of `fd` from `offset` into `into`, through short
// reads and interrupted calls: the number read, fewer than `size` only at
// the end of the file or on a read error (which sets `*failed` when given).
qint64 readAt(int fd, char *into, qint64 size, qint64 offset, bool *failed = nullptr);

// Has the disk start writing what was written to `fd` (`length` bytes from
// `offset`; 0: to the end) without waiting for it: the fsync that follows
// finds less left to wait for. A hint; nothing is promised by it.
void startWriteBack(int fd, qint64 offset = 0, qint64 length = 0);

// A file of `size` bytes that is now whole, put on the disk on a worker
// while the program goes on, when it is large (one at a time). Only a head
// start: the flush that follows still syncs it, and alone says it is on the
// disk; but a receive of large mails no longer leaves them all to that
// flush, which waited for all of them at once.
void syncAsideIfLarge(int fd, qint64 size);
// Waits for the syncs syncAsideIfLarge() started and tells whether one of them
// failed since the last call (the path of the first, when `failedPath` is
// given). Linux reports a failed write-back once, to the first sync that asks
// on any descriptor open at the time, and marks it seen: the flush that
// follows on a new descriptor returns 0 while the data is gone, so that
// early answer is the only one there is. Taken by the run that commits.
bool earlySyncsFailed(QString *failedPath = nullptr);

// Appends `line` (which ends in a line break) to the file at `path`, made
// private if new. A last line that an earlier append left cut short (a full
// disk, a crash) is cut off first, so that it never joins the new one; a
// short write is undone. False when the whole line could not be written.
bool appendLine(const QString &path, const QByteArray &line);
// The whole lines of `bytes`: what follows the last line break (a line cut
// short) is left out.
QList<QByteArray> wholeLines(const QByteArray &bytes);

enum class Synced { Done, Gone, Failed };

// fsync of the file (or, with `folder`, the folder) at `path`: Gone when
// nothing is there any more. A folder whose file system cannot sync folders
// (EINVAL) counts as Done; any other error is a failure.
Synced syncPath(const QString &path, bool folder = false);

// One file to put on the disk and what to do when it is no longer where it
// was written: `movedTo` gives where it is now (another mail program moved a
// mail from new/ to cur/), or nothing when it is gone; `mayBeGone` says a file
// that went needs no flush (the step that wrote it removed it again).
struct PendingFile {
  QString path;
  bool mayBeGone = false;
  std::function<QString()> movedTo;
};

// Files written and not yet on the disk: noted by the step that wrote them
// (on any thread) and taken by the run that flushes them, so that nothing is
// told flushed before syncFiles() said so.
class PendingFiles {
public:
  void add(PendingFile file);
  // Drops the files that need no flush any more (removed on purpose).
  void removeIf(const std::function<bool(const PendingFile &)> &gone);
  // Every file noted, taken off the list.
  QList<PendingFile> take();
  // syncFiles() of take(): false with the first path that failed.
  bool flush(QString *failedPath = nullptr);
  // Forgets what was noted without flushing it.
  void clear();

private:
  std::mutex lock_;
  QList<PendingFile> files_;
};

// fsync of every file, by a few threads at once when there are many (each
// waits on the disk on its own; their waits overlap), then of the folders
// they lie in, so that their names are on the disk too. False with the first
// path that failed (or is gone without leave), a folder among them.
bool syncFiles(const QList<PendingFile> &files, QString *failedPath = nullptr);

} // namespace platform
