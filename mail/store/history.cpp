#include "mail/store/history.h"

#include "platform/core/ansi.h"
#include "platform/core/filesync.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"
#include "platform/core/recordfile.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mail {

using namespace MailLayout;

qint16 HistoryMode = HistoryModeNone;
MailRecord ReceivedRecord;
MailRecord SentRecord;

namespace {

constexpr platform::CompactionLayout compaction{RecordLength, FlagOffset};

platform::RecordFile historyFile(History which) {
  return platform::RecordFile(historyPath(which), RecordLength);
}

// A field's text without its leading and trailing blanks. 0x20 is never the
// second byte of a CP932 character, so blanks can be trimmed on the bytes
// before conversion.
QString trimmedField(const char *data, int width) {
  int begin = 0, end = width;
  while (begin < end && data[begin] == ' ')
    ++begin;
  while (end > begin && data[end - 1] == ' ')
    --end;
  return platform::fromAnsi(data + begin, end - begin);
}

// The first `width` bytes of whole records, `width` apart: of every one
// from record `first` (0-based) on, at most `most` of them, or only of the
// records numbered (1-based) in `only`, in that order, when it is given;
// `numbers` gets the number of each record read. One small positional read
// per record: the bodies stay on the disk, and unlike a mapping of the file
// no page around a field comes into the process.
QByteArray readRecordHeadsOf(int fd, int width, qint64 first = 0, qint64 most = MaxRecords,
                             const QList<int> *only = nullptr, QList<int> *numbers = nullptr) {
  QByteArray out;
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return out;
  const qint64 whole = std::min<qint64>(st.st_size / RecordLength, MaxRecords);
  const qint64 count = only ? qint64(only->size())
                            : std::clamp<qint64>(whole - first, 0, std::max<qint64>(most, 0));
  out.resize(count * width);
  if (numbers)
    numbers->reserve(count);
  qint64 got = 0;
  for (qint64 i = 0; i < count; ++i) {
    const qint64 index = only ? qint64((*only)[i]) - 1 : first + i;
    if (index < 0 || index >= whole)
      continue;
    char *dest = out.data() + got * width;
    const off_t at = off_t(index * RecordLength);
    if (platform::readAt(fd, dest, width, at) < width)
      break;
    if (numbers)
      numbers->append(int(index + 1));
    ++got;
  }
  out.truncate(got * width);
  return out;
}

int openHistoryForReading(History which) {
  return ::open(QFile::encodeName(historyPath(which)).constData(), O_RDONLY | O_CLOEXEC);
}

QByteArray readRecordHeads(History which, int width, qint64 first = 0, qint64 most = MaxRecords,
                           const QList<int> *only = nullptr, QList<int> *numbers = nullptr) {
  const int fd = openHistoryForReading(which);
  if (fd < 0)
    return {};
  const QByteArray out = readRecordHeadsOf(fd, width, first, most, only, numbers);
  ::close(fd);
  return out;
}

// `heads` holds `stride` bytes per record from the record's start; `fields`
// lists the (offset, width) of the fields wanted.
QList<QString> fieldsOf(const QByteArray &heads, int stride,
                        const QList<std::pair<int, int>> &fields) {
  const qint64 count = heads.size() / stride;
  QList<QString> out;
  out.reserve(count * fields.size());
  for (qint64 i = 0; i < count; ++i) {
    const char *rec = heads.constData() + i * stride;
    for (const auto &[offset, width] : fields)
      out.append(trimmedField(rec + offset, width));
  }
  return out;
}

} // namespace

MailRecord &recordBuffer(History which) {
  return which == History::Received ? ReceivedRecord : SentRecord;
}

namespace {
// Recovery and what it leaves (the notice, the run it was done in) are the
// file's, not the calling thread's: one at a time, whichever thread asks.
QMutex recoveryMutex;
quint64 recoveredRun[2] = {0, 0};
RecoveryNotice pendingNotice[2] = {RecoveryNotice::None, RecoveryNotice::None};
RecoveryNotice &noticeOf(History which) {
  return pendingNotice[which == History::Received ? 0 : 1];
}
QString historyName(History which) {
  return which == History::Received ? QStringLiteral("着信履歴") : QStringLiteral("送信履歴");
}
} // namespace

