// Compaction of a record file through its work file (the ".TMP" copy).
//
// The steps are those the data files have always gone through: copy the
// file to the work file, delete the file, write the live records to a new
// file, delete the work file. Each step is made recoverable so that a kill
// at any point loses nothing:
//  - the work file is a second name (a hard link) of the data file, made
//    durable before the data file's name goes; where the file system has no
//    hard links, a copy is written under a side name and renamed to the
//    work file only when complete and flushed. Either way a work file is
//    always whole, and the records are written only once: the new file;
//  - the new data file is written under a side name, flushed and renamed
//    into place, so the data file is never a half-written compaction;
//  - while the work file exists it holds every record, and recovery
//    rebuilds the data file from it, or from the data file itself when that
//    still holds everything (see recoverCompaction).
// Files left by a program that copied and rewrote in place (a work file cut
// short, a data file rewritten in part) are recovered the same way.
#include "platform/core/filesync.h"
#include "platform/core/privatefiles.h"
#include "platform/core/recordfile.h"
#include "platform/core/workers.h"

#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool continueCompactionAfter(int step); // recordfile.cpp

namespace {

QString copySideName(const QString &tmpPath) { return tmpPath + QStringLiteral(".part"); }
QString rewriteSideName(const QString &path) { return path + QStringLiteral(".new"); }
QString discardedName(const QString &tmpPath) { return tmpPath + QStringLiteral(".old"); }

// Work files of this run being freed; recovery leaves their names to them.
std::atomic<int> discardsUnderway{0};

// Step 4: the work file's name goes at once. A large one is renamed aside
// and freeing its blocks (a whole history, hundreds of megabytes, some
// 100 ms) is left to a worker so that nobody waits for it. A name left behind by
// a crash meanwhile is removed by the next recovery, as it names nothing the
// data file lacks.
bool removeWorkFile(const QString &tmpPath) {
  constexpr qint64 Large = 32 << 20;
  if (QFileInfo(tmpPath).size() < Large)
    return QFile::remove(tmpPath);
  const QByteArray aside = QFile::encodeName(discardedName(tmpPath));
  if (::rename(QFile::encodeName(tmpPath).constData(), aside.constData()) != 0)
    return QFile::remove(tmpPath);
  ++discardsUnderway;
  workers().start([aside] {
    ::unlink(aside.constData());
    --discardsUnderway;
  });
  return true;
}

bool writeWhole(const QString &fileName, const QByteArray &data) {
  QFile out(fileName);
  // The work file is renamed over the record file: it carries the mode the
  // record file should have, set before any record goes in (a stale work
  // file left by a crash keeps its old mode otherwise).
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate, PrivateFileMode) ||
      !makePrivate(fileName))
    return false;
  if (out.write(data) != data.size() || !out.flush() || ::fsync(out.handle()) != 0) {
    out.close();
    out.remove();
    return false;
  }
  return true;
}

