// The address book window and its file, as the user and the Windows program
// see them: bytes on disk, list lines, messages.
#include "settings/addressbook.h"
#include "settings/friendform.h"

#include "platform/clipboard.h"
#include "platform/core/ansi.h"
#include "platform/core/recordfile.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using platform::MsgAnswer;

// One record laid out by hand: name bytes, CR LF, flag 1, address bytes.
QByteArray handRecord(const QByteArray &name, const QByteArray &address) {
  QByteArray r = name + "\r\n" + QByteArray("\x01\x00", 2) + address;
  return r;
}
QByteArray blanks(int n) {
  return QByteArray(n, ' ');
}
QByteArray ideographicSpaces(int n) {
  return QByteArray("\x81\x40").repeated(n);
}

class AddressBook : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(folder.isValid()); }
  void TearDown() override {
    platform::setCompactionStepHook(nullptr);
    forms::friendForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }
  QByteArray fileBytes() const { return folder.readBytes(settings::addressBookPath()); }
  FriendForm *open() { return forms::friendForm().show(); }
  void enter(FriendForm *f, const QString &name, const QString &address) {
    f->Text2->setText(name);
    f->Text4->setText(address);
    QTest::mouseClick(f->Command4, Qt::LeftButton);
  }

  TempProgramFolder folder;
  MessageBoxDouble boxes;
};

TEST_F(AddressBook, RegisterWritesRecordsTheWindowsProgramReads) {
  FriendForm *f = open();
  EXPECT_EQ(f->Text3->text(), u"0");
  EXPECT_EQ(f->List1->count(), 0);

  enter(f, QStringLiteral("山田"), QStringLiteral("taro@example.jp"));
  EXPECT_EQ(f->Label7->text(), u"　登録が完了しました。");
  EXPECT_TRUE(f->Text2->text().isEmpty());
  EXPECT_TRUE(f->Text4->text().isEmpty());
  enter(f, QStringLiteral("abc"), QStringLiteral("abc@example.com"));
  const QString thirty =
      QStringLiteral("あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほ");
  ASSERT_EQ(thirty.size(), 30);
  enter(f, thirty, QStringLiteral("x@y"));
  enter(f, QStringLiteral("abc"), QStringLiteral("abc@example.com")); // twice: two entries

  const QByteArray yamada = platform::toAnsi(QStringLiteral("山田"));
  ASSERT_EQ(yamada, QByteArray("\x8e\x52\x93\x63"));
  const QByteArray expected =
      handRecord(yamada + ideographicSpaces(28), "taro@example.jp" + blanks(45)) +
      handRecord("abc" + ideographicSpaces(27) + blanks(3), "abc@example.com" + blanks(45)) +
      handRecord(platform::toAnsi(thirty), "x@y" + blanks(57)) +
      handRecord("abc" + ideographicSpaces(27) + blanks(3), "abc@example.com" + blanks(45));
  EXPECT_EQ(fileBytes(), expected);

  ASSERT_EQ(f->List1->count(), 4);
  EXPECT_EQ(f->Text3->text(), u"4");
  EXPECT_EQ(f->List1->item(0)->text(), QStringLiteral("taro@example.jp") + QString(45, u' ') +
                                           QStringLiteral("  山田") + QString(28, QChar(0x3000)));
  EXPECT_EQ(f->List1->item(2)->text(),
            QStringLiteral("x@y") + QString(57, u' ') + QStringLiteral("  ") + thirty);
}

