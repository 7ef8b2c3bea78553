// The compose window without a server: the attachment row, the address-book
// panel, the clipboard buttons, "クリア", the greeting box and the help box.
#include "compose/writeform.h"

#include "compose/fortune.h"
#include "platform/clipboard.h"
#include "platform/twips.h"
#include "settings/addressbook.h"
#include "tests/support/fakes.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

#include <array>

namespace {

using platform::MsgAnswer;

void click(QAbstractButton *b) {
  QTest::mouseClick(b, Qt::LeftButton);
}

class WriteFormTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(folder.isValid()); }
  void TearDown() override {
    forms::writeForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }
  WriteForm *open() {
    WriteForm *f = forms::writeForm().show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(f));
    return f;
  }
  void addEntry(const QString &name, const QString &address) {
    settings::AddressRecord r{settings::paddedName(name), 1, address};
    ASSERT_EQ(settings::appendAddressRecord(r), settings::AddressWriteResult::Ok);
  }
  static QString states(WriteForm *f) {
    auto e = [](QWidget *w) { return w->isEnabled() ? QStringLiteral("E") : QStringLiteral("D"); };
    return e(f->AttachCommand) + u'/' + e(f->Command9) + u'/' + e(f->Command10) +
           (f->List2->isVisible() ? QStringLiteral(" shown ") : QStringLiteral(" hidden ")) +
           QString::number(f->List2->count()) + u' ' + f->AttachText->text();
  }

  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeFileDialogs dialogs;
};

TEST_F(WriteFormTest, AttachmentRowFollowsItsStateTable) {
  WriteForm *f = open();
  const QString a = folder.file(QStringLiteral("a.txt")),
                b = folder.file(QStringLiteral("写真 ①.jpg")),
                c = folder.file(QStringLiteral("c.pdf"));
  EXPECT_EQ(states(f), u"E/D/E hidden 0 ");

  // First dialog cancelled: only "追加" is left, and it just shows the list.
  click(f->AttachCommand);
  EXPECT_EQ(states(f), u"D/E/E hidden 0 ");
  click(f->Command9);
  EXPECT_EQ(states(f), u"D/E/E shown 0 ");
  EXPECT_EQ(dialogs.requests.size(), 1); // no dialog for an empty attachment text
  click(f->Command10);
  EXPECT_EQ(states(f), u"E/D/D hidden 0 ");

  // After "取り消し" its own button stays disabled however many files follow.
  dialogs.pushOpenFileName(a);
  click(f->AttachCommand);
  EXPECT_EQ(states(f), QStringLiteral("D/E/D hidden 1 ") + a);
  dialogs.pushOpenFileName(b);
  click(f->Command9);
  dialogs.pushOpenFileName(c);
  click(f->Command9);
  click(f->Command9); // cancelled: nothing changes
  EXPECT_EQ(states(f), QStringLiteral("D/E/D shown 3 ") + a + u',' + b + u',' + c);
  EXPECT_EQ(f->List2->item(1)->text(), b);
  EXPECT_EQ(dialogs.requests.value(1), u"open||"); // no title or filter of its own
  // It opens in the home folder, away from the program folder where the
  // data folder with the password lies.
  EXPECT_EQ(dialogs.openFolder, QDir::homePath());

  // A path typed by hand is sent as it is, and "追加" appends to it.
  forms::writeForm().unload();
  f = open();
  dialogs.pushOpenFileName(a);
  click(f->AttachCommand);
  EXPECT_EQ(states(f), QStringLiteral("D/E/E hidden 1 ") + a);
  f->AttachText->setText(QStringLiteral("/typed/path"));
  dialogs.pushOpenFileName(c);
  click(f->Command9);
  EXPECT_EQ(f->AttachText->text(), QStringLiteral("/typed/path,") + c);

  // "クリア" is "取り消し" for the row.
  click(f->Command11);
  EXPECT_EQ(states(f), u"E/D/D hidden 0 ");
}

