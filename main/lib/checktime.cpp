#include "main/lib/checktime.h"

#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/recordfile.h"

namespace korvex {

using namespace CheckTimeLayout;

namespace {

constexpr platform::CompactionLayout compaction{RecordLength, FlagOffset};

platform::RecordFile checkTimeFile() { return platform::RecordFile(checkTimePath(), RecordLength); }

CheckTimeError folderError() {
  return platform::dataFolderExists() ? CheckTimeError::WriteFailed : CheckTimeError::NoDataFolder;
}

} // namespace

QByteArray encodeCheckTimeRecord(const CheckTimeRecord &record) {
  QByteArray bytes(RecordLength, ' ');
  bytes[CrlfOffset] = '\r';
  bytes[CrlfOffset + 1] = '\n';
  platform::writeInt16LE(bytes, FlagOffset, record.Flag);
  bytes.replace(CheckTimeOffset, CheckTimeWidth, platform::ansiField(record.CheckTime, CheckTimeWidth));
  return bytes;
}

CheckTimeRecord decodeCheckTimeRecord(const QByteArray &bytes) {
  CheckTimeRecord record;
  if (bytes.size() < RecordLength)
    return record;
  record.Flag = platform::readInt16LE(bytes, FlagOffset);
  record.CheckTime = platform::readAnsiField(bytes.mid(CheckTimeOffset, CheckTimeWidth), false);
  return record;
}

QString checkTimePath() { return platform::dataFile(QStringLiteral("Qlmdata90.data")); }
QString checkTimeWorkPath() { return platform::dataFile(QStringLiteral("QLMDATA90.TMP")); }

std::optional<QStringList> readCheckTimes() {
  // A delete stopped between its steps leaves the records in the work file.
  platform::recoverCompaction(checkTimePath(), checkTimeWorkPath(), compaction);
  const platform::RecordFile file = checkTimeFile();
  if (!file.ensureExists())
    return std::nullopt;
  const std::optional<QList<QByteArray>> records = file.readAll();
  if (!records)
    return std::nullopt;
  QStringList times;
  times.reserve(records->size());
  for (const QByteArray &bytes : *records)
    times.append(decodeCheckTimeRecord(bytes).CheckTime);
  return times;
}

QString checkTimeErrorText(CheckTimeError error) {
  switch (error) {
  case CheckTimeError::None:
    return {};
  case CheckTimeError::NoDataFolder:
    return QStringLiteral("データフォルダ「%1」が見つからないため、チェック時間を保存できませんでした。")
        .arg(platform::dataFolder());
  case CheckTimeError::Full:
    return QStringLiteral("チェック時間は%1件までしか登録できません。不要な時間を削除してから登録して下さい。")
        .arg(MaxRecords);
  case CheckTimeError::WriteFailed:
    return QStringLiteral("チェック時間のファイル「%1」に書き込めませんでした。").arg(checkTimePath());
  }
  return {};
}

qint64 checkTimeCount() { return checkTimeFile().count(); }

CheckTimeError putCheckTimeRecord(qint64 n, const QString &text) {
  if (!platform::dataFolderExists())
    return CheckTimeError::NoDataFolder;
  if (n < 1 || n > MaxRecords)
    return CheckTimeError::Full;
  CheckTimeRecord record;
  record.CheckTime = platform::trimBlanks(text);
  record.Flag = 1;
  if (!checkTimeFile().write(n, encodeCheckTimeRecord(record)))
    return folderError();
  return CheckTimeError::None;
}

CheckTimeError markCheckTimeDeleted(qint64 n) {
  const platform::RecordFile file = checkTimeFile();
  std::optional<QByteArray> bytes = file.read(n);
  if (!bytes)
    return platform::dataFolderExists() ? CheckTimeError::None : CheckTimeError::NoDataFolder;
  platform::writeInt16LE(*bytes, FlagOffset, 0);
  if (!file.write(n, *bytes))
    return folderError();
  return CheckTimeError::None;
}

CheckTimeError compactCheckTimes() {
  if (!platform::dataFolderExists())
    return CheckTimeError::NoDataFolder;
  if (!platform::compactRecords(checkTimePath(), checkTimeWorkPath(), compaction))
    return CheckTimeError::WriteFailed;
  return CheckTimeError::None;
}

} // namespace korvex
