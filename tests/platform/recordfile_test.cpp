#include "platform/core/recordfile.h"

#include "tests/support/programfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace platform;

namespace {

constexpr int Len = 8;
constexpr int FlagAt = 6;

// An 8-byte record: six letters and a little-endian flag.
QByteArray rec(char c, qint16 flag = 1) {
  QByteArray r(Len, c);
  writeInt16LE(r, FlagAt, flag);
  return r;
}

class RecordFileTest : public ::testing::Test {
protected:
  TempProgramFolder folder;
  QString path = folder.dataFile(QStringLiteral("records.data"));
  RecordFile file{path, Len};
};

} // namespace

TEST_F(RecordFileTest, MissingFileIsEmptyUntilCreated) {
  EXPECT_EQ(file.count(), 0);
  EXPECT_FALSE(file.read(1));
  EXPECT_FALSE(QFileInfo::exists(path));
  EXPECT_TRUE(file.ensureExists());
  EXPECT_TRUE(QFileInfo::exists(path));
  EXPECT_EQ(file.count(), 0);
  ASSERT_TRUE(file.readAll());
  EXPECT_TRUE(file.readAll()->isEmpty());
}

TEST_F(RecordFileTest, AppendsNumberFromOneAndReadBack) {
  EXPECT_EQ(file.append(rec('a')), 1);
  EXPECT_EQ(file.append(rec('b')), 2);
  EXPECT_EQ(file.append(rec('c'), true), 3);
  EXPECT_EQ(file.count(), 3);
  EXPECT_EQ(file.read(2), rec('b'));
  EXPECT_FALSE(file.read(0));
  EXPECT_FALSE(file.read(4));
  EXPECT_EQ(*file.readAll(), (QList<QByteArray>{rec('a'), rec('b'), rec('c')}));
  EXPECT_EQ(folder.readBytes(path), rec('a') + rec('b') + rec('c'));
}

TEST_F(RecordFileTest, PartialTailIsIgnoredAndCutBeforeAppend) {
  ASSERT_TRUE(folder.writeBytes(path, rec('a') + rec('b') + QByteArray("xyz")));
  EXPECT_EQ(file.count(), 2);
  EXPECT_FALSE(file.read(3));
  EXPECT_EQ(file.readAll()->size(), 2);
  // The new record starts at the boundary, so nothing after it is shifted.
  EXPECT_EQ(file.append(rec('c')), 3);
  EXPECT_EQ(folder.readBytes(path), rec('a') + rec('b') + rec('c'));
}

TEST_F(RecordFileTest, WritesInPlaceAndPastTheEnd) {
  file.append(rec('a'));
  file.append(rec('b'));
  EXPECT_TRUE(file.write(1, rec('z', 0)));
  EXPECT_EQ(file.read(1), rec('z', 0));
  EXPECT_EQ(file.read(2), rec('b'));
  // Past the end: the gap is zero-filled and the count follows.
  EXPECT_TRUE(file.write(4, rec('d')));
  EXPECT_EQ(file.count(), 4);
  EXPECT_EQ(file.read(3), QByteArray(Len, '\0'));
  EXPECT_FALSE(file.write(0, rec('x')));
  EXPECT_FALSE(file.write(1, QByteArray("short")));
  EXPECT_EQ(file.append(QByteArray(Len + 1, 'x')), 0);
  EXPECT_EQ(file.count(), 4);
}

TEST_F(RecordFileTest, FailuresAreReportedNotHidden) {
  RecordFile nowhere(folder.path() + QStringLiteral("/no/such/folder/x.data"), Len);
  EXPECT_FALSE(nowhere.ensureExists());
  EXPECT_EQ(nowhere.append(rec('a')), 0);
  EXPECT_FALSE(nowhere.write(1, rec('a')));
  EXPECT_FALSE(nowhere.readAll());
  EXPECT_FALSE(QFileInfo::exists(folder.path() + QStringLiteral("/no")));
}

