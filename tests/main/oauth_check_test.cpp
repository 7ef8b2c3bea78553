// The scheduled check of the real main window for an account that signs in
// with OAuth 2.0, against the servers of tests/servers/oauthservers.sh: it
// renews the access token itself; when the provider refuses the refresh
// token it fails visibly, tries nothing else and opens nothing, and the next
// click of "受信" offers the sign-in.
#include "main/lib/mainform.h"

#include "mail/store/history.h"
#include "main/lib/accountprovider.h"
#include "settings/config.h"
#include "settings/oauthsettings.h"
#include "settings/oauthsignin.h"
#include "tests/main/mainwindowfixture.h"
#include "tests/main/oauthaccount.h"
#include "tests/support/httpbrowser.h"
#include "tests/support/oauthservers.h"

#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

using platform::MsgAnswer;
using testsupport::OAuthServers;
namespace oauth = settings::oauth;

namespace {

class TokenCheck : public MainWindowTest {
protected:
  void SetUp() override {
    servers = OAuthServers::load();
    ASSERT_TRUE(servers) << OAuthServers::loadError().toStdString();
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(servers->clear(QStringLiteral("alice")));
    // Shorter than the minute ahead of expiry in which a token is renewed:
    // every check needs a new one.
    ASSERT_TRUE(servers->setAccessTokenLifetime(30));
    settings::Pop3Server = servers->pop3Server();
    ASSERT_TRUE(settings::SaveServerSettings());
    settings::Pop3Server.clear();
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("alice")));
    // The receive routine asks for a password when none is stored; an
    // account that moved to OAuth keeps its old one, never sent.
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral("unused")));
    ASSERT_TRUE(saveCustomOAuthAccount(*servers));
    oauth::forgetAccessToken();
    ASSERT_TRUE(checkAtNineOhFive());
    loadFormChecking();
    korvex::installAccountProvider([this] { return form && form->unattended(); });
  }
  void TearDown() override {
    oauth::cancelSignIn();
    oauth::forgetAccessToken();
    MainWindowTest::TearDown();
  }
  bool signIn() {
    bool ended = false, ok = false;
    oauth::signIn([&](bool signedIn, const QString &) { ended = true, ok = signedIn; });
    return QTest::qWaitFor([&] { return ended; }, 20000) && ok;
  }
  int stored() const { return int(mail::readHistory(mail::History::Received).size()); }

  std::optional<OAuthServers> servers;
  HttpBrowser browser;
};

TEST_F(TokenCheck, TheCheckRenewsItsTokenAndARefusedSignInFailsItUntilAClickSignsInAgain) {
  ASSERT_TRUE(signIn());
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), numberedMail("token", 1)));
  const int refreshes = servers->requests(QStringLiteral("refresh_token"));
  runPass();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(stored(), 1);
  EXPECT_EQ(servers->requests(QStringLiteral("refresh_token")), refreshes + 1);

  // The user withdrew the program's access at the provider.
  const auto refreshToken = oauth::readRefreshToken();
  ASSERT_TRUE(refreshToken);
  ASSERT_TRUE(servers->revoke(refreshToken->token));
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), numberedMail("token", 2)));
  const int authorizations = servers->requests(QStringLiteral("authorize"));
  boxes.pushAnswer(MsgAnswer::Ok);
  runPass();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_FALSE(boxes.boxes()[0].blocking);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("取り消されました")))
      << boxes.boxes()[0].text.toStdString();
  EXPECT_EQ(browser.opened.size(), 1);
  EXPECT_EQ(servers->requests(QStringLiteral("authorize")), authorizations);
  EXPECT_EQ(stored(), 1);
  EXPECT_EQ(servers->messageCount(QStringLiteral("alice")), 1);
  // The next passes of the minute fail for the same cause: told once in it,
  // even after the user closed the box.
  runPass();
  runPass();
  EXPECT_EQ(boxes.boxes().size(), 1);

  // The click offers the sign-in, and the mail comes.
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  form->Command4_Click();
  ASSERT_GE(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サインインしますか")));
  EXPECT_EQ(browser.opened.size(), 2);
  EXPECT_EQ(stored(), 2);
  EXPECT_EQ(servers->messageCount(QStringLiteral("alice")), 0);
}

} // namespace
