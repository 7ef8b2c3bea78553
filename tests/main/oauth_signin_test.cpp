// Signing in with OAuth 2.0: the browser sign-in end to end against the
// authorization server of tests/servers/oauthservers.sh (the browser seam
// makes the real requests and follows the redirect to the program's loopback
// listener), the refresh, the token command, and the mail servers that take
// the tokens (Dovecot's oauth2 passdb, Postfix with Dovecot SASL).
#include "mail/net/nmail.h"
#include "main/lib/accountprovider.h"
#include "platform/browser.h"
#include "platform/messagebox.h"
#include "settings/config.h"
#include "settings/oauthsettings.h"
#include "settings/oauthsignin.h"
#include "tests/main/oauthaccount.h"
#include "tests/support/fakes.h"
#include "tests/support/httpbrowser.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/oauthservers.h"
#include "tests/support/programfolder.h"
#include "tests/support/scriptedserver.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTest>
#include <QUrlQuery>

using testsupport::OAuthServers;
namespace oauth = settings::oauth;

namespace {

const QByteArray Mail = "From: a@example.jp\r\nTo: alice@korvex.test\r\nSubject: hello\r\n\r\nbody\r\n";

class OAuthSignIn : public ::testing::Test {
protected:
  void SetUp() override {
    servers = OAuthServers::load();
    ASSERT_TRUE(servers) << OAuthServers::loadError().toStdString();
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(servers->setAccessTokenLifetime(300));
    ASSERT_TRUE(servers->clear(QStringLiteral("alice")));
    clock.setUtc(QDateTime::currentDateTimeUtc());
    nmail::NMailInitializeWinSock();
    nmail::setNetworkTimeoutMs(15000);
    oauth::forgetAccessToken();
    // alice's own provider, as a user fills in "その他": no password anywhere.
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("alice")));
    ASSERT_TRUE(saveCustomOAuthAccount(*servers));
    korvex::installAccountProvider([this] { return unattended; });
  }
  void TearDown() override {
    oauth::cancelSignIn();
    oauth::forgetAccessToken();
    nmail::setSmtpAccountProvider(nullptr);
    nmail::NMailEndWinSock();
  }

  // The sign-in as the account dialog's button starts it; its outcome.
  std::pair<bool, QString> signIn() {
    std::optional<std::pair<bool, QString>> outcome;
    oauth::signIn([&](bool ok, const QString &text) { outcome.emplace(ok, text); });
    if (!QTest::qWaitFor([&] { return outcome.has_value(); }, 20000))
      return {false, QStringLiteral("(no outcome)")};
    return *outcome;
  }
  int receive() {
    const int h = nmail::NMailPop3Connect(servers->pop3Server());
    if (h < 0)
      return -2;
    const int count = nmail::NMailPop3Authenticate(h, QStringLiteral("alice"), QString(), 0);
    nmail::NMailPop3Close(h);
    return count;
  }
  int send() {
    return nmail::NMailSmtpSendMail(servers->submissionServer(), servers->address("alice"), {}, {},
                                    servers->address("alice"), QStringLiteral("件名"),
                                    QStringLiteral("本文"), {}, {}, 0);
  }
  QByteArray storedRefreshToken() const {
    const auto s = oauth::readRefreshToken();
    return s ? s->token : QByteArray();
  }

  std::optional<OAuthServers> servers;
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeClock clock;
  HttpBrowser browser;
  bool unattended = false;
};

