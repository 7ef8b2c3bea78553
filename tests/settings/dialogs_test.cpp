// The settings menu, the account and server dialogs, and the windows that
// start-up touches before they are shown.
#include "compose/backform.h"
#include "compose/writeform.h"
#include "settings/config.h"
#include "settings/friendform.h"
#include "settings/idpassform.h"
#include "settings/optionform.h"
#include "settings/setform.h"

#include "platform/core/paths.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QTest>

#include <gtest/gtest.h>

namespace {

void resetSettings() {
  settings::SmtpServer.clear();
  settings::Pop3Server.clear();
  settings::MailAddress.clear();
  settings::UseApop = 0;
  settings::AccountId.clear();
  settings::AccountPassword.clear();
  settings::AccountInMemoryOnly = false;
}

class Dialogs : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    resetSettings();
  }
  void TearDown() override {
    forms::idPassForm().unload();
    forms::optionForm().unload();
    forms::setForm().unload();
    forms::writeForm().unload();
    forms::backForm().unload();
    forms::friendForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    resetSettings();
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }

  QString accountFile() const { return folder.dataFile(QStringLiteral("iniIdPass.ini")); }
  QByteArray accountBytes() const { return folder.readBytes(accountFile()); }
  void writeAccount(const QByteArray &bytes) {
    ASSERT_TRUE(folder.writeBytes(accountFile(), bytes));
  }

  TempProgramFolder folder;
  MessageBoxDouble boxes;
};

void click(QPushButton *button) {
  QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

TEST_F(Dialogs, AccountDialogLoadsFromTheProfileWithTheSaveBoxShowingWhatIsStored) {
  writeAccount("[EXEINI]\r\nNAME=taro\r\nNAME2=pa ss=1\r\nNAME3=1\r\n");
  IdPassForm *f = forms::idPassForm().show();
  EXPECT_EQ(f->windowTitle(), u"ID,PASS");
  EXPECT_EQ(f->IdText->text(), u"taro");
  EXPECT_EQ(f->PassText->text(), u"pa ss=1");
  EXPECT_TRUE(f->Check1->isChecked()); // a password is stored
  EXPECT_EQ(f->PassText->echoMode(), QLineEdit::Password);
  EXPECT_EQ(
      f->PassText->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, f->PassText),
      '*');
  // Controls are found by their names.
  EXPECT_EQ(f->findChild<QLineEdit *>(QStringLiteral("IdText")), f->IdText);
  EXPECT_EQ(f->findChild<QCheckBox *>(QStringLiteral("Check1")), f->Check1);
  EXPECT_EQ(f->findChild<QPushButton *>(QStringLiteral("OKCommand"))->text(), u"OK");
  EXPECT_EQ(f->findChild<QPushButton *>(QStringLiteral("CancelCommand"))->text(), u"Cancel");
  EXPECT_EQ(f->findChild<QLabel *>(QStringLiteral("Label2(1)"))->text(), u"IDパスワードを保存する");
}

TEST_F(Dialogs, AccountDialogLaidOutTopToBottom) {
  IdPassForm *f = forms::idPassForm().get();
  EXPECT_LT(f->IdText->y(), f->PassText->y());
  EXPECT_LT(f->PassText->y(), f->Check1->y());
  EXPECT_LT(f->Check1->y(), f->OKCommand->y());
  EXPECT_EQ(f->OKCommand->y(), f->CancelCommand->y());
  EXPECT_LT(f->OKCommand->x(), f->CancelCommand->x());
  EXPECT_EQ(f->Label1->buddy(), f->IdText);
  EXPECT_EQ(f->Label2[0]->buddy(), f->PassText);
  EXPECT_EQ(f->Label2[1]->buddy(), f->Check1);
}

