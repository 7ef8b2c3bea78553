// The history files against bytes laid out by hand: the Windows program wrote
// these files and must still read ours.
#include "mail/store/history.h"
#include "platform/core/recordfile.h"
#include "tests/support/programfolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace mail;
namespace L = mail::MailLayout;

namespace {

QByteArray padded(const QByteArray &bytes, int width) {
  QByteArray out = bytes.left(width);
  out.append(QByteArray(width - out.size(), ' '));
  return out;
}

// One record exactly as the Windows program lays it out.
QByteArray handRecord(const QByteArray &subject, const QByteArray &info1, const QByteArray &info2,
                      const QByteArray &body, qint16 flag = 1) {
  QByteArray r = padded(subject, 100) + padded(info1, 90) + padded(info2, 90) + padded(body, 12000);
  r += "\r\n";
  r += char(flag & 0xff);
  r += char((flag >> 8) & 0xff);
  return r;
}

// "テスト" and "日本" in Shift_JIS.
const QByteArray SjisTest("\x83\x65\x83\x58\x83\x67");
const QByteArray SjisNihon("\x93\xfa\x96\x7b");

QByteArray fileBytes(History which) {
  QFile f(historyPath(which));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(MailRecordLayout, HandWrittenRecordDecodesFieldByField) {
  const QByteArray bytes =
      handRecord("  " + SjisTest + " re", "taro@example.jp", "Mon, 7 Dec 2026 09:05:00 +0900",
                 SjisNihon + "\r\nline 2  ", 1);
  ASSERT_EQ(bytes.size(), L::RecordLength);
  const MailRecord r = decodeMailRecord(bytes);
  EXPECT_EQ(r.Subject, QStringLiteral("テスト re")); // leading blanks do not come back
  EXPECT_EQ(r.Info1, QStringLiteral("taro@example.jp"));
  EXPECT_EQ(r.Info2, QStringLiteral("Mon, 7 Dec 2026 09:05:00 +0900"));
  EXPECT_EQ(r.Body, QStringLiteral("日本\r\nline 2"));
  EXPECT_EQ(r.Flag, 1);

  EXPECT_EQ(decodeMailRecord(handRecord("a", "b", "c", "d", 0)).Flag, 0);
  EXPECT_EQ(decodeMailRecord(handRecord("a", "b", "c", "d", -2)).Flag, -2);
}

TEST(MailRecordLayout, EncodeMatchesTheHandLayout) {
  MailRecord r;
  r.Subject = QStringLiteral("テスト");
  r.Info1 = QStringLiteral("taro@example.jp");
  r.Info2 = QStringLiteral("2026/12/07  9:05:00");
  r.Body = QStringLiteral("日本");
  EXPECT_EQ(encodeMailRecord(r),
            handRecord(SjisTest, "taro@example.jp", "2026/12/07  9:05:00", SjisNihon, 1));
}

TEST(MailRecordLayout, LongTextsAreCutAtCharacterBoundaries) {
  MailRecord r;
  r.Subject = QString(60, QChar(u'漢'));
  // One byte first, so the 90-byte edge falls inside a double-byte character.
  r.Info1 = QStringLiteral("a") + QString(60, QChar(u'字'));
  QByteArray body(12500, 'x');
  body[11999] = 'y';
  body[12000] = 'z';
  r.Body = QString::fromLatin1(body);

  const QByteArray bytes = encodeMailRecord(r);
  ASSERT_EQ(bytes.size(), L::RecordLength);
  EXPECT_EQ(bytes.mid(L::CrlfOffset, 2), QByteArray("\r\n"));
  EXPECT_EQ(bytes.at(L::Info1Offset + 89), ' '); // the half character became a blank

  const MailRecord back = decodeMailRecord(bytes);
  EXPECT_EQ(back.Subject, QString(50, QChar(u'漢')));
  EXPECT_EQ(back.Info1, QStringLiteral("a") + QString(44, QChar(u'字')));
  EXPECT_EQ(back.Body.size(), 12000);
  EXPECT_TRUE(back.Body.endsWith(u'y'));
}

class HistoryFiles : public ::testing::Test {
protected:
  TempProgramFolder folder;
  void SetUp() override { ASSERT_TRUE(folder.isValid()); }
  void writeHistory(History which, const QByteArray &bytes) {
    ASSERT_TRUE(folder.writeBytes(historyPath(which), bytes));
  }
};

TEST_F(HistoryFiles, PathsLieInTheDataFolder) {
  EXPECT_EQ(historyPath(History::Received), folder.dataFile("qlmdata2.data"));
  EXPECT_EQ(historyPath(History::Sent), folder.dataFile("qlmdata5.data"));
  EXPECT_EQ(historyWorkPath(History::Received), folder.dataFile("QLMDATA2.TMP"));
  EXPECT_EQ(historyWorkPath(History::Sent), folder.dataFile("QLMDATA5.TMP"));
}

TEST_F(HistoryFiles, EmptyOrMissingFileHasNoRecordsAndTakesRecordOne) {
  EXPECT_EQ(historyCount(History::Received), 0);
  EXPECT_TRUE(readHistory(History::Received).isEmpty());
  EXPECT_FALSE(readHistoryRecord(History::Received, 1));

  writeHistory(History::Sent, {});
  MailRecord r;
  r.Subject = QStringLiteral("first");
  r.Flag = 7; // an appended record is always live
  const AppendResult a = appendHistoryRecord(History::Sent, r);
  EXPECT_EQ(a.number, 1);
  EXPECT_EQ(fileBytes(History::Sent), handRecord("first", "", "", "", 1));
  EXPECT_EQ(SentRecord.Subject, QStringLiteral("first"));
}

TEST_F(HistoryFiles, PartialTailIsIgnoredAndTheNextAppendStartsOnABoundary) {
  const QByteArray one = handRecord("one", "a", "b", "body 1");
  const QByteArray two = handRecord("two", "a", "b", "body 2");
  writeHistory(History::Received, one + two + QByteArray(100, 'q'));

  EXPECT_EQ(historyCount(History::Received), 2);
  const QList<MailRecord> all = readHistory(History::Received);
  ASSERT_EQ(all.size(), 2);
  EXPECT_EQ(all[1].Body, QStringLiteral("body 2"));
  EXPECT_FALSE(readHistoryRecord(History::Received, 3));
  EXPECT_EQ(readHistoryHeadings(History::Received).size(), 2);

  MailRecord r;
  r.Subject = QStringLiteral("three");
  EXPECT_EQ(appendHistoryRecord(History::Received, r).number, 3);
  EXPECT_EQ(fileBytes(History::Received), one + two + handRecord("three", "", "", ""));
}

TEST_F(HistoryFiles, ReadingARecordFillsThatHistorysBuffer) {
  writeHistory(History::Received, handRecord("r1", "", "", "") + handRecord("r2", "", "", ""));
  writeHistory(History::Sent, handRecord("s1", "", "", ""));
  ASSERT_TRUE(readHistoryRecord(History::Received, 2));
  ASSERT_TRUE(readHistoryRecord(History::Sent, 1));
  EXPECT_EQ(ReceivedRecord.Subject, QStringLiteral("r2"));
  EXPECT_EQ(SentRecord.Subject, QStringLiteral("s1"));
  EXPECT_FALSE(readHistoryRecord(History::Received, 0));
}

TEST_F(HistoryFiles, HeadingsStayInLineWhenAFieldHoldsANul) {
  QByteArray odd = handRecord("x", "from", "date", "");
  odd[3] = '\0'; // a stray NUL inside the subject of a foreign file
  writeHistory(History::Received,
               handRecord(SjisTest, "s1", "d1", "") + odd + handRecord("last", "s3", "d3", ""));
  const QList<HistoryHeading> h = readHistoryHeadings(History::Received);
  ASSERT_EQ(h.size(), 3);
  EXPECT_EQ(h[0].Subject, QStringLiteral("テスト"));
  EXPECT_EQ(h[1].Info1, QStringLiteral("from"));
  EXPECT_EQ(h[2].Subject, QStringLiteral("last"));
  EXPECT_EQ(h[2].Info2, QStringLiteral("d3"));

  // The subjects alone, as the main window's tree reads them; a record cut
  // short at the end of the file is no record.
  writeHistory(History::Received, handRecord(SjisTest, "s1", "d1", "") + odd +
                                      handRecord("last", "s3", "d3", "") +
                                      handRecord("cut", "", "", "").left(150));
  EXPECT_EQ(readHistorySubjects(History::Received),
            (QList<QString>{QStringLiteral("テスト"), h[1].Subject, QStringLiteral("last")}));
  EXPECT_EQ(readHistoryHeadings(History::Received).size(), 3);
  // Only some records, as a search's hits are listed; one past the end (the
  // cut record) is left out.
  const QList<int> hits{3, 1, 4};
  const QList<HistoryHeading> some = readHistoryHeadings(History::Received, &hits);
  ASSERT_EQ(some.size(), 2);
  EXPECT_EQ(some[0].record, 3);
  EXPECT_EQ(some[0].Info1, QStringLiteral("s3"));
  EXPECT_EQ(some[1].record, 1);
  EXPECT_EQ(some[1].Subject, QStringLiteral("テスト"));
  // A block of them, as the tree reads the lines it shows; none past the end.
  EXPECT_EQ(readHistorySubjects(History::Received, 2, 5),
            (QList<QString>{h[1].Subject, QStringLiteral("last")}));
  EXPECT_EQ(readHistorySubjects(History::Received, 3, 1), QList<QString>{QStringLiteral("last")});
  EXPECT_TRUE(readHistorySubjects(History::Received, 4, 512).isEmpty());
}

TEST_F(HistoryFiles, RewriteRemovingRecordThreeOfFive) {
  QByteArray five;
  for (int i = 1; i <= 5; ++i)
    five += handRecord("mail " + QByteArray::number(i), "from", "date", "body");
  writeHistory(History::Received, five);

  ASSERT_TRUE(markHistoryRecord(History::Received, 3));
  // Marking changes the flag alone: a record left marked by an interrupted
  // delete still shows its own mail.
  EXPECT_EQ(readHistoryRecord(History::Received, 3)->Subject, QStringLiteral("mail 3"));
  ASSERT_TRUE(rewriteHistory(History::Received));

  const QList<MailRecord> after = readHistory(History::Received);
  ASSERT_EQ(after.size(), 4);
  EXPECT_EQ(after[2].Subject, QStringLiteral("mail 4"));
  EXPECT_EQ(after[3].Subject, QStringLiteral("mail 5"));
  EXPECT_EQ(fileBytes(History::Received),
            five.left(2 * L::RecordLength) + five.mid(3 * L::RecordLength));
  EXPECT_FALSE(QFile::exists(historyWorkPath(History::Received)));
}

TEST_F(HistoryFiles, RewriteCutShortIsFinishedAtTheNextRead) {
  QByteArray three;
  for (int i = 1; i <= 3; ++i)
    three += handRecord("mail " + QByteArray::number(i), "", "", "");
  writeHistory(History::Sent, three);
  ASSERT_TRUE(markHistoryRecord(History::Sent, 1));

  platform::setCompactionStepHook([](int step) { return step < 2; });
  rewriteHistory(History::Sent);
  platform::setCompactionStepHook({});

  const QList<MailRecord> after = readHistory(History::Sent);
  ASSERT_EQ(after.size(), 2);
  EXPECT_EQ(after[0].Subject, QStringLiteral("mail 2"));
  EXPECT_FALSE(QFile::exists(historyWorkPath(History::Sent)));
}

TEST_F(HistoryFiles, AppendRefusesWhatItCannotStore) {
  MailRecord r;
  r.Subject = QStringLiteral("x");

  // A full history: 32,766 records (sparse, so the test stays small on disk).
  {
    QFile f(historyPath(History::Received));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(qint64(L::MaxRecords) * L::RecordLength));
  }
  const AppendResult full = appendHistoryRecord(History::Received, r);
  EXPECT_FALSE(full.ok());
  EXPECT_EQ(full.error, AppendError::Full);
  EXPECT_EQ(QFileInfo(historyPath(History::Received)).size(),
            qint64(L::MaxRecords) * L::RecordLength);
  EXPECT_FALSE(appendErrorText(History::Received, full.error).isEmpty());

  // A history the program may not write.
  writeHistory(History::Sent, {});
  QFile::setPermissions(historyPath(History::Sent), QFileDevice::ReadOwner);
  if (!QFile(historyPath(History::Sent)).open(QIODevice::WriteOnly)) { // not when run as root
    const AppendResult denied = appendHistoryRecord(History::Sent, r);
    EXPECT_EQ(denied.error, AppendError::WriteFailed);
  }
  QFile::setPermissions(historyPath(History::Sent),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner);

  // No data folder at all: nothing is created in its place.
  ASSERT_TRUE(QDir(folder.dataPath()).removeRecursively());
  const AppendResult missing = appendHistoryRecord(History::Sent, r);
  EXPECT_EQ(missing.error, AppendError::NoDataFolder);
  EXPECT_FALSE(QDir(folder.dataPath()).exists());
}