bool recoverHistory(History which) {
  // Once in a settled run (a receive, which appends for every mail): no
  // delete can start meanwhile, so nothing new can be left to recover.
  const QMutexLocker lock(&recoveryMutex);
  quint64 &recovered = recoveredRun[which == History::Sent ? 1 : 0];
  const quint64 run = platform::settledRun();
  if (run != 0 && recovered == run)
    return true;
  const bool pending = QFileInfo::exists(historyWorkPath(which));
  const bool ok =
      platform::recoverCompaction(historyPath(which), historyWorkPath(which), compaction);
  if (pending)
    noticeOf(which) = ok ? RecoveryNotice::Recovered : RecoveryNotice::Failed;
  if (ok)
    recovered = run;
  return ok;
}

RecoveryNotice takeRecoveryNotice(History which) {
  const QMutexLocker lock(&recoveryMutex);
  // A failure that has since been overcome is a recovery after all.
  if (noticeOf(which) == RecoveryNotice::Failed && !QFileInfo::exists(historyWorkPath(which)))
    noticeOf(which) = RecoveryNotice::Recovered;
  return std::exchange(noticeOf(which), RecoveryNotice::None);
}

QString recoveryNoticeText(History which, RecoveryNotice notice) {
  const QString work = QFileInfo(historyWorkPath(which)).fileName();
  switch (notice) {
  case RecoveryNotice::None:
    return {};
  case RecoveryNotice::Recovered:
    return QStringLiteral(
               "%1の削除が途中で止まっていました。作業ファイル「%2」からメールを復元し、削除を完了しました。")
        .arg(historyName(which), work);
  case RecoveryNotice::Failed:
    return QStringLiteral(
               "%1の削除が途中で止まっていますが、作業ファイル「%2」から復元できませんでした。メールは「%2」に残してあります。ディスクの空きや書き込み権限を確認して下さい。")
        .arg(historyName(which), work);
  }
  return {};
}

int historyCount(History which) {
  recoverHistory(which);
  const qint64 n = historyFile(which).count();
  return int(std::min<qint64>(n, MaxRecords));
}

QList<MailRecord> readHistory(History which) {
  recoverHistory(which);
  QList<MailRecord> out;
  const auto all = historyFile(which).readAll();
  if (!all)
    return out;
  out.reserve(all->size());
  for (const QByteArray &bytes : *all) {
    if (out.size() >= MaxRecords)
      break;
    out.append(decodeMailRecord(bytes));
  }
  return out;
}

std::optional<MailRecord> readHistoryRecord(History which, int n) {
  if (n < 1 || n > MaxRecords)
    return std::nullopt;
  recoverHistory(which);
  const auto bytes = historyFile(which).read(n);
  if (!bytes)
    return std::nullopt;
  MailRecord record = decodeMailRecord(*bytes);
  recordBuffer(which) = record;
  return record;
}

std::optional<QByteArray> readHistoryRecordBytes(History which, int n) {
  if (n < 1 || n > MaxRecords)
    return std::nullopt;
  recoverHistory(which);
  return historyFile(which).read(n);
}

QList<HistoryHeading> readHistoryHeadings(History which, const QList<int> *records) {
  recoverHistory(which);
  QList<int> numbers;
  const QList<QString> fields = fieldsOf(
      readRecordHeads(which, BodyOffset, 0, MaxRecords, records, &numbers), BodyOffset,
      {{SubjectOffset, SubjectWidth}, {Info1Offset, Info1Width}, {Info2Offset, Info2Width}});
  QList<HistoryHeading> out;
  out.reserve(fields.size() / 3);
  for (qsizetype i = 0; i + 2 < fields.size(); i += 3)
    out.append(HistoryHeading{numbers[i / 3], fields[i], fields[i + 1], fields[i + 2]});
  return out;
}

QByteArray readHistoryHeadBytes(History which) {
  recoverHistory(which);
  return readRecordHeads(which, BodyOffset);
}

QList<QString> readHistorySubjects(History which, int first, int most) {
  recoverHistory(which);
  return fieldsOf(readRecordHeads(which, SubjectWidth, std::max(first, 1) - 1, most), SubjectWidth,
                  {{SubjectOffset, SubjectWidth}});
}

HistorySubjects::HistorySubjects(History which) {
  recoverHistory(which);
  fd_ = openHistoryForReading(which);
  struct stat st {};
  if (fd_ >= 0 && ::fstat(fd_, &st) == 0)
    count_ = int(std::min<qint64>(st.st_size / RecordLength, MaxRecords));
}

HistorySubjects::~HistorySubjects() {
  if (fd_ >= 0)
    ::close(fd_);
}