TEST(RecordFlags, LittleEndianSixteenBit) {
  QByteArray b(4, '\0');
  writeInt16LE(b, 1, -2);
  EXPECT_EQ(b, QByteArray::fromHex("00feff00"));
  EXPECT_EQ(readInt16LE(b, 1), -2);
  EXPECT_EQ(readInt16LE(QByteArray::fromHex("0100"), 0), 1);
  EXPECT_EQ(readInt16LE(b, 3), 0); // out of range reads as 0, no overrun
  writeInt16LE(b, 3, 7);
  EXPECT_EQ(b, QByteArray::fromHex("00feff00"));
}

// Compaction ----------------------------------------------------------------

namespace {

class CompactionTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.writeBytes(path, all));
  }
  void TearDown() override { setCompactionStepHook(nullptr); }

  TempProgramFolder folder;
  QString path = folder.dataFile(QStringLiteral("qlmdata2.data"));
  QString tmp = folder.dataFile(QStringLiteral("QLMDATA2.TMP"));
  CompactionLayout layout{Len, FlagAt};
  // Live, deleted, live, deleted, live and a partial tail.
  QByteArray all = rec('a') + rec('b', 0) + rec('c') + rec('d', 0) + rec('e', -1) + QByteArray("zz");
  QByteArray live = rec('a') + rec('c') + rec('e', -1);

  QStringList leftovers() const {
    QStringList names = QDir(folder.dataPath()).entryList(QDir::Files);
    names.removeAll(QStringLiteral("qlmdata2.data"));
    return names;
  }
};

} // namespace

