// Deleting from the history viewer: what the files hold afterwards, byte for
// byte, what the window shows, and that a delete cut short anywhere loses
// nothing and is reported.
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/tyakuform.h"
#include "platform/core/recordfile.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QAccessible>
#include <QCryptographicHash>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

using namespace mail;
using platform::MsgAnswer;

namespace {

QByteArray field(const QByteArray &text, int width) {
  return text + QByteArray(width - text.size(), ' ');
}

QByteArray record(const QByteArray &subject, const QByteArray &info1, const QByteArray &info2,
                  const QByteArray &body) {
  return field(subject, 100) + field(info1, 90) + field(info2, 90) + field(body, 12000) +
         QByteArray("\r\n\x01\x00", 4);
}

// Received records 1..n: "mail i" from "from i", dated "day i".
QList<QByteArray> received(int n) {
  QList<QByteArray> out;
  for (int i = 1; i <= n; ++i) {
    const QByteArray k = QByteArray::number(i);
    out.append(record("mail " + k, "from" + k + "@example.jp", "day " + k, "body " + k));
  }
  return out;
}

QByteArray joined(const QList<QByteArray> &records) {
  QByteArray out;
  for (const QByteArray &r : records)
    out += r;
  return out;
}

QStringList rows(TyakuForm *f) {
  QStringList out;
  for (int i = 0; i < f->List1->count(); ++i)
    out << f->List1->item(i)->text();
  return out;
}

void pressRow(TyakuForm *f, int row) {
  const QRect r = f->List1->visualItemRect(f->List1->item(row));
  QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {}, r.center());
}

const QString DeleteOneQuestion =
    QStringLiteral("選択された（行、青色）データを削除します。よろしいですか");
const QString DeleteAllQuestion = QStringLiteral("すべてのデータを削除して良いですか？");

} // namespace

class Deleting : public ::testing::Test {
protected:
  TempProgramFolder folder;
  MessageBoxDouble boxes;

  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    HistoryMode = HistoryModeNone;
  }
  void TearDown() override {
    platform::setCompactionStepHook({});
    forms::tyakuForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void write(History which, const QByteArray &bytes) {
    ASSERT_TRUE(folder.writeBytes(historyPath(which), bytes));
  }
  QByteArray bytes(History which) { return folder.readBytes(historyPath(which)); }
  TyakuForm *open(History which) {
    openHistoryViewer(which);
    return forms::tyakuForm().get();
  }
};

TEST_F(Deleting, TheSecondOfFiveGoesAndTheRestMoveUpInOrder) {
  const QList<QByteArray> five = received(5);
  write(History::Received, joined(five));
  TyakuForm *f = open(History::Received);
  pressRow(f, 1);
  ASSERT_EQ(f->Text9->text(), QStringLiteral("mail 2"));

  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);

  ASSERT_EQ(boxes.boxes().size(), 1);
  const platform::MessageBoxRequest &q = boxes.boxes().first();
  EXPECT_EQ(q.text, DeleteOneQuestion);
  EXPECT_EQ(q.title, QStringLiteral("確認"));
  EXPECT_EQ(q.icon, platform::MsgIcon::Question);
  EXPECT_EQ(q.buttons, platform::MsgButtons::YesNo);

  EXPECT_EQ(bytes(History::Received), five[0] + five[2] + five[3] + five[4]);
  EXPECT_FALSE(QFile::exists(historyWorkPath(History::Received)));
  EXPECT_EQ(
      rows(f),
      QStringList({"day 1    from1@example.jp    mail 1", "day 3    from3@example.jp    mail 3",
                   "day 4    from4@example.jp    mail 4", "day 5    from5@example.jp    mail 5"}));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("4"));
  // The boxes show the last remaining mail, and no row is selected.
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 5"));
  EXPECT_EQ(f->rtfEd->toPlainText(), QStringLiteral("body 5"));
  EXPECT_TRUE(f->List1->selectedItems().isEmpty());
  EXPECT_EQ(HistoryMode, HistoryModeReceived);

  // With nothing selected the command says so and asks nothing.
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Ok);
  f->Command1_Click();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes().first().text, QStringLiteral("データが選択されていません。"));
  EXPECT_EQ(bytes(History::Received).size(), 4 * MailLayout::RecordLength);

  // Each row that moved up stands for its record's new number.
  pressRow(f, 1);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 3"));
  pressRow(f, 3);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 5"));

  // A row selected the way a screen reader selects it is the selected row.
  QAccessibleInterface *list = QAccessible::queryAccessibleInterface(f->List1);
  ASSERT_TRUE(list && list->tableInterface());
  ASSERT_TRUE(list->tableInterface()->selectRow(0));
  ASSERT_EQ(f->List1->selectedItems().size(), 1);
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes().first().text, DeleteOneQuestion);
  EXPECT_EQ(bytes(History::Received), five[2] + five[3] + five[4]);
}

