// Replying to and registering a received mail from the history viewer, and
// the reply window's own buttons.
#include "compose/backform.h"
#include "mail/store/history.h"
#include "mail/tyakuform.h"
#include "platform/clipboard.h"
#include "settings/friendform.h"
#include "tests/support/fakes.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QLineEdit>
#include <QListWidget>
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

QByteArray record(const QByteArray &subject, const QByteArray &from, const QByteArray &date,
                  const QByteArray &body) {
  return field(subject, 100) + field(from, 90) + field(date, 90) + field(body, 12000) +
         QByteArray("\r\n\x01\x00", 4);
}

void pressRow(TyakuForm *f, int row) {
  const QRect r = f->List1->visualItemRect(f->List1->item(row));
  QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {}, r.center());
}

} // namespace

class Reply : public ::testing::Test {
protected:
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeFileDialogs dialogs;

  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    HistoryMode = HistoryModeNone;
    setReplyWindow(&compose::openReply);
    ASSERT_TRUE(folder.writeBytes(
        historyPath(History::Received),
        record("Lunch", "Taro Yamada <taro@example.jp>", "Mon, 1 Dec 2026",
               "  See you at noon.\r\nTaro  ") +
            record("Re: Plans", "hanako@example.jp", "Tue, 2 Dec 2026", "Plans body")));
    ASSERT_TRUE(folder.writeBytes(historyPath(History::Sent),
                                  record("Mine", "2026/12/01  9:05:00", "x@example.jp", "mine")));
  }
  void TearDown() override {
    setReplyWindow({});
    forms::backForm().unload();
    forms::friendForm().unload();
    forms::tyakuForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }
  TyakuForm *open(History which) {
    openHistoryViewer(which);
    return forms::tyakuForm().get();
  }
};

TEST_F(Reply, TheReplyTakesTheViewersPlaceWithReSubjectSenderAndBody) {
  TyakuForm *f = open(History::Received);
  f->move(137, 91);
  pressRow(f, 0);
  QTest::mouseClick(f->Command4, Qt::LeftButton);

  ASSERT_TRUE(forms::backForm().loaded());
  BackForm *b = forms::backForm().get();
  EXPECT_EQ(b->SubjectText->text(), QStringLiteral("Re:  Lunch"));
  EXPECT_EQ(b->ToText->text(), QStringLiteral("Taro Yamada <taro@example.jp>")); // as received
  EXPECT_EQ(b->BodyText->toPlainText(), QStringLiteral("See you at noon.\nTaro"));
  EXPECT_TRUE(b->isVisible());
  EXPECT_FALSE(f->isVisible());
  EXPECT_EQ(b->pos(), QPoint(137, 91));

  // A subject that already starts with "Re:" gets a second one.
  f->show();
  pressRow(f, 1);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  EXPECT_EQ(b->SubjectText->text(), QStringLiteral("Re:  Re: Plans"));
  EXPECT_EQ(b->ToText->text(), QStringLiteral("hanako@example.jp"));

  // No row: said, nothing opened anew.
  f->show();
  f->List1->clearSelection();
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("データが選択されていません。"));
}

TEST_F(Reply, SentMailIsToMyselfButARowACheckAddedOverItIsAnswered) {
  TyakuForm *f = open(History::Sent);
  pressRow(f, 0);
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->Command3, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("自分宛となっています。"));
  EXPECT_EQ(boxes.boxes()[1].text, QStringLiteral("自分宛となっています。"));
  EXPECT_FALSE(forms::backForm().loaded());
  EXPECT_FALSE(forms::friendForm().loaded());

  // A check stored received mail 2 while the sent history was shown.
  f->clearRows();
  f->addRow(QStringLiteral("  Re: Plans"), RowSource{History::Received, 2});
  pressRow(f, 0);
  QTest::mouseClick(f->Command3, Qt::LeftButton);
  ASSERT_TRUE(forms::friendForm().loaded());
  EXPECT_EQ(forms::friendForm().get()->Text4->text(), QStringLiteral("hanako@example.jp"));
  EXPECT_FALSE(f->isVisible());
  f->show();
  pressRow(f, 0);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  EXPECT_EQ(forms::backForm().get()->ToText->text(), QStringLiteral("hanako@example.jp"));
}