// Makes a rename in `file`'s folder survive a power loss.
void syncFolderOf(const QString &file) {
  const QByteArray folder = QFile::encodeName(QFileInfo(file).absolutePath());
  const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Replaces `target` with `source`; rename(2) does this atomically.
bool renameOver(const QString &source, const QString &target) {
  if (::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0)
    return false;
  syncFolderOf(target);
  return true;
}

bool readWhole(const QString &fileName, QByteArray &data) {
  QFile in(fileName);
  if (!in.open(QIODevice::ReadOnly))
    return false;
  data = in.readAll();
  return in.error() == QFileDevice::NoError;
}

QByteArray liveRecords(const QByteArray &all, CompactionLayout layout) {
  QByteArray kept;
  const qsizetype whole = all.size() / layout.recordLength;
  for (qsizetype i = 0; i < whole; ++i) {
    const QByteArray record = all.mid(i * layout.recordLength, layout.recordLength);
    if (readInt16LE(record, layout.flagOffset) != 0)
      kept.append(record);
  }
  return kept;
}

// Records that differ at most in their flag are one record, marked deleted
// in one copy after the other was taken.
bool sameRecord(const char *a, const char *b, CompactionLayout layout) {
  const int afterFlag = layout.flagOffset + 2;
  return std::memcmp(a, b, size_t(layout.flagOffset)) == 0 &&
         std::memcmp(a + afterFlag, b + afterFlag, size_t(layout.recordLength - afterFlag)) == 0;
}

// How many whole records at the start of `a` and `b` are the same record.
qsizetype sameLeadingRecords(const QByteArray &a, const QByteArray &b, CompactionLayout layout) {
  const qsizetype len = layout.recordLength;
  const qsizetype n = std::min(a.size() / len, b.size() / len);
  qsizetype k = 0;
  while (k < n && sameRecord(a.constData() + k * len, b.constData() + k * len, layout))
    ++k;
  return k;
}

// The data file `data` as a rewrite of `live` brought to its end: the
// records it has rewritten (with their flags as they are now), the live
// records it lacks, then the records written to it that are not part of the
// rewrite. A partial tail is dropped, as readers ignore it.
QByteArray rewriteCompleted(const QByteArray &data, const QByteArray &live, CompactionLayout layout) {
  const qsizetype len = layout.recordLength;
  const qsizetype k = sameLeadingRecords(data, live, layout);
  const qsizetype dataWhole = data.size() / len * len;
  return data.left(k * len) + live.mid(k * len) + data.mid(k * len, dataWhole - k * len);
}

bool validLayout(CompactionLayout layout) {
  return layout.recordLength > 0 && layout.flagOffset >= 0 && layout.flagOffset + 2 <= layout.recordLength;
}

// Which records of a file are live, read from their flags on one thread
// while another copies the records found so far. A flag costs a system call
// of its own: for a full history that is 32,766 reads, which on a file
// system in memory take about two thirds of the time the copy itself takes,
// and side by side they cost little more than the copy.
class FlagScan {
public:
  FlagScan(int fd, qint64 count, CompactionLayout layout)
      : fd_(fd), layout_(layout), live_(size_t(count)) {}

  // Reads every flag in order, making them known a step at a time.
  void run() {
    constexpr qint64 Step = 64;
    const qint64 count = qint64(live_.size());
    char flag[2];
    for (qint64 i = 0; i < count; ++i) {
      if (cancelled_.load(std::memory_order_relaxed))
        return;
      if (readAt(fd_, flag, 2, i * layout_.recordLength + layout_.flagOffset) != 2)
        return publish(-1);
      live_[size_t(i)] = flag[0] != 0 || flag[1] != 0;
      if ((i + 1) % Step == 0 || i + 1 == count)
        publish(i + 1);
    }
  }

  // Waits until the flag of record `i` is known; returns how many are known
  // then, or -1 when a flag could not be read.
  qint64 waitPast(qint64 i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return known_ < 0 || known_ > i; });
    return known_;
  }

  bool live(qint64 i) const { return live_[size_t(i)] != 0; }

  // The copy has stopped: so does the scan, at its next flag.
  void cancel() { cancelled_ = true; }

private:
  void publish(qint64 known) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      known_ = known;
    }
    changed_.notify_one();
  }

  const int fd_;
  const CompactionLayout layout_;
  std::vector<char> live_;
  std::mutex mutex_;
  std::condition_variable changed_;
  qint64 known_ = 0;
  std::atomic<bool> cancelled_{false};
};

