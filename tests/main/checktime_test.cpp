// The check-time file: the 404-byte record against bytes written by hand,
// and the file operations the main window builds on.
#include "main/lib/checktime.h"

#include "platform/core/recordfile.h"
#include "tests/support/programfolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace korvex;

namespace {

// One record laid out byte by byte: Reserved blanks, CR LF, Flag, CheckTime.
QByteArray handRecord(const QByteArray &timeBytes, char flagLow, char flagHigh) {
  QByteArray r;
  r += QByteArray(200, ' ');
  r += "\r\n";
  r += flagLow;
  r += flagHigh;
  r += timeBytes;
  r += QByteArray(200 - timeBytes.size(), ' ');
  return r;
}

QByteArray fileBytes(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(CheckTimeRecord, EncodesToTheHandWrittenLayout) {
  const QByteArray expected = handRecord("9:05", '\x01', '\x00');
  ASSERT_EQ(expected.size(), 404);
  EXPECT_EQ(encodeCheckTimeRecord({QStringLiteral("9:05"), 1}), expected);
  EXPECT_EQ(encodeCheckTimeRecord({QStringLiteral("18:30"), 0}), handRecord("18:30", '\x00', '\x00'));
  // Full-width digits go out as Shift_JIS double-byte characters.
  EXPECT_EQ(encodeCheckTimeRecord({QStringLiteral("９：０５"), 1}),
            handRecord("\x82\x58\x81\x46\x82\x4f\x82\x54", '\x01', '\x00'));
}

TEST(CheckTimeRecord, DecodesFlagAndKeepsThePaddingOfTheTime) {
  const CheckTimeRecord r = decodeCheckTimeRecord(handRecord("24:30", '\xff', '\xff'));
  EXPECT_EQ(r.Flag, -1);
  EXPECT_EQ(r.CheckTime.size(), 200);
  EXPECT_TRUE(r.CheckTime.startsWith(QStringLiteral("24:30   ")));
  EXPECT_EQ(r.CheckTime.trimmed(), QStringLiteral("24:30"));

  const CheckTimeRecord sjis = decodeCheckTimeRecord(handRecord("\x82\x58\x81\x46\x82\x4f\x82\x54", 1, 0));
  EXPECT_EQ(sjis.CheckTime.trimmed(), QStringLiteral("９：０５"));
  // Reserved is never read: garbage there changes nothing.
  QByteArray noisy = handRecord("7:00", 1, 0);
  noisy.replace(0, 5, "ABCDE");
  EXPECT_EQ(decodeCheckTimeRecord(noisy).CheckTime.trimmed(), QStringLiteral("7:00"));
}

TEST(CheckTimeFile, WritesReadsMarksAndCompactsInOrder) {
  TempProgramFolder folder;
  ASSERT_TRUE(folder.isValid());

  // Opening for the list creates the file, empty.
  const auto empty = readCheckTimes();
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->isEmpty());
  EXPECT_TRUE(QFile::exists(folder.dataFile(QStringLiteral("Qlmdata90.data"))));

  EXPECT_EQ(putCheckTimeRecord(1, QStringLiteral("  8:00 ")), CheckTimeError::None);
  EXPECT_EQ(putCheckTimeRecord(2, QStringLiteral("9:05")), CheckTimeError::None);
  EXPECT_EQ(putCheckTimeRecord(3, QStringLiteral("10:00")), CheckTimeError::None);
  EXPECT_EQ(checkTimeCount(), 3);
  const QByteArray written = fileBytes(checkTimePath());
  EXPECT_EQ(written.mid(0, 404), handRecord("8:00", 1, 0));
  EXPECT_EQ(written.mid(808, 404), handRecord("10:00", 1, 0));

  EXPECT_EQ(markCheckTimeDeleted(2), CheckTimeError::None);
  EXPECT_EQ(fileBytes(checkTimePath()).mid(404, 404), handRecord("9:05", 0, 0));
  EXPECT_EQ(compactCheckTimes(), CheckTimeError::None);
  EXPECT_EQ(fileBytes(checkTimePath()), handRecord("8:00", 1, 0) + handRecord("10:00", 1, 0));
  EXPECT_FALSE(QFile::exists(checkTimeWorkPath()));

  const auto times = readCheckTimes();
  ASSERT_TRUE(times.has_value());
  ASSERT_EQ(times->size(), 2);
  EXPECT_EQ(times->at(0).trimmed(), QStringLiteral("8:00"));
  EXPECT_EQ(times->at(1).trimmed(), QStringLiteral("10:00"));

  // Marking a record that is not there leaves the file alone.
  EXPECT_EQ(markCheckTimeDeleted(7), CheckTimeError::None);
  EXPECT_EQ(checkTimeCount(), 2);
}

TEST(CheckTimeFile, ListFinishesADeleteThatWasCutShort) {
  TempProgramFolder folder;
  const QByteArray all = handRecord("8:00", 1, 0) + handRecord("9:05", 0, 0) + handRecord("10:00", 1, 0);
  // Killed after the copy and the removal of the data file.
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("QLMDATA90.TMP")), all));
  const auto times = readCheckTimes();
  ASSERT_TRUE(times.has_value());
  ASSERT_EQ(times->size(), 2);
  EXPECT_EQ(times->at(1).trimmed(), QStringLiteral("10:00"));
}

TEST(CheckTimeFile, MissingDataFolderIsReportedNotCreated) {
  TempProgramFolder folder;
  ASSERT_TRUE(QDir(folder.dataPath()).removeRecursively());
  EXPECT_FALSE(readCheckTimes().has_value());
  EXPECT_EQ(putCheckTimeRecord(1, QStringLiteral("9:05")), CheckTimeError::NoDataFolder);
  EXPECT_EQ(compactCheckTimes(), CheckTimeError::NoDataFolder);
  EXPECT_FALSE(QDir(folder.dataPath()).exists());
  EXPECT_TRUE(checkTimeErrorText(CheckTimeError::NoDataFolder).contains(QStringLiteral("★MAilData")));
}

TEST(CheckTimeFile, RefusesRecordsPastTheSixteenBitLimit) {
  TempProgramFolder folder;
  EXPECT_EQ(putCheckTimeRecord(CheckTimeLayout::MaxRecords + 1, QStringLiteral("9:05")),
            CheckTimeError::Full);
  EXPECT_EQ(checkTimeCount(), 0);
}