TEST_F(OAuthSignIn, TheBrowserSignInLetsTheAccountReceiveAndSendWithTokensOnly) {
  const int codes = servers->requests(QStringLiteral("authorization_code"));
  const auto [ok, text] = signIn();
  ASSERT_TRUE(ok) << text.toStdString();
  ASSERT_EQ(browser.opened.size(), 1);
  const QUrlQuery asked(browser.opened[0]);
  EXPECT_EQ(asked.queryItemValue(QStringLiteral("code_challenge_method")), QStringLiteral("S256"));
  EXPECT_TRUE(asked.queryItemValue(QStringLiteral("redirect_uri")).startsWith(QStringLiteral("http://127.0.0.1:")));
  // The server checked the PKCE verifier against the challenge.
  EXPECT_EQ(servers->requests(QStringLiteral("authorization_code")), codes + 1);

  // The refresh token is kept private; the access token is never written.
  const QByteArray refresh = storedRefreshToken();
  EXPECT_FALSE(refresh.isEmpty());
  const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther |
                      QFileDevice::WriteOther;
  EXPECT_EQ(QFile(oauth::refreshTokenPath()).permissions() & others, 0);
  const auto token = oauth::accessToken(false, false);
  ASSERT_FALSE(token.token.isEmpty()) << token.error.toStdString();
  for (const QString &name : QDir(folder.dataPath()).entryList(QDir::Files))
    EXPECT_FALSE(folder.readBytes(folder.dataFile(name)).contains(token.token)) << name.toStdString();
  EXPECT_TRUE(settings::ReadAccountKey(QStringLiteral("NAME2")).isEmpty());

  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), Mail));
  EXPECT_EQ(receive(), 1) << nmail::lastErrorText().toStdString();
  EXPECT_EQ(send(), 0) << nmail::lastErrorText().toStdString();
  EXPECT_TRUE(servers->waitForMessages(QStringLiteral("alice"), 2));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// Anything on this machine may knock at the listener's port before the
// provider's redirect arrives: each is turned away with an error page, its
// code is never exchanged, its error is not taken for the provider's, and
// the real redirect still signs in.
TEST_F(OAuthSignIn, StrayRequestsToTheListenerAreTurnedAwayAndTheRealRedirectStillSignsIn) {
  const int codes = servers->requests(QStringLiteral("authorization_code"));
  browser.strays = [](const QUrl &redirect) {
    const auto with = [&](const QString &path, const QString &query) {
      QUrl url = redirect;
      url.setPath(path);
      url.setQuery(query);
      return url;
    };
    // The real code under another state (another tab's, or an attacker's, link).
    QUrlQuery forged(redirect);
    forged.removeQueryItem(QStringLiteral("state"));
    forged.addQueryItem(QStringLiteral("state"), QStringLiteral("somebody-elses"));
    return QList<QUrl>{with(QStringLiteral("/"), forged.query()),
                       with(QStringLiteral("/"), QStringLiteral("error=access_denied&error_description=forged")),
                       with(QStringLiteral("/favicon.ico"), {}), with(QStringLiteral("/"), {})};
  };
  const auto [ok, text] = signIn();
  EXPECT_TRUE(ok) << text.toStdString();
  ASSERT_EQ(browser.strayAnswers.size(), 4);
  for (const auto &[status, page] : browser.strayAnswers) {
    EXPECT_GE(status, 400);
    EXPECT_FALSE(page.contains("受け取りました")) << page.toStdString();
  }
  EXPECT_FALSE(text.contains(QStringLiteral("forged")));
  EXPECT_EQ(servers->requests(QStringLiteral("authorization_code")), codes + 1);
  EXPECT_FALSE(storedRefreshToken().isEmpty());
}