TEST_F(AddressBook, EntryChecksAndPasteChangeNothingButTheirBox) {
  FriendForm *f = open();
  boxes.pushAnswer(MsgAnswer::Ok);
  enter(f, QString(), QStringLiteral("a@b"));
  boxes.pushAnswer(MsgAnswer::Ok);
  enter(f, QStringLiteral("名前"), QString());
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].text, u"氏名（名称）が入力されていません。");
  EXPECT_EQ(boxes.boxes()[1].text, u"メールアドレスが入力されていません。");
  for (const auto &b : boxes.boxes()) {
    EXPECT_EQ(b.icon, platform::MsgIcon::None);
    EXPECT_EQ(b.buttons, platform::MsgButtons::Ok);
  }
  EXPECT_TRUE(fileBytes().isEmpty());
  EXPECT_EQ(f->Text2->text(), u"名前");

  platform::setClipboardText(QStringLiteral("pasted@example.jp"));
  f->Text4->setText(QStringLiteral("old"));
  QTest::mouseClick(f->Command1, Qt::LeftButton);
  EXPECT_EQ(f->Text4->text(), u"pasted@example.jp");
  EXPECT_EQ(f->Text2->text(), u"名前");

  // A sender text longer than the field keeps its address whole and drops
  // the name beside it; an address that can't fit is refused, never cut.
  const QString kanji = QStringLiteral("表").repeated(30);
  f->Text4->setText(QStringLiteral("a") + kanji + QStringLiteral(" <s@x.example>"));
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  EXPECT_EQ(fileBytes().mid(64, 60), "s@x.example" + blanks(49));
  // 36 characters fit the box, but not the field's 60 bytes.
  const QString longAddress = QStringLiteral("やまだたろう").repeated(5) + QStringLiteral("@例え.jp");
  f->Text2->setText(QStringLiteral("長い"));
  f->Text4->setText(longAddress);
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), 3);
  EXPECT_TRUE(boxes.boxes()[2].text.contains(QStringLiteral("長すぎる")));
  EXPECT_EQ(fileBytes().size(), 124);
  EXPECT_EQ(f->Text4->text(), longAddress);
}

TEST_F(AddressBook, DeleteAsksRewritesOnNoAndDropsTheEntryOnYes) {
  FriendForm *f = open();
  enter(f, QStringLiteral("一"), QStringLiteral("one@x"));
  enter(f, QStringLiteral("二"), QStringLiteral("two@x"));
  enter(f, QStringLiteral("三"), QStringLiteral("three@x"));
  const QByteArray three = fileBytes();

  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->Command5, Qt::LeftButton);
  EXPECT_EQ(boxes.boxes().last().text, u"データが選択されていません。");

  f->List1->setCurrentRow(1);
  boxes.pushAnswer(MsgAnswer::No);
  QTest::mouseClick(f->Command5, Qt::LeftButton);
  const auto &ask = boxes.boxes().last();
  EXPECT_EQ(ask.text, u"選択された（行、青色）データを削除します。よろしいですか");
  EXPECT_EQ(ask.title, u"確認");
  EXPECT_EQ(ask.buttons, platform::MsgButtons::YesNo);
  EXPECT_EQ(ask.icon, platform::MsgIcon::Question);
  EXPECT_EQ(f->Label7->text(), u" ");
  EXPECT_EQ(fileBytes(), three);
  EXPECT_FALSE(QFile::exists(settings::addressBookWorkPath()));

  f->List1->setCurrentRow(1);
  boxes.pushAnswer(MsgAnswer::Yes);
  QTest::mouseClick(f->Command5, Qt::LeftButton);
  EXPECT_EQ(f->Label7->text(), u"削除が完了しました");
  EXPECT_EQ(fileBytes(), three.left(124) + three.mid(248, 124));
  EXPECT_EQ(f->Text3->text(), u"2");
  EXPECT_TRUE(f->List1->item(1)->text().startsWith(u"three@x"));
}

TEST_F(AddressBook, DeleteCutShortLosesNoEntry) {
  FriendForm *f = open();
  for (const char *a : {"a@x", "b@x", "c@x"})
    enter(f, QStringLiteral("名"), QString::fromLatin1(a));
  const QByteArray three = fileBytes();
  for (int step = 1; step <= 3; ++step) {
    // The program "dies" after this step of the rewrite; the next open finds
    // every entry but the one being deleted.
    platform::setCompactionStepHook([step](int s) { return s != step; });
    f->List1->setCurrentRow(0);
    boxes.pushAnswer(MsgAnswer::Yes);
    boxes.pushAnswer(MsgAnswer::Ok); // the rewrite reports it did not finish
    QTest::mouseClick(f->Command5, Qt::LeftButton);
    platform::setCompactionStepHook(nullptr);
    boxes.clear();
    forms::friendForm().unload();
    f = open();
    const QByteArray expected = three.mid(124 * step);
    ASSERT_EQ(fileBytes(), expected) << "stopped after step " << step;
    EXPECT_EQ(f->List1->count(), 3 - step);
  }
}

} // namespace
