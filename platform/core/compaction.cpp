// Compaction of a record file through its work file (the ".TMP" copy).
//
// The steps are those the data files have always gone through: copy the
// file to the work file, delete the file, write the live records to a new
// file, delete the work file. Each step is made recoverable so that a kill
// at any point loses nothing:
//  - the copy is written under a side name and renamed to the work file
//    only when complete and flushed, so a work file is always whole;
//  - the new data file is likewise written under a side name and renamed
//    into place, so the data file is never a half-written compaction;
//  - while the work file exists it holds every record, and recovery
//    rebuilds the data file from it, or from the data file itself when that
//    still holds everything (see recoverCompaction).
// Files left by a program that copied and rewrote in place (a work file cut
// short, a data file rewritten in part) are recovered the same way.
#include "platform/core/recordfile.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool continueCompactionAfter(int step); // recordfile.cpp

namespace {

QString copySideName(const QString &tmpPath) { return tmpPath + QStringLiteral(".part"); }
QString rewriteSideName(const QString &path) { return path + QStringLiteral(".new"); }

bool writeWhole(const QString &fileName, const QByteArray &data) {
  QFile out(fileName);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
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

bool validLayout(CompactionLayout layout) {
  return layout.recordLength > 0 && layout.flagOffset >= 0 && layout.flagOffset + 2 <= layout.recordLength;
}

// Steps 3 and 4: the live records of `source` become the data file, then
// the work file goes.
bool finish(const QString &path, const QString &tmpPath, const QByteArray &source, CompactionLayout layout,
            bool hooked) {
  const QString side = rewriteSideName(path);
  if (!writeWhole(side, liveRecords(source, layout)) || !renameOver(side, path)) {
    QFile::remove(side);
    return false;
  }
  if (hooked && !continueCompactionAfter(3))
    return false;
  if (!QFile::remove(tmpPath))
    return false;
  if (hooked && !continueCompactionAfter(4))
    return false;
  return true;
}

} // namespace

bool recoverCompaction(const QString &path, const QString &tmpPath, CompactionLayout layout) {
  if (!validLayout(layout))
    return false;
  // Side files are never the truth: a side copy was not finished (the data
  // file is intact), and a side rewrite is redone from the work file.
  QFile::remove(copySideName(tmpPath));
  QFile::remove(rewriteSideName(path));
  if (!QFileInfo::exists(tmpPath))
    return true;

  QByteArray work;
  if (!readWhole(tmpPath, work))
    return false;
  const QByteArray live = liveRecords(work, layout);
  QByteArray data;
  const bool haveData = QFileInfo::exists(path);
  if (haveData && !readWhole(path, data))
    return false;

  // Missing, or a beginning of the live records: the rewrite was not
  // finished, and the work file holds what is missing.
  if (!haveData || live.startsWith(data))
    return finish(path, tmpPath, work, layout, false);
  // The data file still holds the whole work file (the delete had not begun,
  // or the work file itself is a copy cut short) or all of its live records
  // (the rewrite was done and records were added since): it holds
  // everything, and compacting it finishes the job.
  if (data.startsWith(work) || data.startsWith(live))
    return finish(path, tmpPath, data, layout, false);
  // Written after the work file was made: the data file is the newer truth.
  return QFile::remove(tmpPath);
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

  QByteArray all;
  if (!readWhole(path, all))
    return false;
  const QString side = copySideName(tmpPath);
  if (!writeWhole(side, all) || !renameOver(side, tmpPath)) {
    QFile::remove(side);
    return false;
  }
  if (!continueCompactionAfter(1))
    return false;
  if (!QFile::remove(path))
    return false;
  if (!continueCompactionAfter(2))
    return false;
  return finish(path, tmpPath, all, layout, true);
}

} // namespace platform