TEST_F(Dialogs, AccountOkWithSaveBoxStoresAllThreeKeysAndReopensWithThem) {
  IdPassForm *f = forms::idPassForm().show();
  QTest::keyClicks(f->IdText, QStringLiteral("hanako"));
  QTest::keyClicks(f->PassText, QStringLiteral(" my pass=word "));
  f->Check1->setChecked(true);
  click(f->OKCommand);

  EXPECT_FALSE(forms::idPassForm().loaded());
  EXPECT_EQ(settings::AccountId, u"hanako");
  EXPECT_EQ(settings::AccountPassword, u" my pass=word ");
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"hanako");
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME2")), u" my pass=word ");
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME3")), u"1");
  EXPECT_TRUE(boxes.boxes().isEmpty());

  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  f = forms::idPassForm().show();
  EXPECT_EQ(f->IdText->text(), u"hanako");
  EXPECT_EQ(f->PassText->text(), u" my pass=word ");
  EXPECT_TRUE(f->Check1->isChecked());
}

// Regression: unticking the box and confirming left the password saved
// earlier in the file, and the box showed unticked although it was saved.
TEST_F(Dialogs, AccountOkWithoutSaveBoxRemovesTheStoredPasswordAndKeepsItForThisRun) {
  writeAccount("[EXEINI]\r\nNAME=stored\r\nNAME2=storedpw\r\nNAME3=1\r\n");
  IdPassForm *f = forms::idPassForm().show();
  f->IdText->setText(QStringLiteral("typed"));
  f->PassText->setText(QStringLiteral("typedpw"));
  ASSERT_TRUE(f->Check1->isChecked()); // it shows the stored password
  f->Check1->setChecked(false);
  click(f->OKCommand);

  EXPECT_FALSE(forms::idPassForm().loaded());
  EXPECT_EQ(settings::AccountId, u"typed");
  EXPECT_EQ(settings::AccountPassword, u"typedpw");
  EXPECT_EQ(accountBytes(), QByteArray("[EXEINI]\r\nNAME=stored\r\nNAME2=\r\nNAME3=0\r\n"));
  // The typed account serves this run; reopened, the box shows nothing stored.
  EXPECT_EQ(settings::accountInUse().id, u"typed");
  EXPECT_EQ(settings::accountInUse().password, u"typedpw");
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  f = forms::idPassForm().show();
  EXPECT_TRUE(f->PassText->text().isEmpty());
  EXPECT_FALSE(f->Check1->isChecked());
}

TEST_F(Dialogs, AccountCancelChangesNothing) {
  writeAccount("[EXEINI]\r\nNAME=stored\r\nNAME2=storedpw\r\n");
  settings::AccountId = QStringLiteral("mem");
  IdPassForm *f = forms::idPassForm().show();
  f->IdText->setText(QStringLiteral("typed"));
  f->Check1->setChecked(true);
  click(f->CancelCommand);

  EXPECT_FALSE(forms::idPassForm().loaded());
  EXPECT_EQ(settings::AccountId, u"mem");
  EXPECT_EQ(settings::AccountPassword, u"");
  EXPECT_EQ(accountBytes(), QByteArray("[EXEINI]\r\nNAME=stored\r\nNAME2=storedpw\r\n"));
}

TEST_F(Dialogs, AccountSaveThatFailsIsReported) {
  ASSERT_TRUE(QDir(folder.path()).rmdir(QString::fromUtf16(platform::DataFolderName)));
  IdPassForm *f = forms::idPassForm().show();
  f->IdText->setText(QStringLiteral("taro"));
  f->PassText->setText(QStringLiteral("pw"));
  f->Check1->setChecked(true);
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  click(f->OKCommand);

  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].icon, platform::MsgIcon::Exclamation);
  EXPECT_FALSE(forms::idPassForm().loaded());
  // Used for this run all the same.
  EXPECT_EQ(settings::AccountId, u"taro");
  EXPECT_EQ(settings::AccountPassword, u"pw");
}

// Regression: a password the file cannot hold was refused only after the new
// ID had been written, leaving the stored pair mismatched.
TEST_F(Dialogs, AccountSaveRefusedForThePasswordKeepsTheStoredId) {
  writeAccount("[EXEINI]\r\nNAME=stored\r\nNAME2=storedpw\r\nNAME3=1\r\n");
  const QByteArray before = accountBytes();
  IdPassForm *f = forms::idPassForm().show();
  f->IdText->setText(QStringLiteral("new"));
  f->PassText->setText(QStringLiteral(u"pässwörd"));
  f->Check1->setChecked(true);
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  click(f->OKCommand);
  EXPECT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(accountBytes(), before);
  EXPECT_EQ(settings::AccountPassword, u"pässwörd");
}

