// The history viewer opened on files laid out by hand, driven through its
// controls by their names.
#include "mail/store/history.h"
#include "mail/tyakuform.h"
#include "platform/clipboard.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

using namespace mail;

namespace {

QByteArray field(const QString &text, int width) {
  QByteArray b = text.toUtf8(); // the tests use ASCII here; CP932 is the layout test's job
  b.append(QByteArray(width - b.size(), ' '));
  return b;
}

QByteArray record(const QString &subject, const QString &info1, const QString &info2,
                  const QString &body) {
  return field(subject, 100) + field(info1, 90) + field(info2, 90) + field(body, 12000) +
         QByteArray("\r\n\x01\x00", 4);
}

QString body(TyakuForm *f) { return f->rtfEd->toPlainText(); }

void pressRow(TyakuForm *f, int row) {
  const QRect r = f->List1->visualItemRect(f->List1->item(row));
  QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {}, r.center());
}

} // namespace

class Viewer : public ::testing::Test {
protected:
  TempProgramFolder folder;
  MessageBoxDouble boxes;

  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    HistoryMode = HistoryModeNone;
  }
  void TearDown() override {
    forms::tyakuForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void writeThree() {
    ASSERT_TRUE(folder.writeBytes(
        historyPath(History::Received),
        record("Subject one", "one@example.jp", "Mon, 1 Dec 2026", "Body one") +
            record("Subject two", "two@example.jp", "Tue, 2 Dec 2026", "Body two\r\nsecond line") +
            record("  Subject three", "three@example.jp", "Wed, 3 Dec 2026", "  Body three  ")));
    ASSERT_TRUE(folder.writeBytes(
        historyPath(History::Sent),
        record("Sent one", "2026/12/01  9:05:00", "to1@example.jp", "Sent body one") +
            record("Sent two", "2026/12/02  18:30:00", "to2@example.jp", "Sent body two")));
  }
};

TEST_F(Viewer, OpeningAnEmptyHistoryShowsNothingAndCountsZero) {
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  EXPECT_TRUE(f->isVisible());
  EXPECT_EQ(HistoryMode, HistoryModeReceived);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("着信履歴"));
  EXPECT_EQ(f->List1->count(), 0);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("0"));
  EXPECT_TRUE(f->Text7->text().isEmpty());
  EXPECT_TRUE(f->Text8->text().isEmpty());
  EXPECT_TRUE(f->Text9->text().isEmpty());
  EXPECT_TRUE(body(f).isEmpty());
  EXPECT_EQ(f->List1->palette().color(QPalette::Base), QColor(144, 238, 144));
}

TEST_F(Viewer, OpeningTheReceivedHistoryListsEveryRecordAndShowsTheLast) {
  writeThree();
  platform::setClipboardText(QStringLiteral("old"));
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  ASSERT_EQ(f->List1->count(), 3);
  EXPECT_EQ(f->List1->item(0)->text(), QStringLiteral("Mon, 1 Dec 2026    one@example.jp    Subject one"));
  EXPECT_EQ(f->List1->item(2)->text(),
            QStringLiteral("Wed, 3 Dec 2026    three@example.jp    Subject three"));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("3"));
  EXPECT_EQ(f->Text7->text(), QStringLiteral("Wed, 3 Dec 2026"));
  EXPECT_EQ(f->Text8->text(), QStringLiteral("three@example.jp"));
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject three"));
  EXPECT_EQ(body(f), QStringLiteral("Body three"));
  EXPECT_EQ(platform::clipboardText(), QStringLiteral("Body three"));
  EXPECT_EQ(ReceivedRecord.Subject, QStringLiteral("Subject three"));
}

