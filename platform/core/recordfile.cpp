#include "platform/core/recordfile.h"
#include "platform/core/privatefiles.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <unistd.h>

namespace platform {
namespace {

bool fsyncFile(QFile &file) {
  if (!file.flush())
    return false;
  return ::fsync(file.handle()) == 0;
}

QMutex hookMutex;
std::function<bool(int)> stepHook;

} // namespace

// False when the test hook wants the compaction to stop after `step`.
bool continueCompactionAfter(int step) {
  std::function<bool(int)> hook;
  {
    QMutexLocker lock(&hookMutex);
    hook = stepHook;
  }
  return !hook || hook(step);
}

RecordFile::RecordFile(QString path, int recordLength) : path_(std::move(path)), recordLength_(recordLength) {}

bool RecordFile::ensureExists() const {
  if (QFileInfo::exists(path_))
    return true;
  QFile file(path_);
  return file.open(QIODevice::ReadWrite, PrivateFileMode);
}

qint64 RecordFile::count() const {
  if (recordLength_ <= 0)
    return 0;
  const QFileInfo info(path_);
  if (!info.exists())
    return 0;
  return info.size() / recordLength_;
}

std::optional<QByteArray> RecordFile::read(qint64 n) const {
  if (n < 1 || recordLength_ <= 0)
    return std::nullopt;
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly))
    return std::nullopt;
  const qint64 offset = (n - 1) * recordLength_;
  if (offset + recordLength_ > file.size() || !file.seek(offset))
    return std::nullopt;
  QByteArray record = file.read(recordLength_);
  if (record.size() != recordLength_)
    return std::nullopt;
  return record;
}

std::optional<QList<QByteArray>> RecordFile::readAll() const {
  if (recordLength_ <= 0)
    return std::nullopt;
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly))
    return std::nullopt;
  const QByteArray all = file.readAll();
  if (file.error() != QFileDevice::NoError)
    return std::nullopt;
  QList<QByteArray> records;
  const qsizetype whole = all.size() / recordLength_;
  records.reserve(whole);
  for (qsizetype i = 0; i < whole; ++i)
    records.append(all.mid(i * recordLength_, recordLength_));
  return records;
}

bool RecordFile::write(qint64 n, const QByteArray &record) const {
  if (n < 1 || recordLength_ <= 0 || record.size() != recordLength_)
    return false;
  QFile file(path_);
  if (!file.open(QIODevice::ReadWrite, PrivateFileMode))
    return false;
  const qint64 offset = (n - 1) * recordLength_;
  // Past the end: zero-fill the gap explicitly, since what a seek past the
  // end leaves there depends on the file system.
  if (file.size() < offset && !file.resize(offset))
    return false;
  if (!file.seek(offset))
    return false;
  return file.write(record) == recordLength_ && file.flush();
}

qint64 RecordFile::append(const QByteArray &record, bool sync) const {
  if (recordLength_ <= 0 || record.size() != recordLength_)
    return 0;
  QFile file(path_);
  if (!file.open(QIODevice::ReadWrite, PrivateFileMode))
    return 0;
  const qint64 whole = file.size() / recordLength_;
  const qint64 boundary = whole * recordLength_;
  // A record cut short by an earlier crash would shift every later record;
  // it is cut off so the new one starts on a record boundary.
  if (file.size() != boundary && !file.resize(boundary))
    return 0;
  if (!file.seek(boundary))
    return 0;
  if (file.write(record) != recordLength_)
    return 0;
  if (sync ? !fsyncFile(file) : !file.flush())
    return 0;
  return whole + 1;
}

bool RecordFile::sync() const {
  QFile file(path_);
  if (!file.open(QIODevice::ReadWrite, PrivateFileMode))
    return false;
  return fsyncFile(file);
}

void setCompactionStepHook(std::function<bool(int step)> hook) {
  QMutexLocker lock(&hookMutex);
  stepHook = std::move(hook);
}

qint16 readInt16LE(const QByteArray &bytes, int offset) {
  if (offset < 0 || offset + 2 > bytes.size())
    return 0;
  return qint16(quint16(uchar(bytes[offset])) | quint16(uchar(bytes[offset + 1]) << 8));
}

void writeInt16LE(QByteArray &bytes, int offset, qint16 value) {
  if (offset < 0 || offset + 2 > bytes.size())
    return;
  bytes[offset] = char(quint16(value) & 0xFF);
  bytes[offset + 1] = char((quint16(value) >> 8) & 0xFF);
}

} // namespace platform