QList<QString> HistorySubjects::read(int first, int most) const {
  if (fd_ < 0)
    return {};
  const qint64 from = std::max(first, 1) - 1;
  const qint64 upTo = std::min<qint64>(most, std::max<qint64>(count_ - from, 0));
  return fieldsOf(readRecordHeadsOf(fd_, SubjectWidth, from, upTo), SubjectWidth,
                  {{SubjectOffset, SubjectWidth}});
}

AppendResult appendHistoryRecord(History which, const MailRecord &record, bool sync) {
  MailRecord stored = record;
  stored.Flag = 1;
  return appendEncodedHistoryRecord(which, stored, encodeMailRecord(stored), sync);
}

AppendResult appendEncodedHistoryRecord(History which, const MailRecord &stored,
                                        const QByteArray &encoded, bool sync) {
  AppendResult result;
  if (!platform::dataFolderExists()) {
    result.error = AppendError::NoDataFolder;
    return result;
  }
  recoverHistory(which);
  const platform::RecordFile file = historyFile(which);
  if (file.count() >= MaxRecords) {
    result.error = AppendError::Full;
    return result;
  }
  const qint64 n = file.append(encoded, sync);
  if (n <= 0 || n > MaxRecords) {
    result.error = n > MaxRecords ? AppendError::Full : AppendError::WriteFailed;
    return result;
  }
  recordBuffer(which) = stored;
  result.number = int(n);
  return result;
}

bool syncHistory(History which) {
  if (!historyFile(which).sync())
    return false;
  // A history made anew since the last flush (a first mail, or a rewrite by a
  // delete) also needs its entry in the data folder on the disk. Some file
  // systems can't flush a folder; the records themselves are safe then, so
  // this step never fails the flush.
  const QByteArray folder = QFile::encodeName(QFileInfo(historyPath(which)).absolutePath());
  const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return true;
}

QString appendErrorText(History which, AppendError error) {
  const QString name = historyName(which);
  switch (error) {
  case AppendError::None:
    return {};
  case AppendError::NoDataFolder:
    return QStringLiteral("データフォルダ「★MAilData」が見つからないため、%1に保存できません。")
        .arg(name);
  case AppendError::Full:
    return QStringLiteral("%1が最大件数（32766件）に達したため、保存できません。"
                          "不要なメールを削除して下さい。")
        .arg(name);
  case AppendError::WriteFailed:
    return QStringLiteral(
               "%1のファイルに書き込めません（ディスクの空きや書き込み権限を確認して下さい）。")
        .arg(name);
  }
  return {};
}

bool markHistoryRecord(History which, int n) {
  if (n < 1 || n > MaxRecords)
    return false;
  recoverHistory(which);
  const platform::RecordFile file = historyFile(which);
  auto bytes = file.read(n);
  if (!bytes)
    return false;
  platform::writeInt16LE(*bytes, FlagOffset, 0);
  return file.write(n, *bytes);
}

bool rewriteHistoryRecord(History which, int n) {
  if (n < 1 || n > MaxRecords)
    return false;
  recoverHistory(which);
  const platform::RecordFile file = historyFile(which);
  const auto bytes = file.read(n);
  return bytes && file.write(n, *bytes);
}

bool replaceHistoryRecord(History which, int n, const MailRecord &record,
                          const QByteArray &encoded) {
  if (n < 1 || n > MaxRecords || n > historyCount(which))
    return false;
  const platform::RecordFile file = historyFile(which);
  if (!file.write(n, encoded))
    return false;
  recordBuffer(which) = record;
  return true;
}

bool putBackHistoryRecord(History which, int n, const QByteArray &bytes) {
  return n >= 1 && n <= historyCount(which) && historyFile(which).write(n, bytes);
}

bool cutHistoryAfter(History which, int count) {
  QFile file(historyPath(which));
  return !file.exists() || file.size() <= qint64(count) * RecordLength ||
         file.resize(qint64(count) * RecordLength);
}

bool markAllHistoryRecords(History which) {
  recoverHistory(which);
  QFile file(historyPath(which));
  if (!file.exists())
    return true;
  if (!file.open(QIODevice::ReadWrite, platform::PrivateFileMode))
    return false;
  const qint64 count = file.size() / RecordLength;
  const char zero[FlagWidth] = {0, 0};
  for (qint64 i = 0; i < count; ++i) {
    if (!file.seek(i * RecordLength + FlagOffset) || file.write(zero, FlagWidth) != FlagWidth)
      return false;
  }
  return file.flush();
}

bool rewriteHistory(History which) {
  if (!recoverHistory(which))
    return false;
  return platform::compactRecords(historyPath(which), historyWorkPath(which), compaction);
}

} // namespace mail