TEST_F(Deleting, TheOnlySentMailEmptiesTheFileAndBothCountsSayZero) {
  QWidget mainWindow;
  mainWindow.setObjectName(QStringLiteral("MainForm"));
  QPlainTextEdit mainHelp(&mainWindow);
  mainHelp.setObjectName(QStringLiteral("Text1"));
  write(History::Sent, record("only", "2026/12/01  9:05:00", "to@example.jp", "sent body"));
  write(History::Received, joined(received(2)));

  TyakuForm *f = open(History::Sent);
  pressRow(f, 0);
  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);

  EXPECT_EQ(bytes(History::Sent), QByteArray());
  EXPECT_EQ(bytes(History::Received), joined(received(2)));
  EXPECT_EQ(f->List1->count(), 0);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("0"));
  EXPECT_EQ(mainHelp.toPlainText(), QStringLiteral("0"));
  EXPECT_TRUE(f->Text7->text().isEmpty());
  EXPECT_TRUE(f->rtfEd->toPlainText().isEmpty());
}

TEST_F(Deleting, AnsweringNoLeavesEveryByteAndTheWindowAsTheyWere) {
  write(History::Received, joined(received(3)));
  write(History::Sent, record("sent", "2026/12/01  9:05:00", "to@example.jp", "sent body"));
  const QByteArray before = bytes(History::Received);
  TyakuForm *f = open(History::Received);
  pressRow(f, 0);
  const QStringList rowsBefore = rows(f);

  boxes.pushAnswer(MsgAnswer::No);
  QTest::mouseClick(f->Command1, Qt::LeftButton);
  // Enter alone on "全件削除" answers No: its Yes would destroy every record.
  boxes.pushEnter();
  QTest::mouseClick(f->Command5, Qt::LeftButton);

  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[1].defaultNo);
  EXPECT_EQ(boxes.boxes()[0].text, DeleteOneQuestion);
  EXPECT_EQ(boxes.boxes()[1].text, DeleteAllQuestion);
  EXPECT_EQ(boxes.boxes()[1].title, QStringLiteral("確認"));
  EXPECT_EQ(bytes(History::Received), before);
  EXPECT_EQ(rows(f), rowsBefore);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 1"));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("3"));
  EXPECT_FALSE(QFile::exists(historyWorkPath(History::Received)));
}

TEST_F(Deleting, DeleteAllAfterACheckReplacedTheRowsEmptiesTheWholeHistory) {
  write(History::Received, joined(received(5)));
  write(History::Sent, record("sent", "2026/12/01  9:05:00", "to@example.jp", "sent body"));
  TyakuForm *f = open(History::Received);
  // A check stored two new mails as records 4 and 5 and replaced the rows.
  f->clearRows();
  f->addRow(QStringLiteral("  mail 4"), RowSource{History::Received, 4});
  f->addRow(QStringLiteral("  mail 5"), RowSource{History::Received, 5});

  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command5, Qt::LeftButton);

  EXPECT_EQ(bytes(History::Received), QByteArray());
  EXPECT_EQ(bytes(History::Sent).size(), MailLayout::RecordLength);
  EXPECT_EQ(f->List1->count(), 0);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("0"));
  EXPECT_TRUE(f->Text9->text().isEmpty());
  EXPECT_TRUE(f->rtfEd->toPlainText().isEmpty());
}