// The token endpoint's answer is read only so far, and a redirect is not
// followed with the code, the verifier and the client secret.
TEST_F(OAuthSignIn, TheCodeIsNeitherSentOnByARedirectNorReadFromAnEndlessAnswer) {
  const QByteArray realTokenUrl = (servers->tokenUrl + QStringLiteral("/token")).toLatin1();
  int answered = 0;
  testsupport::ScriptedServer endpoint(
      [&](testsupport::Peer &peer) {
        for (bool ok = true; !peer.readLine(&ok).isEmpty() && ok;) {
        }
        if (answered++ == 0)
          peer.sendRaw("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + realTokenUrl +
                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        else
          peer.sendRaw("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 4194304\r\n\r\n{\"access_token\":\"" +
                       QByteArray(4 * 1024 * 1024, 'x'));
        peer.waitForClientClose();
      },
      2);
  oauth::AccountSettings account = oauth::load();
  account.tokenUrl = QStringLiteral("http://%1/token").arg(endpoint.address());
  ASSERT_TRUE(oauth::save(account));
  const int codes = servers->requests(QStringLiteral("authorization_code"));

  const auto redirected = signIn();
  EXPECT_FALSE(redirected.first);
  EXPECT_TRUE(redirected.second.contains(QStringLiteral("HTTP 307"))) << redirected.second.toStdString();
  EXPECT_EQ(servers->requests(QStringLiteral("authorization_code")), codes);

  const auto endless = signIn();
  EXPECT_FALSE(endless.first);
  EXPECT_TRUE(endless.second.contains(QStringLiteral("長すぎる"))) << endless.second.toStdString();
  EXPECT_TRUE(storedRefreshToken().isEmpty());
}

// The scheduled check an hour later: the access token has expired; the
// refresh token gets a new one without the user.
TEST_F(OAuthSignIn, ATokenThatExpiredBetweenTwoChecksIsRefreshedWithoutTheUser) {
  ASSERT_TRUE(signIn().first);
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), Mail));
  unattended = true;
  EXPECT_EQ(receive(), 1) << nmail::lastErrorText().toStdString();
  const int refreshes = servers->requests(QStringLiteral("refresh_token"));
  const QByteArray before = oauth::accessToken(false, false).token;

  clock.setUtc(clock.utcNow().addSecs(3600));
  EXPECT_EQ(receive(), 1) << nmail::lastErrorText().toStdString();
  EXPECT_EQ(servers->requests(QStringLiteral("refresh_token")), refreshes + 1);
  EXPECT_NE(oauth::accessToken(false, false).token, before);
  EXPECT_EQ(browser.opened.size(), 1); // the sign-in's, no other
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// The user revoked the program's access at the provider: the scheduled
// check fails with the reason, tries nothing else and opens nothing; the
// next click offers the sign-in, and after it the mail comes.
TEST_F(OAuthSignIn, ARevokedRefreshTokenFailsTheScheduledCheckAndTheNextClickOffersTheSignIn) {
  ASSERT_TRUE(signIn().first);
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), Mail));
  ASSERT_TRUE(servers->revoke(storedRefreshToken()));
  clock.setUtc(clock.utcNow().addSecs(3600));
  const int authorizations = servers->requests(QStringLiteral("authorize"));
  const int refreshes = servers->requests(QStringLiteral("refresh_token"));

  unattended = true;
  EXPECT_EQ(receive(), -1);
  const QString reason = nmail::lastErrorText();
  EXPECT_TRUE(reason.contains(QStringLiteral("取り消されました"))) << reason.toStdString();
  EXPECT_TRUE(reason.contains(QStringLiteral("「受信」をクリック"))) << reason.toStdString();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(browser.opened.size(), 1);
  EXPECT_EQ(servers->requests(QStringLiteral("authorize")), authorizations);
  EXPECT_EQ(servers->requests(QStringLiteral("refresh_token")), refreshes + 1);
  EXPECT_TRUE(storedRefreshToken().isEmpty());
  // A second scheduled check asks the provider nothing more.
  EXPECT_EQ(receive(), -1);
  EXPECT_EQ(servers->requests(QStringLiteral("refresh_token")), refreshes + 1);

  unattended = false;
  boxes.pushAnswer(platform::MsgAnswer::Yes);
  EXPECT_EQ(receive(), 1) << nmail::lastErrorText().toStdString();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サインインしますか"))) << boxes.boxes()[0].text.toStdString();
  EXPECT_EQ(browser.opened.size(), 2);
  EXPECT_FALSE(storedRefreshToken().isEmpty());
}

// The token command is run as the program and its arguments, never through
// a shell: what a shell would expand stays text.
TEST_F(OAuthSignIn, TheTokenCommandsOutputIsTheTokenAndNoShellRunsIt) {
  const auto issued = servers->issue(QStringLiteral("alice"));
  ASSERT_TRUE(issued);
  oauth::AccountSettings account = oauth::load();
  account.method = oauth::Method::Command;
  account.command = QStringLiteral("printf \"%s\\n\" ") + QString::fromLatin1(issued->accessToken);
  ASSERT_TRUE(oauth::save(account));
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), Mail));
  EXPECT_EQ(receive(), 1) << nmail::lastErrorText().toStdString();
  EXPECT_EQ(send(), 0) << nmail::lastErrorText().toStdString();

  const QString marker = folder.file(QStringLiteral("ran"));
  account.command = QStringLiteral("printf %s \"$(touch ") + marker + QStringLiteral(")\"");
  ASSERT_TRUE(oauth::save(account));
  EXPECT_EQ(receive(), -1);
  EXPECT_FALSE(QFile::exists(marker));

  account.command = QStringLiteral("false");
  ASSERT_TRUE(oauth::save(account));
  EXPECT_EQ(receive(), -1);
  EXPECT_TRUE(nmail::lastErrorText().contains(QStringLiteral("トークンコマンド「false」が失敗しました")))
      << nmail::lastErrorText().toStdString();
  EXPECT_TRUE(browser.opened.isEmpty());
}

} // namespace
