// Random-access files of fixed-length records, numbered from 1, no header.
//
// Semantics the data files rely on:
//  - opening creates an empty file when none exists;
//  - the record count is the file length divided by the record length; a
//    partial tail (a write cut short) is ignored by readers, and the next
//    append starts at a whole-record boundary so no record is ever shifted;
//  - reading a record that does not lie whole inside the file is end-of-file;
//  - every operation opens, works and closes.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace platform {

class RecordFile {
public:
  RecordFile(QString path, int recordLength);

  const QString &path() const { return path_; }
  int recordLength() const { return recordLength_; }

  // Creates the file, empty, when it does not exist. False when it can't be.
  bool ensureExists() const;
  // Whole records in the file (0 when it does not exist).
  qint64 count() const;
  // Record n (1-based), or nothing when it does not lie whole in the file.
  std::optional<QByteArray> read(qint64 n) const;
  // Every whole record, in file order, from one read of the file; nothing
  // when the file cannot be read (a missing file included).
  std::optional<QList<QByteArray>> readAll() const;
  // Writes record n; `record` must be exactly one record long. Writing past
  // the end extends the file. False when the write failed.
  bool write(qint64 n, const QByteArray &record) const;
  // Appends at count + 1 (after any partial tail is cut off) and returns the
  // new record number, or 0 when the write failed. With `sync` the data is
  // flushed to the disk before returning.
  qint64 append(const QByteArray &record, bool sync = false) const;
  // Flushes the file to the disk (fsync).
  bool sync() const;

private:
  QString path_;
  int recordLength_;
};

// The one compaction of all record files: copy the file to `tmpPath`,
// delete the file, write every record of the copy whose 16-bit little-endian
// flag at `flagOffset` is not 0 to a new file in order, delete the copy.
// If the program stops at any step, recoverCompaction() finishes the job from
// the work file at the next access, so no record is ever lost.
struct CompactionLayout {
  int recordLength;
  int flagOffset;
};
bool compactRecords(const QString &path, const QString &tmpPath, CompactionLayout layout);
// Completes a compaction that was interrupted. Returns true when there was
// nothing to do or the records were recovered.
bool recoverCompaction(const QString &path, const QString &tmpPath, CompactionLayout layout);

// Test hook: called after each numbered step of a compaction; returning false
// stops the compaction there, as if the program had been killed.
void setCompactionStepHook(std::function<bool(int step)> hook);

// 16-bit little-endian helpers for the Flag fields.
qint16 readInt16LE(const QByteArray &bytes, int offset);
void writeInt16LE(QByteArray &bytes, int offset, qint16 value);

} // namespace platform