TEST_F(WriteFormTest, AddressBookPanelChoosesRecipientsAndShowsBulkMode) {
  addEntry(QStringLiteral("山田"), QStringLiteral("yamada@example.jp"));
  addEntry(QStringLiteral("abc"), QStringLiteral("abc@example.com"));
  addEntry(QStringLiteral("佐藤"), QStringLiteral("sato@example.jp"));
  // The list at load comes from the master file, which holds one entry here.
  ASSERT_TRUE(folder.writeBytes(
      settings::addressMasterPath(),
      settings::encodeAddressRecord(
          {settings::paddedName(QStringLiteral("マスタ")), 1, QStringLiteral("m@x")})));

  WriteForm *f = open();
  const int narrow = f->width();
  EXPECT_EQ(f->List1->count(), 1);
  EXPECT_EQ(f->Text1->text(), u"1");
  EXPECT_FALSE(f->Picture5->geometry().intersects(f->rect()));

  click(f->Command4);
  EXPECT_NEAR(platform::pixelsToTwipsX(f->width() - narrow), 2600, 30);
  EXPECT_TRUE(f->Picture5->geometry().intersects(f->rect()));
  ASSERT_EQ(f->List1->count(), 3);
  EXPECT_EQ(f->Text1->text(), u"3");
  EXPECT_EQ(f->List1->item(0)->text(), QStringLiteral("山田") + QString(28, QChar(0x3000)));
  EXPECT_EQ(f->List1->item(1)->text(),
            QStringLiteral("abc") + QString(27, QChar(0x3000)) + QStringLiteral("   "));

  const auto pressRow = [f](int row) {
    QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {},
                      f->List1->visualItemRect(f->List1->item(row)).center());
  };
  pressRow(1);
  EXPECT_EQ(f->ToText->text(), u"abc@example.com");

  // A press with nothing selected, then a record that can no longer be read.
  f->List1->clearSelection();
  f->List1->setCurrentRow(-1);
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {},
                    QPoint(5, f->List1->viewport()->height() - 3));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, u"データが選択されていません");
  EXPECT_EQ(boxes.boxes()[0].icon, platform::MsgIcon::Exclamation);
  EXPECT_EQ(f->ToText->text(), u"abc@example.com");
  ASSERT_TRUE(QFile::resize(settings::addressBookPath(), 124 * 2));
  pressRow(2);
  EXPECT_EQ(f->ToText->text(), u"abc@example.com");

  const QColor white(255, 255, 255), green(0, 128, 0);
  EXPECT_EQ(f->List1->palette().color(QPalette::Base), white);
  click(f->Option2);
  EXPECT_EQ(f->List1->palette().color(QPalette::Base), green);
  // Narrowing whitens the list but bulk mode stays on.
  click(f->Command6);
  EXPECT_EQ(f->width(), narrow);
  EXPECT_EQ(f->List1->palette().color(QPalette::Base), white);
  EXPECT_TRUE(f->Option2->isChecked());
  click(f->Option1);
  EXPECT_TRUE(f->ToText->text().isEmpty());

  // Clipboard buttons: replace the To box, append to the body as it is.
  platform::setClipboardText(QStringLiteral("to@example.jp"));
  f->ToText->setText(QStringLiteral("old"));
  click(f->Command7);
  EXPECT_EQ(f->ToText->text(), u"to@example.jp");
  f->BodyText->setPlainText(QStringLiteral("本文\n二行目"));
  platform::setClipboardText(QStringLiteral("貼付"));
  click(f->Command5);
  EXPECT_EQ(f->BodyText->toPlainText(), u"本文\n二行目貼付");
  platform::clearClipboard();
  click(f->Command7);
  EXPECT_TRUE(f->ToText->text().isEmpty());

  // "クリア" resets the fields but keeps the greeting text, width and list.
  click(f->Command4);
  const int wide = f->width();
  f->ToText->setText(QStringLiteral("x@y"));
  f->SubjectText->setText(QStringLiteral("件名"));
  f->Combo1->setEditText(QStringLiteral("挨拶"));
  f->Check1->setChecked(true);
  click(f->Option2);
  click(f->Command11);
  EXPECT_TRUE(f->ToText->text().isEmpty());
  EXPECT_TRUE(f->SubjectText->text().isEmpty());
  EXPECT_TRUE(f->BodyText->toPlainText().isEmpty());
  EXPECT_FALSE(f->Check1->isChecked());
  EXPECT_FALSE(f->Option2->isChecked());
  EXPECT_EQ(f->List1->palette().color(QPalette::Base), white);
  EXPECT_EQ(f->Combo1->currentText(), u"挨拶");
  EXPECT_EQ(f->width(), wide);
  EXPECT_EQ(f->List1->count(), 2);
}