TEST_F(Dialogs, AccountBoxesFilledWhileTheDialogIsNotLoaded) {
  // The receive routine writes what it read into the boxes; that loads the
  // dialog hidden.
  ASSERT_FALSE(forms::idPassForm().loaded());
  forms::idPassForm().get()->IdText->setText(QStringLiteral("from-check"));
  EXPECT_TRUE(forms::idPassForm().loaded());
  EXPECT_FALSE(forms::idPassForm().get()->isVisible());
  EXPECT_EQ(forms::idPassForm().show()->IdText->text(), u"from-check");
}

TEST_F(Dialogs, ServerDialogShowsTheSettingsAndStaysOnTop) {
  settings::SmtpServer = QStringLiteral("smtp.example.jp");
  settings::Pop3Server = QStringLiteral("pop.example.jp");
  settings::MailAddress = QStringLiteral("taro@example.jp");
  settings::UseApop = 7;
  OptionForm *f = forms::optionForm().show();
  EXPECT_EQ(f->windowTitle(), u"サーバー設定");
  EXPECT_TRUE(f->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(f->SmtpText->text(), u"smtp.example.jp");
  EXPECT_EQ(f->Pop3Text->text(), u"pop.example.jp");
  EXPECT_EQ(f->MailText->text(), u"taro@example.jp");
  EXPECT_TRUE(f->ApopCheck->isChecked());
  EXPECT_EQ(f->OkCommand->text(), u"設定");
  EXPECT_EQ(f->CancelCommand->text(), u"中止");
  EXPECT_EQ(f->Label1->buddy(), f->SmtpText);
  EXPECT_EQ(f->Label2->buddy(), f->Pop3Text);
  EXPECT_EQ(f->Label3->buddy(), f->MailText);
  EXPECT_LT(f->MailText->y(), f->ApopCheck->y());
  EXPECT_LT(f->ApopCheck->y(), f->OkCommand->y());
  EXPECT_LT(f->OkCommand->x(), f->CancelCommand->x());
}

TEST_F(Dialogs, ServerDialogShowsLongServerNamesFromTheirStart) {
  settings::SmtpServer = QStringLiteral("smtp.a-long-subdomain-of-the-provider.mail.example.co.jp");
  settings::Pop3Server =
      QStringLiteral("pop3.a-long-subdomain-of-the-provider.mail.example.co.jp:995");
  settings::MailAddress =
      QStringLiteral("taro.yamada.with.a.long.name@a-long-domain.example.co.jp");
  OptionForm *f = forms::optionForm().show();
  for (QLineEdit *box : {f->SmtpText, f->Pop3Text, f->MailText})
    EXPECT_EQ(box->cursorPosition(), 0) << box->objectName().toStdString();
  // What the user types keeps the cursor where the typing goes.
  f->Pop3Text->setFocus();
  f->Pop3Text->end(false);
  QTest::keyClicks(f->Pop3Text, QStringLiteral("0"));
  EXPECT_EQ(f->Pop3Text->cursorPosition(), f->Pop3Text->text().size());
}

TEST_F(Dialogs, ServerOkWritesTheFileAndApopReadsBackAsOne) {
  OptionForm *f = forms::optionForm().show();
  QTest::keyClicks(f->SmtpText, QStringLiteral("smtp.example.jp"));
  QTest::keyClicks(f->Pop3Text, QStringLiteral("pop.example.jp"));
  QTest::keyClicks(f->MailText, QStringLiteral("taro@example.jp"));
  f->ApopCheck->setChecked(true);
  click(f->OkCommand);

  EXPECT_FALSE(forms::optionForm().loaded());
  EXPECT_EQ(settings::Pop3Server, u"pop.example.jp");
  EXPECT_EQ(settings::UseApop, 1);
  resetSettings();
  settings::LoadServerSettings();
  EXPECT_EQ(settings::SmtpServer, u"smtp.example.jp");
  EXPECT_EQ(settings::Pop3Server, u"pop.example.jp");
  EXPECT_EQ(settings::MailAddress, u"taro@example.jp");
  EXPECT_EQ(settings::UseApop, 1);
}

TEST_F(Dialogs, ServerOkWithEmptyBoxes) {
  settings::Pop3Server = QStringLiteral("was-set");
  OptionForm *f = forms::optionForm().show();
  f->Pop3Text->clear();
  click(f->OkCommand);
  EXPECT_EQ(settings::Pop3Server, u"");
  EXPECT_EQ(folder.readBytes(folder.file(QStringLiteral("qelmar.ini"))),
            QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
}

TEST_F(Dialogs, ServerCancelChangesNothing) {
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("qelmar.ini")), "POP3=old\r\n"));
  settings::Pop3Server = QStringLiteral("old");
  OptionForm *f = forms::optionForm().show();
  f->Pop3Text->setText(QStringLiteral("new"));
  f->ApopCheck->setChecked(true);
  click(f->CancelCommand);
  EXPECT_FALSE(forms::optionForm().loaded());
  EXPECT_EQ(settings::Pop3Server, u"old");
  EXPECT_EQ(settings::UseApop, 0);
  EXPECT_EQ(folder.readBytes(folder.file(QStringLiteral("qelmar.ini"))),
            QByteArray("POP3=old\r\n"));
}