// Copies the live records of `in` into `out` at its start in runs of
// consecutive live records, which the kernel copies file to file
// (copy_file_range) without bringing them into this process: only each
// record's flag is read here, by `scan`, beside the copy. False when the
// file system does not do it (nothing is written then) or on an error.
bool copyLiveRuns(int in, int out, qint64 count, CompactionLayout layout, FlagScan &scan,
                  bool &unsupported) {
  const qint64 len = layout.recordLength;
  const auto copyRun = [&](qint64 first, qint64 end) {
    loff_t from = loff_t(first * len);
    qint64 left = (end - first) * len;
    while (left > 0) {
      const ssize_t n = ::copy_file_range(in, &from, out, nullptr, size_t(left), 0);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : 0;
        unsupported = (error == ENOSYS || error == EXDEV || error == EOPNOTSUPP ||
                       error == EINVAL) &&
                      ::lseek(out, 0, SEEK_CUR) == 0;
        return false;
      }
      left -= n;
    }
    return true;
  };
  qint64 runStart = -1;
  // Copies the run under way, if any, up to `end`.
  const auto endRun = [&](qint64 end) {
    const bool ok = runStart < 0 || copyRun(runStart, end);
    runStart = -1;
    return ok;
  };
  qint64 known = 0;
  for (qint64 i = 0; i < count; ++i) {
    if (i == known) {
      // The run found so far is copied before waiting for more flags, so
      // that the copy goes on while the scan does.
      if (!endRun(i))
        return false;
      known = scan.waitPast(i);
      if (known < 0)
        return false;
    }
    if (!scan.live(i)) {
      if (!endRun(i))
        return false;
    } else if (runStart < 0) {
      runStart = i;
    }
  }
  return endRun(count);
}

// copyLiveRuns with the flags read beside it on a worker. A small file
// (the address book, the check times) is scanned first, then copied.
bool copyLiveRunsScanned(int in, int out, qint64 count, CompactionLayout layout, bool &unsupported) {
  constexpr qint64 ScanAsideFrom = 1024;
  FlagScan scan(in, count, layout);
  if (count < ScanAsideFrom) {
    scan.run();
    return copyLiveRuns(in, out, count, layout, scan, unsupported);
  }
  bool ok = false;
  // Job 0 is always taken first, so the copy never waits for a scan that
  // has not begun; on a single thread the two run one after the other.
  runInParallel(2, [&](int job) {
    if (job == 0) {
      scan.run();
      return;
    }
    ok = copyLiveRuns(in, out, count, layout, scan, unsupported);
    scan.cancel();
  });
  return ok;
}

// Streams the live records of the file `source` into `target`, flushed to
// the disk; a partial tail is dropped. Where the kernel cannot copy between
// the two files, reads a block of records at a time, so a history of
// hundreds of megabytes is never held in memory.
bool writeLiveRecordsOf(const QString &source, const QString &target, CompactionLayout layout) {
  QFile in(source);
  QFile out(target);
  if (!in.open(QIODevice::ReadOnly) ||
      !out.open(QIODevice::WriteOnly | QIODevice::Truncate, PrivateFileMode))
    return false;
  // The rewritten file is private before any record goes in, whatever mode
  // the old one had (an earlier version left histories 0644).
  if (!makePrivate(target)) {
    out.close();
    out.remove();
    return false;
  }
  const qint64 len = layout.recordLength;
  bool unsupported = false;
  bool ok = copyLiveRunsScanned(in.handle(), out.handle(), in.size() / len, layout, unsupported);
  if (!ok && unsupported) {
    const qint64 perBlock = std::max<qint64>(1, (1 << 20) / len);
    QByteArray block(perBlock * len, Qt::Uninitialized);
    QByteArray live;
    live.reserve(block.size());
    qint64 left = in.size() / len;
    ok = true;
    while (ok && left > 0) {
      const qint64 want = std::min(left, perBlock) * len;
      ok = in.read(block.data(), want) == want;
      live.clear();
      for (qint64 at = 0; ok && at < want; at += len)
        if (readInt16LE(QByteArray::fromRawData(block.constData() + at, int(len)), layout.flagOffset) != 0)
          live.append(block.constData() + at, len);
      ok = ok && out.write(live) == live.size();
      left -= want / len;
    }
  }
  if (!ok || !out.flush() || ::fsync(out.handle()) != 0) {
    out.close();
    out.remove();
    return false;
  }
  return true;
}