TEST_F(WriteFormTest, GreetingGoesAboveTheTypedBodyAndButtonsExplainThemselves) {
  WriteForm *f = open();
  ASSERT_EQ(f->Combo1->count(), 8);
  EXPECT_EQ(f->Combo1->itemText(7), u"こんにちわ。お変わりなく、お元気ですか？");
  EXPECT_TRUE(f->Combo1->currentText().isEmpty());

  // Entering the box and leaving it without choosing keeps the body.
  f->BodyText->setPlainText(QStringLiteral("書きかけの本文"));
  f->Combo1->setFocus();
  QTRY_VERIFY(f->Combo1->hasFocus());
  f->SubjectText->setFocus();
  QTRY_VERIFY(f->SubjectText->hasFocus());
  EXPECT_EQ(f->BodyText->toPlainText(), u"書きかけの本文");

  f->Combo1->setFocus();
  QTRY_VERIFY(f->Combo1->hasFocus());
  f->Combo1->setCurrentIndex(3);
  // Switching to another window is not leaving the box: the body stays.
  QWidget other;
  other.show();
  QApplication::setActiveWindow(&other);
  QTRY_VERIFY(!f->isActiveWindow());
  EXPECT_EQ(f->BodyText->toPlainText(), u"書きかけの本文");
  QApplication::setActiveWindow(f);
  QTRY_VERIFY(f->Combo1->hasFocus());
  f->BodyText->setFocus();
  QTRY_COMPARE(f->BodyText->toPlainText(),
               QStringLiteral("いつもお世話になっております。\n書きかけの本文"));
  // The chosen phrase is one step to take back, and passing through the box
  // again does not add it twice.
  f->Combo1->setFocus();
  QTRY_VERIFY(f->Combo1->hasFocus());
  f->BodyText->setFocus();
  QTRY_VERIFY(f->BodyText->hasFocus());
  QTest::keyClick(f->BodyText, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(f->BodyText->toPlainText(), u"書きかけの本文");

  EXPECT_FALSE(f->Text14->isVisible());
  QTest::mouseMove(f->Command11);
  QTRY_VERIFY(f->Text14->isVisible());
  EXPECT_EQ(f->Text14->toPlainText(), u"宛先、件名、本文他、設定等が初期状態に戻せます。");
  QTest::mouseMove(f->Command1);
  QTRY_COMPARE(
      f->Text14->toPlainText(),
      QStringLiteral(
          "送信します。電話回線が接続されていない場合は、自動的に接続してメールを送信します。"));
  QTest::mouseMove(f->BodyText->viewport());
  QTRY_VERIFY(!f->Text14->isVisible());
}

TEST(Fortune, EveryIndexOccursAndRanksApproachThreeFiveTwoTwo) {
  compose::FortuneDraw draw(20240501);
  constexpr int Draws = 120000;
  std::array<int, 13> seen{};
  for (int i = 0; i < Draws; ++i) {
    const int index = draw.next();
    ASSERT_GE(index, 1);
    ASSERT_LE(index, 12);
    ++seen[index];
  }
  for (int i = 1; i <= 12; ++i)
    EXPECT_GT(seen[i], 0) << i;
  const double daikichi = seen[1] + seen[2] + seen[3];
  const double chukichi = seen[4] + seen[5] + seen[6] + seen[7] + seen[8];
  const double kichi = seen[9] + seen[10];
  const double kyo = seen[11] + seen[12];
  EXPECT_NEAR(daikichi / Draws, 3.0 / 12, 0.01);
  EXPECT_NEAR(chukichi / Draws, 5.0 / 12, 0.01);
  EXPECT_NEAR(kichi / Draws, 2.0 / 12, 0.01);
  EXPECT_NEAR(kyo / Draws, 2.0 / 12, 0.01);
  // The rank a reader sees is the first word of each text.
  for (int i = 1; i <= 12; ++i) {
    const QString rank = QString::fromUtf16(i <= 3    ? u"大吉："
                                            : i <= 8  ? u"中吉："
                                            : i <= 10 ? u"吉："
                                                      : u"凶：");
    EXPECT_TRUE(compose::fortuneText(i).startsWith(rank)) << i;
  }
}

} // namespace
