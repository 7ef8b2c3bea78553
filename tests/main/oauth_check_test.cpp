// The scheduled check of the real main window for an account that signs in
// with OAuth 2.0, against the servers of tests/servers/oauthservers.sh: it
// renews the access token itself; when the provider refuses the refresh
// token it fails visibly, tries nothing else and opens nothing, and the next
// click of "受信" offers the sign-in.
#include "main/lib/mainform.h"

#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/tyakuform.h"
#include "main/lib/accountprovider.h"
#include "main/lib/checktime.h"
#include "settings/config.h"
#include "settings/idpassform.h"
#include "settings/oauthsettings.h"
#include "settings/oauthsignin.h"
#include "tests/support/fakes.h"
#include "tests/support/httpbrowser.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/oauthservers.h"
#include "tests/support/programfolder.h"

#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using platform::MsgAnswer;
using testsupport::OAuthServers;
namespace oauth = settings::oauth;

namespace {

QByteArray mailNumbered(int n) {
  return "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: token " +
         QByteArray::number(n) +
         "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
}

class TokenCheck : public ::testing::Test {
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
    oauth::AccountSettings account;
    account.method = oauth::Method::Browser;
    account.preset = QStringLiteral("custom");
    account.authorizationUrl = servers->tokenUrl + QStringLiteral("/authorize");
    account.tokenUrl = servers->tokenUrl + QStringLiteral("/token");
    account.scope = QStringLiteral("mail");
    account.clientId = servers->clientId;
    ASSERT_TRUE(oauth::save(account));
    oauth::forgetAccessToken();
    ASSERT_EQ(korvex::putCheckTimeRecord(1, QStringLiteral("9:05")), korvex::CheckTimeError::None);
    clock.setUtc(QDateTime(QDate(2026, 12, 7), QTime(0, 5, 10), Qt::UTC)); // 9:05 in Japan

    form = std::make_unique<MainForm>();
    form->endProgram = [] {};
    form->Form_Load();
    form->Timer2->stop();
    form->Timer3->stop();
    form->Timer4->stop();
    form->Timer4_Timer();
    form->Command1_Click();
    korvex::installAccountProvider([this] { return form && form->unattended(); });
  }
  void TearDown() override {
    oauth::cancelSignIn();
    oauth::forgetAccessToken();
    form.reset();
    forms::tyakuForm().unload();
    forms::idPassForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    settings::Pop3Server.clear();
    nmail::setSmtpAccountProvider({});
  }
  void runPass() {
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [this] { clock.setMilliseconds(clock.milliseconds() + 1000); });
    ticker.start(2);
    form->Timer3_Timer();
  }
  bool signIn() {
    bool ended = false, ok = false;
    oauth::signIn([&](bool signedIn, const QString &) { ended = true, ok = signedIn; });
    return QTest::qWaitFor([&] { return ended; }, 20000) && ok;
  }
  int stored() const { return int(mail::readHistory(mail::History::Received).size()); }

  std::optional<OAuthServers> servers;
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeClock clock;
  FakeDialUpBackend dialUp;
  HttpBrowser browser;
  std::unique_ptr<MainForm> form;
};

TEST_F(TokenCheck, TheCheckRenewsItsTokenAndARefusedSignInFailsItUntilAClickSignsInAgain) {
  ASSERT_TRUE(signIn());
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), mailNumbered(1)));
  const int refreshes = servers->requests(QStringLiteral("refresh_token"));
  runPass();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(stored(), 1);
  EXPECT_EQ(servers->requests(QStringLiteral("refresh_token")), refreshes + 1);

  // The user withdrew the program's access at the provider.
  const auto refreshToken = oauth::readRefreshToken();
  ASSERT_TRUE(refreshToken);
  ASSERT_TRUE(servers->revoke(refreshToken->token));
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), mailNumbered(2)));
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
