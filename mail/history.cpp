#include "mail/history.h"

#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/recordfile.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

#include <fcntl.h>
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

// The short fields of one record; the 12000-byte body is left alone.
HistoryHeading headingOf(const char *record) {
  HistoryHeading h;
  h.Subject = platform::readAnsiField(QByteArray::fromRawData(record + SubjectOffset, SubjectWidth));
  h.Info1 = platform::readAnsiField(QByteArray::fromRawData(record + Info1Offset, Info1Width));
  h.Info2 = platform::readAnsiField(QByteArray::fromRawData(record + Info2Offset, Info2Width));
  return h;
}

QByteArray trimmedField(const char *data, int width) {
  int begin = 0, end = width;
  // 0x20 is never the second byte of a CP932 character, so blanks can be
  // trimmed on the bytes before conversion.
  while (begin < end && data[begin] == ' ')
    ++begin;
  while (end > begin && data[end - 1] == ' ')
    --end;
  return QByteArray(data + begin, end - begin);
}

// Converting the fields of 32,766 records one by one costs more than reading
// the file; converting them as one text separated by NULs costs one call.
// Should the split not come out field for field (a field holding a NUL or a
// broken double-byte character), fall back to converting each field alone.
QList<HistoryHeading> headingsOf(const char *data, qint64 count) {
  QList<HistoryHeading> out;
  out.reserve(count);
  QByteArray joined;
  joined.reserve(count * (SubjectWidth + Info1Width + Info2Width + 3));
  for (qint64 i = 0; i < count; ++i) {
    const char *rec = data + i * RecordLength;
    joined += trimmedField(rec + SubjectOffset, SubjectWidth);
    joined += '\0';
    joined += trimmedField(rec + Info1Offset, Info1Width);
    joined += '\0';
    joined += trimmedField(rec + Info2Offset, Info2Width);
    joined += '\0';
  }
  const QString text = platform::fromAnsi(joined);
  const QList<QStringView> parts = QStringView(text).split(QChar(u'\0'));
  if (parts.size() == count * 3 + 1) {
    for (qint64 i = 0; i < count; ++i) {
      HistoryHeading h;
      h.Subject = parts[i * 3].toString();
      h.Info1 = parts[i * 3 + 1].toString();
      h.Info2 = parts[i * 3 + 2].toString();
      out.append(std::move(h));
    }
    return out;
  }
  for (qint64 i = 0; i < count; ++i)
    out.append(headingOf(data + i * RecordLength));
  return out;
}

} // namespace

MailRecord &recordBuffer(History which) {
  return which == History::Received ? ReceivedRecord : SentRecord;
}

namespace {
RecoveryNotice pendingNotice[2] = {RecoveryNotice::None, RecoveryNotice::None};
RecoveryNotice &noticeOf(History which) {
  return pendingNotice[which == History::Received ? 0 : 1];
}
QString historyName(History which) {
  return which == History::Received ? QStringLiteral("着信履歴") : QStringLiteral("送信履歴");
}
} // namespace

bool recoverHistory(History which) {
  const bool pending = QFileInfo::exists(historyWorkPath(which));
  const bool ok =
      platform::recoverCompaction(historyPath(which), historyWorkPath(which), compaction);
  if (pending)
    noticeOf(which) = ok ? RecoveryNotice::Recovered : RecoveryNotice::Failed;
  return ok;
}

RecoveryNotice takeRecoveryNotice(History which) {
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

QList<HistoryHeading> readHistoryHeadings(History which) {
  recoverHistory(which);
  QFile file(historyPath(which));
  if (!file.exists() || !file.open(QIODevice::ReadOnly))
    return {};
  const qint64 count = std::min<qint64>(file.size() / RecordLength, MaxRecords);
  if (count <= 0)
    return {};
  const qint64 length = count * RecordLength;
  if (uchar *map = file.map(0, length)) {
    QList<HistoryHeading> out = headingsOf(reinterpret_cast<const char *>(map), count);
    file.unmap(map);
    return out;
  }
  const QByteArray data = file.read(length);
  return headingsOf(data.constData(), data.size() / RecordLength);
}

AppendResult appendHistoryRecord(History which, const MailRecord &record, bool sync) {
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
  MailRecord stored = record;
  stored.Flag = 1;
  const qint64 n = file.append(encodeMailRecord(stored), sync);
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
    return QStringLiteral("%1のファイルに書き込めません（ディスクの空きや書き込み権限を確認して下さい）。")
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

bool markAllHistoryRecords(History which) {
  recoverHistory(which);
  QFile file(historyPath(which));
  if (!file.exists())
    return true;
  if (!file.open(QIODevice::ReadWrite))
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