TEST_F(Deleting, ARowACheckAddedOverTheSentHistoryDeletesThatReceivedMailOnly) {
  const QList<QByteArray> three = received(3);
  write(History::Received, joined(three));
  const QByteArray sent = record("sent 1", "2026/12/01  9:05:00", "a@example.jp", "s1") +
                          record("sent 2", "2026/12/02  9:05:00", "b@example.jp", "s2");
  write(History::Sent, sent);
  TyakuForm *f = open(History::Sent);
  f->clearRows();
  f->addRow(QStringLiteral("  mail 2"), RowSource{History::Received, 2});
  f->addRow(QStringLiteral("  mail 3"), RowSource{History::Received, 3});
  pressRow(f, 0);

  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);

  EXPECT_EQ(bytes(History::Sent), sent);
  EXPECT_EQ(bytes(History::Received), three[0] + three[2]);
  ASSERT_EQ(rows(f), QStringList({"  mail 3"}));
  // The remaining row now stands for the record that moved up.
  EXPECT_EQ(f->rowSource(0).history, History::Received);
  EXPECT_EQ(f->rowSource(0).record, 2);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("1"));
  pressRow(f, 0);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 3"));
}

// The list reads a row's text only when the row comes into view: rows far
// below the first screen, never shown before a delete, show their own mails
// after it, and so does a row a check adds at the end.
TEST_F(Deleting, RowsNeverShownBeforeADeleteShowTheirOwnMailsAfterIt) {
  const QList<QByteArray> many = received(400);
  write(History::Received, joined(many));
  TyakuForm *f = open(History::Received);
  ASSERT_EQ(f->List1->count(), 400);
  EXPECT_EQ(f->List1->item(0)->text(), QStringLiteral("day 1    from1@example.jp    mail 1"));
  f->List1->setCurrentRow(2);
  f->List1_MouseDown();
  ASSERT_EQ(f->Text9->text(), QStringLiteral("mail 3"));

  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);

  ASSERT_EQ(boxes.boxes().size(), 1);
  QStringList expected;
  for (int i = 1; i <= 400; ++i)
    if (i != 3)
      expected << QStringLiteral("day %1    from%1@example.jp    mail %1").arg(i);
  EXPECT_EQ(rows(f), expected);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("399"));
  f->List1->setCurrentRow(350);
  f->List1_MouseDown();
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 352"));

  MailRecord added;
  added.Subject = QStringLiteral("new mail");
  added.Info1 = QStringLiteral("new@example.jp");
  added.Info2 = QStringLiteral("day 401");
  const AppendResult stored = appendHistoryRecord(History::Received, added);
  ASSERT_TRUE(stored.ok());
  f->addHistoryRow(History::Received, stored.number, added);
  EXPECT_EQ(f->List1->count(), 400);
  EXPECT_EQ(f->List1->item(399)->text(), QStringLiteral("day 401    new@example.jp    new mail"));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("400"));
  f->List1->setCurrentRow(399);
  f->List1_MouseDown();
  EXPECT_EQ(f->Text9->text(), QStringLiteral("new mail"));
}