TEST_F(Dialogs, ServerSaveThatFailsIsReported) {
  platform::setProgramFolder(folder.path() + QStringLiteral("/gone"));
  OptionForm *f = forms::optionForm().show();
  f->Pop3Text->setText(QStringLiteral("pop"));
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  click(f->OkCommand);
  platform::setProgramFolder(folder.path());
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].icon, platform::MsgIcon::Exclamation);
  EXPECT_EQ(settings::Pop3Server, u"pop");
  EXPECT_FALSE(forms::optionForm().loaded());
}

TEST_F(Dialogs, SettingsMenuOpensEachDialogOnce) {
  SetForm *menu = forms::setForm().show();
  EXPECT_EQ(menu->windowTitle(), u"設定");
  EXPECT_EQ(menu->Command1->text(), u"ID/PASS");
  EXPECT_EQ(menu->Command2->text(), u"POPサーバー");
  click(menu->Command1);
  IdPassForm *account = forms::idPassForm().get();
  EXPECT_TRUE(account->isVisible());
  account->IdText->setText(QStringLiteral("typing"));
  click(menu->Command1);
  EXPECT_EQ(forms::idPassForm().get(), account);
  EXPECT_EQ(account->IdText->text(), u"typing");
  click(menu->Command2);
  EXPECT_TRUE(forms::optionForm().get()->isVisible());
}

TEST_F(Dialogs, ClosingWithTheCloseBoxUnloads) {
  forms::idPassForm().show()->IdText->setText(QStringLiteral("typed"));
  forms::idPassForm().get()->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(forms::idPassForm().loaded());
  EXPECT_EQ(forms::idPassForm().get()->IdText->text(), u"");
}

TEST_F(Dialogs, ComposeWindowLoadsHiddenWithItsFortuneBox) {
  // Start-up unticks the fortune box, which loads the window unseen.
  forms::writeForm().get()->Check1->setChecked(false);
  WriteForm *w = forms::writeForm().get();
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), u"新規作成・送信");
  EXPECT_EQ(w->Check1->text(), u"占い添付");
  EXPECT_FALSE(w->Command9->isEnabled());
  EXPECT_TRUE(w->List2->isHidden());
  // The address-book panel lies beyond the window's right edge.
  EXPECT_GE(w->Picture5->x(), w->width());

  forms::writeForm().show();
  w->ToText->setText(QStringLiteral("typed"));
  click(w->Command8);
  EXPECT_FALSE(forms::writeForm().loaded());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(forms::writeForm().get()->ToText->text(), u"");
  click(forms::writeForm().get()->Command3);
  EXPECT_FALSE(forms::writeForm().loaded());
}

TEST_F(Dialogs, ReplyAndAddressBookWindowsLoad) {
  EXPECT_EQ(forms::backForm().get()->windowTitle(), u"返事を書く");
  EXPECT_EQ(forms::friendForm().get()->windowTitle(), u"アドレス帳");
  click(forms::backForm().get()->Command1);
  EXPECT_FALSE(forms::backForm().loaded());
}