// Steps 3 and 4 from the work file: its live records become the data file,
// then the work file goes.
bool finishFromWorkFile(const QString &path, const QString &tmpPath, CompactionLayout layout) {
  const QString side = rewriteSideName(path);
  if (!writeLiveRecordsOf(tmpPath, side, layout) || !renameOver(side, path)) {
    QFile::remove(side);
    return false;
  }
  if (!continueCompactionAfter(3))
    return false;
  if (!removeWorkFile(tmpPath))
    return false;
  if (!continueCompactionAfter(4))
    return false;
  return true;
}

// Step 1: the work file comes to hold every record of the data file. A
// second name for the file does it at once; a copy where links are refused.
bool makeWorkFile(const QString &path, const QString &tmpPath) {
  if (::link(QFile::encodeName(path).constData(), QFile::encodeName(tmpPath).constData()) == 0) {
    // The new name must be on the disk before the old one may go.
    syncFolderOf(tmpPath);
    return true;
  }
  QByteArray all;
  if (!readWhole(path, all))
    return false;
  const QString side = copySideName(tmpPath);
  if (!writeWhole(side, all) || !renameOver(side, tmpPath)) {
    QFile::remove(side);
    return false;
  }
  return true;
}

// Steps 3 and 4: the live records of `source` become the data file, then
// the work file goes.
bool finish(const QString &path, const QString &tmpPath, const QByteArray &source, CompactionLayout layout) {
  const QString side = rewriteSideName(path);
  if (!writeWhole(side, liveRecords(source, layout)) || !renameOver(side, path)) {
    QFile::remove(side);
    return false;
  }
  return QFile::remove(tmpPath);
}

} // namespace
bool recoverCompaction(const QString &path, const QString &tmpPath, CompactionLayout layout) {
  if (!validLayout(layout))
    return false;
  // Side files are never the truth: a side copy was not finished (the data
  // file is intact), and a side rewrite is redone from the work file.
  QFile::remove(copySideName(tmpPath));
  QFile::remove(rewriteSideName(path));
  if (discardsUnderway == 0)
    QFile::remove(discardedName(tmpPath));
  if (!QFileInfo::exists(tmpPath))
    return true;

  QByteArray work;
  if (!readWhole(tmpPath, work))
    return false;
  if (!QFileInfo::exists(path))
    return finish(path, tmpPath, work, layout);
  QByteArray data;
  if (!readWhole(path, data))
    return false;

  // The data file still holds every record of the work file (the delete had
  // not begun, or the work file is a copy cut short), perhaps with records
  // marked or added since: compacting it finishes the job.
  const qsizetype workCount = work.size() / layout.recordLength;
  if (sameLeadingRecords(data, work, layout) == workCount)
    return finish(path, tmpPath, data, layout);
  // Otherwise the data file is a rewrite of the work file's live records,
  // cut short or finished, and maybe records written to it afterwards; the
  // work file holds whatever part of the rewrite is missing. Nothing is
  // dropped on a guess: records that match neither way are kept after the
  // rewritten ones.
  return finish(path, tmpPath, rewriteCompleted(data, liveRecords(work, layout), layout), layout);
}

bool compactRecords(const QString &path, const QString &tmpPath, CompactionLayout layout) {
  if (!validLayout(layout))
    return false;
  // A work file from an earlier interrupted run holds records the data file
  // may lack; finish that one before starting over.
  if (!recoverCompaction(path, tmpPath, layout))
    return false;
  if (!QFileInfo::exists(path))
    return true; // nothing to compact

  if (!makeWorkFile(path, tmpPath))
    return false;
  if (!continueCompactionAfter(1))
    return false;
  if (!QFile::remove(path))
    return false;
  if (!continueCompactionAfter(2))
    return false;
  return finishFromWorkFile(path, tmpPath, layout);
}

} // namespace platform
