// The account dialog's choice of how to sign in, and its "サインイン" button
// against the authorization server of tests/servers/oauthservers.sh.
#include "settings/config.h"
#include "settings/idpassform.h"
#include "settings/oauthsettings.h"
#include "settings/oauthsignin.h"
#include "tests/support/httpbrowser.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/oauthservers.h"
#include "tests/support/programfolder.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using testsupport::OAuthServers;
namespace oauth = settings::oauth;

namespace {

class AccountDialogSignIn : public ::testing::Test {
protected:
  void SetUp() override {
    servers = OAuthServers::load();
    ASSERT_TRUE(servers) << OAuthServers::loadError().toStdString();
    ASSERT_TRUE(folder.isValid());
    oauth::forgetAccessToken();
  }
  void TearDown() override {
    oauth::cancelSignIn();
    forms::idPassForm().unload();
  }
  // The user picks OAuth 2.0 and fills in a provider of their own.
  IdPassForm *fillIn(const QString &tokenUrl) {
    IdPassForm *f = forms::idPassForm().show();
    f->IdText->setText(QStringLiteral("alice"));
    f->Check1->setChecked(true);
    f->MethodCombo->setCurrentIndex(1);
    f->ProviderCombo->setCurrentIndex(f->ProviderCombo->findData(QStringLiteral("custom")));
    QTest::keyClicks(f->ClientIdText, servers->clientId);
    QTest::keyClicks(f->AuthUrlText, servers->tokenUrl + QStringLiteral("/authorize"));
    QTest::keyClicks(f->TokenUrlText, tokenUrl);
    QTest::keyClicks(f->ScopeText, QStringLiteral("mail"));
    return f;
  }

  std::optional<OAuthServers> servers;
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  HttpBrowser browser;
};

TEST_F(AccountDialogSignIn, SignInSaysWhenItIsDoneAndTheAccountProfileKeepsItsThreeKeys) {
  IdPassForm *f = fillIn(servers->tokenUrl + QStringLiteral("/token"));
  EXPECT_FALSE(f->PassText->isEnabled());
  ASSERT_TRUE(f->SignInCommand->isEnabled());
  QTest::mouseClick(f->SignInCommand, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(f->SignInLabel->text(), QStringLiteral("サインインしました。"), 20000);
  EXPECT_EQ(browser.opened.size(), 1);
  // A screen reader reads the answer itself, not a fixed name.
  QAccessibleInterface *answer = QAccessible::queryAccessibleInterface(f->SignInLabel);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->text(QAccessible::Name), QStringLiteral("サインインしました。"));
  QTest::mouseClick(f->OKCommand, Qt::LeftButton);
  EXPECT_TRUE(boxes.boxes().isEmpty());

  // The Windows program's file holds what it always held.
  const QByteArray profile = folder.readBytes(settings::accountProfilePath());
  QStringList keys;
  for (const QByteArray &line : profile.split('\n'))
    if (line.contains('='))
      keys << QString::fromLatin1(line.left(line.indexOf('=')));
  EXPECT_EQ(keys, (QStringList{"NAME", "NAME2", "NAME3"}));
  EXPECT_EQ(oauth::load().method, oauth::Method::Browser);
  EXPECT_FALSE(oauth::accessToken(false, false).token.isEmpty());

  // Opened again, the dialog shows the choice.
  f = forms::idPassForm().show();
  EXPECT_EQ(f->MethodCombo->currentIndex(), 1);
  EXPECT_EQ(f->ClientIdText->text(), servers->clientId);
  EXPECT_EQ(f->MethodLabel->buddy(), f->MethodCombo);
}

TEST_F(AccountDialogSignIn, SignInSaysWhyItCannotStart) {
  IdPassForm *f = fillIn(QStringLiteral("http://tokens.example.jp/token"));
  QTest::mouseClick(f->SignInCommand, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(f->SignInLabel->text().contains(QStringLiteral("https ではありません")), 5000);
  EXPECT_TRUE(browser.opened.isEmpty());
  // The whole text shows: the label holds all its lines, above the buttons,
  // inside the window.
  QLabel *l = f->SignInLabel;
  EXPECT_GE(l->height(), l->heightForWidth(l->width()));
  EXPECT_LE(l->geometry().bottom(), f->OKCommand->y());
  EXPECT_LE(f->OKCommand->geometry().bottom(), f->height());
}

// "サインイン" then "Cancel": the account stays as it was, whatever the sign-in
// obtained; a scheduled check meanwhile never sees the half-filled settings.
TEST_F(AccountDialogSignIn, CancelAfterASignInLeavesTheAccountAsItWas) {
  IdPassForm *f = fillIn(servers->tokenUrl + QStringLiteral("/token"));
  QTest::mouseClick(f->SignInCommand, Qt::LeftButton);
  EXPECT_FALSE(QFile::exists(oauth::settingsPath()));
  QTRY_COMPARE_WITH_TIMEOUT(f->SignInLabel->text(), QStringLiteral("サインインしました。"), 20000);
  QTest::mouseClick(f->CancelCommand, Qt::LeftButton);

  EXPECT_FALSE(QFile::exists(oauth::settingsPath()));
  EXPECT_FALSE(oauth::readRefreshToken());
  EXPECT_EQ(oauth::load().method, oauth::Method::Password);
  EXPECT_TRUE(oauth::accessToken(false, false).token.isEmpty());
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(AccountDialogSignIn, TheTokenCommandIsKeptAndThePresetsComeFromTheFileBesideTheProgram) {
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("oauth-presets.ini")),
                                "[gmail]\nName=Gmail\nAuthorizationUrl=https://accounts.google.com/o/oauth2/v2/auth\n"
                                "TokenUrl=https://oauth2.googleapis.com/token\nScope=https://mail.google.com/\n"));
  IdPassForm *f = forms::idPassForm().show();
  ASSERT_EQ(f->ProviderCombo->count(), 2);
  EXPECT_EQ(f->ProviderCombo->itemText(0), QStringLiteral("Gmail"));
  EXPECT_EQ(f->TokenUrlText->placeholderText(), QStringLiteral("https://oauth2.googleapis.com/token"));
  f->MethodCombo->setCurrentIndex(2);
  EXPECT_TRUE(f->CommandText->isEnabled());
  EXPECT_FALSE(f->SignInCommand->isEnabled());
  QTest::keyClicks(f->CommandText, QStringLiteral("oauth2-helper --account \"My Mail\""));
  QTest::mouseClick(f->OKCommand, Qt::LeftButton);
  const oauth::AccountSettings saved = oauth::load();
  EXPECT_EQ(saved.method, oauth::Method::Command);
  EXPECT_EQ(saved.command, QStringLiteral("oauth2-helper --account \"My Mail\""));
  EXPECT_EQ(saved.preset, QStringLiteral("gmail"));
}

} // namespace