TEST_F(CompactionTest, KeepsLiveRecordsInOrderAndTheFilePrivate) {
  const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
  ASSERT_TRUE(QFile::setPermissions(path, ownerOnly));
  EXPECT_TRUE(compactRecords(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live);
  const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther |
                      QFileDevice::WriteOther;
  EXPECT_EQ(QFile::permissions(path) & (ownerOnly | others), ownerOnly);
  EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();

  // Larger than one block of the rewrite, deleted records at its edges.
  QByteArray many, kept;
  for (int i = 0; i < 300000; ++i) {
    const bool gone = i % 3 == 0;
    const QByteArray r = rec(char('a' + i % 26), gone ? 0 : 1);
    many += r;
    if (!gone)
      kept += r;
  }
  ASSERT_TRUE(folder.writeBytes(path, many + QByteArray("tail")));
  EXPECT_TRUE(compactRecords(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), kept);

  // Long runs of live records, as in a history with one mail deleted: the
  // flags are read while the records are copied, and a run is copied in
  // pieces as its flags become known.
  many.clear();
  kept.clear();
  for (int i = 0; i < 100000; ++i) {
    const bool gone = i % 9973 == 4321 || i == 99999;
    const QByteArray r = rec(char('a' + i % 26), gone ? 0 : char(i % 7 + 1));
    many += r;
    if (!gone)
      kept += r;
  }
  ASSERT_TRUE(folder.writeBytes(path, many));
  EXPECT_TRUE(compactRecords(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), kept);
}

TEST_F(CompactionTest, EveryRecordDeletedLeavesAnEmptyFile) {
  ASSERT_TRUE(folder.writeBytes(path, rec('a', 0) + rec('b', 0)));
  EXPECT_TRUE(compactRecords(path, tmp, layout));
  EXPECT_TRUE(QFileInfo::exists(path));
  EXPECT_EQ(QFileInfo(path).size(), 0);
}

TEST_F(CompactionTest, StoppedAfterEachStepIsRecovered) {
  for (int stopAfter = 1; stopAfter <= 4; ++stopAfter) {
    SCOPED_TRACE(stopAfter);
    ASSERT_TRUE(folder.writeBytes(path, all));
    setCompactionStepHook([stopAfter](int step) { return step != stopAfter; });
    EXPECT_FALSE(compactRecords(path, tmp, layout));
    setCompactionStepHook(nullptr);
    // A large work file set aside to be freed, when the program stopped
    // before that was done, is removed as well.
    ASSERT_TRUE(folder.writeBytes(tmp + QStringLiteral(".old"), all));
    // The next access finishes the job.
    EXPECT_TRUE(recoverCompaction(path, tmp, layout));
    EXPECT_EQ(folder.readBytes(path), live);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
  }
}

TEST_F(CompactionTest, StoppedCompactionIsFinishedBeforeTheNextOne) {
  setCompactionStepHook([](int step) { return step != 2; });
  EXPECT_FALSE(compactRecords(path, tmp, layout));
  setCompactionStepHook(nullptr);
  EXPECT_FALSE(QFileInfo::exists(path));
  EXPECT_TRUE(compactRecords(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live);
}

TEST_F(CompactionTest, WorkFileCutShortByAnotherProgramLeavesTheDataFileInCharge) {
  // A copy in place that died half way: the data file still holds all, and
  // the delete it was for is completed from it.
  ASSERT_TRUE(folder.writeBytes(tmp, all.left(Len + 3)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live);
  EXPECT_FALSE(QFileInfo::exists(tmp));
}

// Regression: a work file left behind after a finished rewrite must not
// take back records added to the data file since.
TEST_F(CompactionTest, RecordsAddedAfterAFinishedRewriteSurvive) {
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  ASSERT_TRUE(folder.writeBytes(path, live + rec('f') + rec('g', 0)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live + rec('f'));
  EXPECT_FALSE(QFileInfo::exists(tmp));
}

// Regression: a compaction stopped after the data file was deleted, then a
// record added (the file created anew) before anything recovered: the work
// file was thrown away with every older record.
TEST_F(CompactionTest, DataFileWrittenAfterTheWorkFileIsKept) {
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  ASSERT_TRUE(folder.writeBytes(path, rec('x') + rec('y', 0)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live + rec('x'));
  EXPECT_FALSE(QFileInfo::exists(tmp));

  // The same after a rewrite that got as far as the first record.
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  ASSERT_TRUE(folder.writeBytes(path, rec('a') + rec('x')));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live + rec('x'));
}

TEST_F(CompactionTest, RecordsMarkedDeletedBeforeRecoveryStayDeleted) {
  // Stopped before the data file was deleted, then record 3 marked.
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  ASSERT_TRUE(folder.writeBytes(path, rec('a') + rec('b', 0) + rec('c', 0) + rec('d', 0) + rec('e', -1)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), rec('a') + rec('e', -1));

  // Stopped after the rewrite, then its second record marked.
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  ASSERT_TRUE(folder.writeBytes(path, rec('a') + rec('c', 0) + rec('e', -1)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), rec('a') + rec('e', -1));
  EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
}

TEST_F(CompactionTest, WorkFileIsTheTruthWhenTheDataFileIsGoneOrShorter) {
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  QFile::remove(path);
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live);

  // A data file rewritten in place only in part, the last record cut short.
  ASSERT_TRUE(folder.writeBytes(tmp, all));
  ASSERT_TRUE(folder.writeBytes(path, rec('a') + rec('c').left(3)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live);
  EXPECT_FALSE(QFileInfo::exists(tmp));
}

TEST_F(CompactionTest, SideFilesOfAKilledRunAreCleanedUp) {
  ASSERT_TRUE(folder.writeBytes(tmp + QStringLiteral(".part"), all.left(5)));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), all); // no work file: nothing was under way

  ASSERT_TRUE(folder.writeBytes(tmp, all));
  QFile::remove(path);
  ASSERT_TRUE(folder.writeBytes(path + QStringLiteral(".new"), rec('x')));
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), live);
  EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
}

TEST_F(CompactionTest, NothingToDoAndBadLayouts) {
  EXPECT_TRUE(recoverCompaction(path, tmp, layout));
  EXPECT_EQ(folder.readBytes(path), all);
  QFile::remove(path);
  EXPECT_TRUE(compactRecords(path, tmp, layout));
  EXPECT_FALSE(QFileInfo::exists(path));
  EXPECT_FALSE(compactRecords(path, tmp, CompactionLayout{0, 0}));
  EXPECT_FALSE(compactRecords(path, tmp, CompactionLayout{Len, Len - 1}));
}