TEST_F(Viewer, TheSentHistoryReadsTheSameFieldsTheOtherWayRound) {
  writeThree();
  openHistoryViewer(History::Sent);
  TyakuForm *f = forms::tyakuForm().get();
  EXPECT_EQ(HistoryMode, HistoryModeSent);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("送信履歴"));
  ASSERT_EQ(f->List1->count(), 2);
  EXPECT_EQ(f->List1->item(1)->text(),
            QStringLiteral("2026/12/02  18:30:00    to2@example.jp    Sent two"));
  EXPECT_EQ(f->Text7->text(), QStringLiteral("2026/12/02  18:30:00"));
  EXPECT_EQ(f->Text8->text(), QStringLiteral("to2@example.jp"));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("2"));
}

TEST_F(Viewer, PressingARowShowsThatRecord) {
  writeThree();
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  pressRow(f, 1);
  EXPECT_EQ(f->Text7->text(), QStringLiteral("Tue, 2 Dec 2026"));
  EXPECT_EQ(f->Text8->text(), QStringLiteral("two@example.jp"));
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject two"));
  EXPECT_EQ(body(f), QStringLiteral("Body two\nsecond line"));
  EXPECT_EQ(f->bodyText(), QStringLiteral("Body two\r\nsecond line"));
  EXPECT_EQ(platform::clipboardText(), QStringLiteral("Body two\nsecond line"));
  EXPECT_EQ(ReceivedRecord.Subject, QStringLiteral("Subject two"));

  // A press below the last row keeps row 2 selected and shows it again.
  f->Text9->clear();
  QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {}, QPoint(5, f->List1->viewport()->height() - 3));
  EXPECT_TRUE(f->List1->item(1)->isSelected());
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject two"));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// A received mail's record holds its body as the body box gives it back; a
// receive works that text out without laying out a box for every mail.
TEST_F(Viewer, AReceivedBodyIsStoredAsTheBodyBoxGivesItBack) {
  TyakuForm *f = forms::tyakuForm().get();
  const QString text = QStringLiteral("line\r\nlone cr\rlone lf\n") + QChar(0x2028) +
                       QStringLiteral("ls") + QChar(0x2029) + QStringLiteral("ps") + QChar(0xfdd0) +
                       QStringLiteral("frame") + QChar(0xfdd1) + QChar(0x00a0) +
                       QStringLiteral("nbsp\t全角　空白 😀\r\n\r\n\r");
  f->setBodyText(text);
  EXPECT_EQ(TyakuForm::bodyTextAsShown(text), f->bodyText());
  EXPECT_EQ(TyakuForm::bodyTextAsShown(QString()), QString());
}

TEST_F(Viewer, ArrowKeysShowTheMailOfTheRowTheyMoveTo) {
  writeThree();
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  pressRow(f, 0);
  QTest::keyClick(f->List1, Qt::Key_Down);
  EXPECT_EQ(f->List1->currentRow(), 1);
  EXPECT_EQ(f->Text7->text(), QStringLiteral("Tue, 2 Dec 2026"));
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject two"));
  EXPECT_EQ(body(f), QStringLiteral("Body two\nsecond line"));
  EXPECT_EQ(platform::clipboardText(), QStringLiteral("Body two\nsecond line"));
  EXPECT_EQ(ReceivedRecord.Subject, QStringLiteral("Subject two"));
  QTest::keyClick(f->List1, Qt::Key_Up);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject one"));
  QTest::keyClick(f->List1, Qt::Key_End);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject three"));
  // A key that moves nothing shows nothing anew.
  f->Text9->clear();
  QTest::keyClick(f->List1, Qt::Key_Down);
  EXPECT_TRUE(f->Text9->text().isEmpty());
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(Viewer, DetailBoxesShowLongTextsFromTheirStart) {
  ASSERT_TRUE(folder.writeBytes(
      historyPath(History::Received),
      record("A subject long enough to be wider than the subject box of the viewer window, by far",
             "\"Yamada Taro (a long display name)\" <taro.yamada@a-long-domain.example.co.jp>",
             "Wed, 3 Dec 2026 17:42:10 +0900", "Body")));
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  for (QLineEdit *box : {f->Text7, f->Text8, f->Text9}) {
    EXPECT_EQ(box->cursorPosition(), 0) << box->objectName().toStdString();
    box->clear();
  }
  pressRow(f, 0);
  for (QLineEdit *box : {f->Text7, f->Text8, f->Text9})
    EXPECT_EQ(box->cursorPosition(), 0) << box->objectName().toStdString();
}

TEST_F(Viewer, PressingWithoutASelectedRowSaysSo) {
  writeThree();
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  f->List1->clearSelection();
  f->List1->setCurrentRow(-1);
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {}, QPoint(5, f->List1->viewport()->height() - 3));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("データが選択されていません"));
  EXPECT_EQ(boxes.boxes()[0].icon, platform::MsgIcon::Exclamation);
  EXPECT_TRUE(boxes.boxes()[0].untitled); // not even the program's title
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject three"));

  // Before either history was opened a press does nothing at all.
  HistoryMode = HistoryModeNone;
  boxes.clear();
  f->List1_MouseDown();
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(Viewer, RowsACheckAddsOverTheSentHistoryStandForReceivedMail) {
  writeThree();
  openHistoryViewer(History::Sent);
  TyakuForm *f = forms::tyakuForm().get();
  // What the receive routine does with the mail it has just stored as
  // received record 1.
  f->clearRows();
  f->addRow(QStringLiteral("  Subject one          Mon          one"), RowSource{History::Received, 1});
  pressRow(f, 0);
  EXPECT_EQ(HistoryMode, HistoryModeSent);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Subject one"));
  EXPECT_EQ(f->Text7->text(), QStringLiteral("Mon, 1 Dec 2026")); // the date, not the sender
  EXPECT_EQ(f->Text8->text(), QStringLiteral("one@example.jp"));
  EXPECT_EQ(f->rowSource(0).history, History::Received);
}