// The rewrite stopped after each of its steps, as a crash would stop it:
// the next use of the history finishes the delete, loses no live record and
// tells the user.
TEST_F(Deleting, ARewriteCutShortAfterAnyStepIsFinishedAndReported) {
  for (History which : {History::Received, History::Sent}) {
    for (int step = 1; step <= 4; ++step) {
      SCOPED_TRACE(testing::Message()
                   << (which == History::Received ? "received" : "sent") << " step " << step);
      const QList<QByteArray> three = received(3);
      write(which, joined(three));
      ASSERT_TRUE(markHistoryRecord(which, 2));
      platform::setCompactionStepHook([step](int s) { return s < step; });
      rewriteHistory(which);
      platform::setCompactionStepHook({});
      ASSERT_EQ(QFile::exists(historyWorkPath(which)), step < 4);

      boxes.clear();
      if (step < 4)
        boxes.pushAnswer(MsgAnswer::Ok);
      TyakuForm *f = open(which);
      EXPECT_EQ(bytes(which), three[0] + three[2]);
      EXPECT_EQ(f->List1->count(), 2);
      EXPECT_FALSE(QFile::exists(historyWorkPath(which)));
      if (step < 4) {
        ASSERT_EQ(boxes.boxes().size(), 1);
        EXPECT_TRUE(
            boxes.boxes().first().text.contains(QFileInfo(historyWorkPath(which)).fileName()));
        EXPECT_TRUE(boxes.boxes().first().text.contains(QStringLiteral("復元し")));
      } else {
        EXPECT_TRUE(boxes.boxes().isEmpty());
      }
      forms::tyakuForm().unload();
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
  }

  // The delete command itself, stopped once the history file was removed:
  // its refill brings the records back and says so.
  write(History::Received, joined(received(3)));
  TyakuForm *f = open(History::Received);
  pressRow(f, 0);
  platform::setCompactionStepHook([](int s) { return s < 2; });
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->Command1, Qt::LeftButton);
  platform::setCompactionStepHook({});
  EXPECT_EQ(bytes(History::Received), received(3)[1] + received(3)[2]);
  EXPECT_EQ(f->List1->count(), 2);
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("QLMDATA2.TMP")));

  // A work file that cannot be read back is kept and the user told so.
  write(History::Sent, joined(received(2)));
  ASSERT_TRUE(folder.writeBytes(historyWorkPath(History::Sent), joined(received(3))));
  QFile::setPermissions(historyWorkPath(History::Sent), {});
  if (!QFile(historyWorkPath(History::Sent)).open(QIODevice::ReadOnly)) { // not when run as root
    boxes.clear();
    boxes.pushAnswer(MsgAnswer::Ok);
    open(History::Sent);
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_TRUE(boxes.boxes().first().text.contains(QStringLiteral("復元できませんでした")));
    EXPECT_TRUE(QFile::exists(historyWorkPath(History::Sent)));
  }
  QFile::setPermissions(historyWorkPath(History::Sent),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// The key of a record in originals.index is the SHA-256 (lower-case hex) of
// its bytes before the Flag: an index an earlier version wrote still finds
// every mail, whatever computes the hash now.
TEST_F(Deleting, AnIndexLineInTheStoredFormatStillFindsItsMail) {
  const QByteArray rec = record("A", "day", "from", "body");
  write(History::Received, rec);
  const QString name = keepOriginal(History::Received, "Subject: kept\r\n\r\nwhole\r\n", true);
  const QByteArray key =
      QCryptographicHash::hash(rec.left(rec.size() - 2), QCryptographicHash::Sha256).toHex();
  QFile index(originalsIndexPath());
  ASSERT_TRUE(index.open(QIODevice::WriteOnly));
  index.write("R " + key + " " + name.toUtf8() + "\r\n");
  index.close();
  EXPECT_EQ(recordKey(rec), key);
  EXPECT_EQ(originalPath(History::Received, 1), originalsFolder(History::Received).find(name));
}

// The mails kept whole beside the records go with their records, and only
// once the rewrite got through. A bulk send leaves identical sent records:
// deleting one of them leaves the others their kept mails.
TEST_F(Deleting, KeptMailsGoWithTheirRecordsOnlyAfterTheRewrite) {
  const QList<QByteArray> recs{record("A", "day", "to", "a"), record("B", "day", "to", "b"),
                               record("B", "day", "to", "b"), record("C", "day", "to", "c")};
  write(History::Sent, joined(recs));
  write(History::Received, recs[0]);
  auto keep = [](History which, const QByteArray &rec, const QByteArray &text) {
    const QString name = keepOriginal(which, "Subject: kept\r\n\r\n" + text + "\r\n", true);
    EXPECT_TRUE(linkOriginal(which, recordKey(rec), name));
    return originalsFolder(which).find(name);
  };
  const QString a = keep(History::Sent, recs[0], "whole A");
  const QString b1 = keep(History::Sent, recs[1], "whole B");
  const QString b2 = keep(History::Sent, recs[2], "whole B");
  const QString c = keep(History::Sent, recs[3], "whole C");
  const QString received = keep(History::Received, recs[0], "received A");
  ASSERT_TRUE(QFile::exists(b2));

  TyakuForm *f = open(History::Sent);
  EXPECT_EQ(f->rtfEd->toPlainText(), QStringLiteral("whole C"));
  pressRow(f, 2);
  EXPECT_EQ(f->rtfEd->toPlainText(), QStringLiteral("whole B"));

  boxes.pushAnswer(MsgAnswer::Yes);
  f->Command1_Click();
  ASSERT_EQ(bytes(History::Sent), recs[0] + recs[1] + recs[3]);
  EXPECT_EQ(QFile::exists(b1) + QFile::exists(b2), 1);
  pressRow(f, 1);
  EXPECT_EQ(f->rtfEd->toPlainText(), QStringLiteral("whole B"));

  // A rewrite cut short deletes no kept mail before the refill finishes the
  // delete from the work file; then the deleted record's mail goes too, and
  // the others stay with their records.
  const QString b = QFile::exists(b1) ? b1 : b2;
  platform::setCompactionStepHook([](int s) { return s < 2; });
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  boxes.pushAnswer(MsgAnswer::Ok);
  f->Command1_Click();
  platform::setCompactionStepHook({});
  ASSERT_EQ(bytes(History::Sent), recs[0] + recs[3]);
  EXPECT_FALSE(QFile::exists(b));
  EXPECT_EQ(originalPath(History::Sent, 1), a);
  EXPECT_EQ(originalPath(History::Sent, 2), c);

  boxes.pushAnswer(MsgAnswer::Yes);
  f->Command5_Click();
  EXPECT_FALSE(QFile::exists(a) || QFile::exists(b) || QFile::exists(c));
  EXPECT_TRUE(QFile::exists(received)) << "the received history's mail stays";
  EXPECT_EQ(originalPath(History::Received, 1), received);
}

// A mail sent twice leaves two records with the same bytes, each with a mail
// of its own kept whole: each record shows its own, and deleting one deletes
// that one's mail, the first as well as the second.
TEST_F(Deleting, IdenticalRecordsEachKeepAndLoseTheirOwnMail) {
  const QByteArray same = record("B", "day", "to", "b");
  write(History::Sent, same + same + same);
  QStringList kept;
  for (const QByteArray text : {"first send", "second send", "third send"}) {
    const QString name =
        keepOriginal(History::Sent, "Subject: B\r\n\r\n" + text + "\r\n", true);
    ASSERT_TRUE(linkOriginal(History::Sent, recordKey(same), name));
    kept << originalsFolder(History::Sent).find(name);
  }
  EXPECT_EQ(originalPath(History::Sent, 1), kept[0]);
  EXPECT_EQ(originalPath(History::Sent, 2), kept[1]);
  EXPECT_EQ(originalPath(History::Sent, 3), kept[2]);

  TyakuForm *f = open(History::Sent);
  pressRow(f, 0);
  EXPECT_EQ(f->rtfEd->toPlainText(), QStringLiteral("first send"));
  boxes.pushAnswer(MsgAnswer::Yes);
  f->Command1_Click();
  EXPECT_FALSE(QFile::exists(kept[0]));
  EXPECT_TRUE(QFile::exists(kept[1]) && QFile::exists(kept[2]));
  EXPECT_EQ(originalPath(History::Sent, 1), kept[1]);
  EXPECT_EQ(originalPath(History::Sent, 2), kept[2]);

  pressRow(f, 1);
  EXPECT_EQ(f->rtfEd->toPlainText(), QStringLiteral("third send"));
  boxes.pushAnswer(MsgAnswer::Yes);
  f->Command1_Click();
  EXPECT_TRUE(QFile::exists(kept[1]));
  EXPECT_FALSE(QFile::exists(kept[2]));
  EXPECT_EQ(recordOriginals(History::Sent).value(0).path, kept[1]);
}