TEST_F(Reply, ALongSenderIsRegisteredWithItsAddressWhole) {
  // 75 characters: more than the address book's 60-byte field.
  const QByteArray sender = "Customer Support Team of a Very Long Company Name Ltd <help@example.co.jp>";
  ASSERT_GT(sender.size(), 60);
  ASSERT_TRUE(folder.writeBytes(historyPath(History::Received),
                                record("Ticket", sender, "Wed, 3 Dec 2026", "body")));
  TyakuForm *f = open(History::Received);
  pressRow(f, 0);
  QTest::mouseClick(f->Command3, Qt::LeftButton);
  ASSERT_TRUE(forms::friendForm().loaded());
  EXPECT_EQ(forms::friendForm().get()->Text4->text(), QStringLiteral("help@example.co.jp"));
}

TEST_F(Reply, PasteStopAndAttachments) {
  TyakuForm *f = open(History::Received);
  pressRow(f, 0);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  BackForm *b = forms::backForm().get();

  // Empty clipboard: the line breaks, then the answered body, no blanks at
  // either end; edits made before are gone and the clipboard keeps it all.
  b->BodyText->setPlainText(QStringLiteral("typed"));
  platform::clearClipboard();
  QTest::mouseClick(b->Command4, Qt::LeftButton);
  const QString expected = QStringLiteral("\n\n\n\nSee you at noon.\nTaro");
  EXPECT_EQ(b->BodyText->toPlainText(), expected);
  EXPECT_EQ(platform::clipboardText(), expected);
  // Showing the mail left its body on the clipboard: pasting now gives it twice.
  pressRow(f, 0);
  QTest::mouseClick(b->Command4, Qt::LeftButton);
  EXPECT_EQ(b->BodyText->toPlainText(),
            QStringLiteral("See you at noon.\nTaro\n\n\n\nSee you at noon.\nTaro"));

  // Attachments chosen, then "送信中止": the main window takes the reply
  // window's place and the reply waits hidden with its files.
  QWidget mainWindow;
  mainWindow.setObjectName(QStringLiteral("MainForm"));
  dialogs.pushOpenFileName(QStringLiteral("/tmp/a.txt"));
  QTest::mouseClick(b->AttachCommand, Qt::LeftButton);
  dialogs.pushOpenFileName(QStringLiteral("/tmp/b.txt"));
  QTest::mouseClick(b->Command9, Qt::LeftButton);
  b->move(200, 150);
  QTest::mouseClick(b->Command3, Qt::LeftButton);
  EXPECT_TRUE(mainWindow.isVisible());
  EXPECT_EQ(mainWindow.pos(), QPoint(200, 150));
  EXPECT_FALSE(b->isVisible());
  ASSERT_TRUE(forms::backForm().loaded());

  f->show();
  pressRow(f, 1);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  EXPECT_EQ(forms::backForm().get(), b);
  EXPECT_EQ(b->SubjectText->text(), QStringLiteral("Re:  Re: Plans"));
  EXPECT_EQ(b->AttachText->text(), QStringLiteral("/tmp/a.txt,/tmp/b.txt"));
  EXPECT_EQ(b->List2->count(), 2);

  // Twice as wide: the boxes twice as wide, the buttons move with the box.
  b->resize(1000, 600);
  const int attachWidth = b->AttachText->width(), toWidth = b->ToText->width();
  const int gap = b->Command9->x() - b->AttachText->width();
  b->resize(2000, 600);
  EXPECT_NEAR(b->AttachText->width(), 2 * attachWidth, 2);
  EXPECT_NEAR(b->ToText->width(), 2 * toWidth, 2);
  EXPECT_NEAR(b->Command9->x() - b->AttachText->width(), gap, 2);

  QTest::mouseClick(b->Command1, Qt::LeftButton);
  EXPECT_FALSE(forms::backForm().loaded());
  EXPECT_EQ(folder.readBytes(historyPath(History::Sent)).size(), MailLayout::RecordLength);
}