TEST_F(Viewer, HelpBoxFollowsTheMouse) {
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  EXPECT_FALSE(f->Text4->isVisible());
  QEvent enter(QEvent::Enter);
  QCoreApplication::sendEvent(f->Command1, &enter);
  EXPECT_TRUE(f->Text4->isVisible());
  EXPECT_EQ(f->Text4->toPlainText(),
            QStringLiteral("メールを１件ずつ削除します。リストでメールを選択（クリック）してから実行して下さい。"));
  QCoreApplication::sendEvent(f->Command5, &enter);
  EXPECT_EQ(f->Text4->toPlainText(), QStringLiteral("受信したメール全件削除します。"));
  QTest::mouseMove(f, QPoint(f->width() - 2, f->height() - 2));
  QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), QPointF(2, 2), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(f->List1->viewport(), &move);
  EXPECT_FALSE(f->Text4->isVisible());
  EXPECT_TRUE(f->Text4->toPlainText().isEmpty());
}

TEST_F(Viewer, ControlsAreFoundByTheirNamesAndHomeReturnsToTheMainWindow) {
  QWidget mainWindow;
  mainWindow.setObjectName(QStringLiteral("MainForm"));
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  for (const char *name : {"List1", "Text2", "Text3", "Text4", "Text7", "Text8", "Text9", "rtfEd",
                           "Label1", "Label4", "Picture2", "Command1", "Command2", "Command3",
                           "Command4", "Command5"})
    EXPECT_NE(f->findChild<QWidget *>(QString::fromLatin1(name)), nullptr) << name;
  EXPECT_EQ(f->Command1->text(), QStringLiteral("１件削除"));
  EXPECT_EQ(f->Command3->text(), QStringLiteral("アドレス帳登録"));
  EXPECT_EQ(f->Command4->text(), QStringLiteral("返事を出す"));
  EXPECT_EQ(f->Command5->text(), QStringLiteral("全件削除"));
  EXPECT_EQ(f->Label4->buddy(), f->Text2);
  // Nothing below the button row may hide the list.
  EXPECT_LE(f->Command1->geometry().bottom(), f->List1->geometry().top());

  QTest::mouseClick(f->Command2, Qt::LeftButton);
  EXPECT_TRUE(mainWindow.isVisible());
  EXPECT_FALSE(forms::tyakuForm().loaded());
}
