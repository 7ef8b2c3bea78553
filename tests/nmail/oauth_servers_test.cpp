// Logging in with OAuth 2.0 access tokens (SASL OAUTHBEARER / XOAUTH2) to a
// real Dovecot and Postfix that take tokens only, checked by the
// authorization server of tests/servers/oauthservers.sh.
#include "mail/net/nmail.h"
#include "tests/support/oauthservers.h"
#include "tests/support/relay.h"

#include <gtest/gtest.h>

using namespace nmail;
using testsupport::OAuthServers;

namespace {

class TokenLogin : public ::testing::Test {
protected:
  void SetUp() override {
    servers_ = OAuthServers::load();
    ASSERT_TRUE(servers_) << OAuthServers::loadError().toStdString();
    NMailInitializeWinSock();
    setNetworkTimeoutMs(15000);
    ASSERT_TRUE(servers_->clear(QStringLiteral("alice")));
  }
  void TearDown() override {
    setSmtpAccountProvider(nullptr);
    NMailEndWinSock();
  }
  // The account signs in as alice with the tokens handed out in turn; the
  // last one stays. Counts the calls.
  void useTokens(QList<QByteArray> tokens) {
    calls_ = 0;
    setSmtpAccountProvider([this, tokens] {
      SmtpAccount a{QStringLiteral("alice"), QString()};
      a.accessToken = [this, tokens](bool renew) {
        renewed_ += renew ? 1 : 0;
        const QByteArray t = tokens.value(std::min<qsizetype>(calls_++, tokens.size() - 1));
        return AccessToken{t, t.isEmpty() ? QStringLiteral("サインインが必要です。") : QString()};
      };
      return a;
    });
  }
  int login(const QString &server) {
    const int h = NMailPop3Connect(server);
    if (h < 0)
      return -2;
    // The password argument is ignored for a token account.
    const int count = NMailPop3Authenticate(h, QStringLiteral("alice"), QString(), 0);
    NMailPop3Close(h);
    return count;
  }
  int send(const QString &server, const QString &subject) {
    return NMailSmtpSendMail(server, servers_->address(QStringLiteral("alice")), {}, {},
                             servers_->address(QStringLiteral("alice")), subject,
                             QStringLiteral("本文です。"), {}, {}, 0);
  }
  QByteArray fresh(int length = 0) {
    const auto t = servers_->issue(QStringLiteral("alice"), length);
    return t ? t->accessToken : QByteArray();
  }

  std::optional<OAuthServers> servers_;
  int calls_ = 0;
  int renewed_ = 0;
};

const QByteArray Mail = "From: a@example.jp\r\nTo: alice@korvex.test\r\nSubject: hello\r\n\r\nbody\r\n";

TEST_F(TokenLogin, ReceivesAndSendsWithATokenOverStlsPop3sAndStarttls) {
  ASSERT_TRUE(servers_->seed(QStringLiteral("alice"), Mail));
  useTokens({fresh()});
  EXPECT_EQ(login(servers_->pop3Server()), 1) << lastErrorText().toStdString();
  EXPECT_EQ(login(servers_->pop3sServer()), 1) << lastErrorText().toStdString();
  EXPECT_EQ(send(servers_->submissionServer(), QStringLiteral("トークンで送信")), 0)
      << lastErrorText().toStdString();
  EXPECT_TRUE(servers_->waitForMessages(QStringLiteral("alice"), 2));
  EXPECT_EQ(renewed_, 0);
}

// Postfix cuts an AUTH line at 2,048 characters: a token that long only gets
// through after the server's prompt.
TEST_F(TokenLogin, ALongTokenGoesAfterThePrompt) {
  ASSERT_TRUE(servers_->seed(QStringLiteral("alice"), Mail));
  useTokens({fresh(3000)});
  EXPECT_EQ(login(servers_->pop3Server()), 1) << lastErrorText().toStdString();
  EXPECT_EQ(send(servers_->submissionServer(), QStringLiteral("long")), 0)
      << lastErrorText().toStdString();
}

// A token that expired on the server before its holder noticed: the server
// refuses it with its JSON status, the source is asked once for a new one,
// and the login goes on.
TEST_F(TokenLogin, ARefusedTokenIsRenewedOnce) {
  ASSERT_TRUE(servers_->seed(QStringLiteral("alice"), Mail));
  const QByteArray stale = fresh();
  ASSERT_TRUE(servers_->expire(stale));
  useTokens({stale, fresh()});
  EXPECT_EQ(login(servers_->pop3Server()), 1) << lastErrorText().toStdString();
  EXPECT_EQ(renewed_, 1);

  useTokens({stale, fresh()});
  EXPECT_EQ(send(servers_->submissionServer(), QStringLiteral("renewed")), 0)
      << lastErrorText().toStdString();
  EXPECT_EQ(renewed_, 2);
}

TEST_F(TokenLogin, ARevokedTokenFailsWithTheServersReasonInJapanese) {
  const QByteArray revoked = fresh();
  ASSERT_TRUE(servers_->revoke(revoked));
  useTokens({revoked});
  EXPECT_EQ(login(servers_->pop3Server()), -1);
  const QString pop3Text = lastErrorText();
  EXPECT_TRUE(pop3Text.contains(QStringLiteral("アクセストークンが無効か、期限が切れています")))
      << pop3Text.toStdString();
  EXPECT_EQ(renewed_, 1); // one more try with a renewed token, no more

  EXPECT_LT(send(servers_->submissionServer(), QStringLiteral("x")), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("アクセストークンが無効か、期限が切れています")))
      << lastErrorText().toStdString();
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 0);
}

// Someone in between removes STLS and STARTTLS from the servers' offers: no
// token and no mail leave, and nobody is asked whether to go on without TLS.
TEST_F(TokenLogin, NoTokenLeavesThroughARelayThatStripsTls) {
  useTokens({fresh()});
  testsupport::Relay pop3(servers_->pop3Port, testsupport::Relay::StripTls);
  const int h = NMailPop3Connect(pop3.address());
  EXPECT_EQ(h, -1);
  EXPECT_FALSE(plaintextLoginRefused()) << "a question would be asked";
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("暗号化"))) << lastErrorText().toStdString();
  EXPECT_EQ(calls_, 0);

  testsupport::Relay smtp(servers_->submissionPort,
                          testsupport::Relay::StripTls | testsupport::Relay::OfferAuth);
  EXPECT_LT(send(smtp.address(), QStringLiteral("x")), 0);
  EXPECT_FALSE(plaintextLoginRefused());
  for (const QString &command : {QStringLiteral("AUTH"), QStringLiteral("USER"), QStringLiteral("PASS")})
    EXPECT_FALSE(pop3.clientSent(command)) << command.toStdString();
  EXPECT_FALSE(smtp.clientSent(QStringLiteral("AUTH")));
  EXPECT_FALSE(smtp.clientSent(QStringLiteral("MAIL")));
  for (const QString &line : pop3.clientLines() + smtp.clientLines())
    EXPECT_FALSE(line.contains(QString::fromLatin1(fresh().left(4)))) << line.toStdString();
}

} // namespace
