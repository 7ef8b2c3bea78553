// The POP3 operations against a real Dovecot: USER/PASS, APOP, STLS with a
// self-signed certificate (refused unless pinned), POP3S, and deletions that
// only take effect at QUIT.
#include "mail/net/nmail.h"
#include "tests/support/hostilemail.h"
#include "tests/support/servers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>

using namespace nmail;
using testsupport::MailServers;

namespace {

QByteArray plainMail(const QByteArray &subject, const QByteArray &body) {
  return "From: Sender <sender@example.org>\r\n"
         "To: alice@korvex.test\r\n"
         "Subject: " +
         subject +
         "\r\n"
         "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\n"
         "Message-ID: <" +
         subject +
         "@example.org>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=US-ASCII\r\n"
         "\r\n" +
         body;
}

class Pop3Servers : public ::testing::Test {
protected:
  void SetUp() override {
    servers_ = MailServers::load();
    ASSERT_TRUE(servers_) << MailServers::loadError().toStdString();
    NMailInitializeWinSock();
    setNetworkTimeoutMs(10000);
    ASSERT_TRUE(servers_->clear(QStringLiteral("alice")));
  }
  void TearDown() override { NMailEndWinSock(); }

  const testsupport::MailUser alice() const { return servers_->user(QStringLiteral("alice")); }
  // The plain port with the test certificate pinned: Dovecot offers STLS.
  QString pop3() const {
    return servers_->pop3Server() + QStringLiteral("#sha256=") + servers_->certSha256;
  }

  std::optional<MailServers> servers_;
};

TEST_F(Pop3Servers, FetchesEveryMailInServerOrderAndDeletesAtQuit) {
  for (int i = 1; i <= 3; ++i)
    ASSERT_TRUE(servers_->seed(
        QStringLiteral("alice"),
        plainMail("mail-" + QByteArray::number(i), "Body " + QByteArray::number(i) + "\r\n")));
  const int h = NMailPop3Connect(pop3());
  ASSERT_NE(h, -1) << lastErrorText().toStdString();
  ASSERT_EQ(NMailPop3Authenticate(h, alice().name, alice().password, 0), 3)
      << lastErrorText().toStdString();

  for (int n = 1; n <= 3; ++n) {
    QString subject = newTextBuffer(), date = newTextBuffer(), from = newTextBuffer(),
            header = newTextBuffer();
    EXPECT_EQ(NMailPop3GetMailStatus(h, n, subject, date, from, header, 0), 0);
    EXPECT_EQ(cutAtNul(subject), QStringLiteral("mail-%1").arg(n));
    const int size = NMailPop3GetMailSize(h, n);
    EXPECT_GT(size, 100);
    QString body(size + 1, QLatin1Char(' '));
    EXPECT_EQ(NMailPop3GetMail(h, n, subject, date, from, header, body, 0, 0), 0);
    EXPECT_EQ(cutAtNul(subject), QStringLiteral("mail-%1").arg(n));
    EXPECT_TRUE(cutAtNul(from).contains(QStringLiteral("sender@example.org")));
    EXPECT_TRUE(cutAtNul(body).contains(QStringLiteral("Body %1").arg(n)));
    EXPECT_LE(body.size(), size + 1) << "the body buffer grew past the length the caller gave it";
    EXPECT_EQ(NMailPop3DeleteMail(h, n), 0);
  }
  // Nothing is deleted before QUIT.
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 3);
  EXPECT_EQ(NMailPop3Close(h), 0);
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 0);
}

TEST_F(Pop3Servers, MailStaysOnTheServerWhenTheSessionEndsWithoutQuit) {
  ASSERT_TRUE(servers_->seed(QStringLiteral("alice"), plainMail("kept", "x\r\n")));
  const int h = NMailPop3Connect(pop3());
  ASSERT_NE(h, -1) << lastErrorText().toStdString();
  ASSERT_EQ(NMailPop3Authenticate(h, alice().name, alice().password, 0), 1);
  QString s = newTextBuffer(), d = newTextBuffer(), f = newTextBuffer(), hd = newTextBuffer(),
          b(200, QLatin1Char(' '));
  ASSERT_EQ(NMailPop3GetMail(h, 1, s, d, f, hd, b, 0, 0), 0);
  ASSERT_EQ(NMailPop3DeleteMail(h, 1), 0);
  NMailEndWinSock(); // the program ends with the session open: no QUIT goes out
  NMailInitializeWinSock();
  EXPECT_EQ(NMailPop3Close(h), -1) << "the handle must be gone after the library ended";

  // The same with a session the program gives up on deliberately.
  const int again = NMailPop3Connect(pop3());
  ASSERT_NE(again, -1);
  ASSERT_EQ(NMailPop3Authenticate(again, alice().name, alice().password, 0), 1);
  ASSERT_EQ(NMailPop3GetMail(again, 1, s, d, f, hd, b, 0, 0), 0);
  ASSERT_EQ(NMailPop3DeleteMail(again, 1), 0);
  EXPECT_EQ(NMailPop3Abandon(again), 0);
  EXPECT_EQ(NMailPop3Close(again), -1) << "an abandoned handle is gone";

  const int third = NMailPop3Connect(pop3());
  ASSERT_NE(third, -1);
  EXPECT_EQ(NMailPop3Authenticate(third, alice().name, alice().password, 0), 1);
  EXPECT_EQ(NMailPop3Close(third), 0);
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 1);
}

TEST_F(Pop3Servers, ApopLogsInAndAWrongPasswordIsRefusedWithTheServersWords) {
  ASSERT_TRUE(servers_->seed(QStringLiteral("alice"), plainMail("apop", "x\r\n")));
  int h = NMailPop3Connect(pop3());
  ASSERT_NE(h, -1);
  EXPECT_EQ(NMailPop3Authenticate(h, alice().name, alice().password, -1), 1)
      << lastErrorText().toStdString();
  EXPECT_EQ(NMailPop3Close(h), 0);

  h = NMailPop3Connect(pop3());
  ASSERT_NE(h, -1);
  EXPECT_LT(NMailPop3Authenticate(h, alice().name, QStringLiteral("wrong"), -1), 0);
  const QString text = lastErrorText();
  EXPECT_TRUE(text.contains(QStringLiteral("認証に失敗しました"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("-ERR")))
      << "the server's reply belongs in the text: " << text.toStdString();
  NMailPop3Close(h);

  h = NMailPop3Connect(pop3());
  ASSERT_NE(h, -1);
  EXPECT_LT(NMailPop3Authenticate(h, alice().name, QStringLiteral("wrong"), 0), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("-ERR")));
  NMailPop3Close(h);
}

TEST_F(Pop3Servers, SelfSignedCertificateIsRefusedUnlessItsFingerprintIsPinned) {
  // Dovecot offers STLS on the plain port, so the upgrade happens and the
  // certificate check fails there too.
  for (const QString &server : {servers_->pop3Server(), servers_->pop3sServer()}) {
    SCOPED_TRACE(server.toStdString());
    EXPECT_EQ(NMailPop3Connect(server), -1);
    const QString text = lastErrorText();
    EXPECT_TRUE(text.contains(QStringLiteral("証明書"))) << text.toStdString();
    const QByteArray sha = QByteArray::fromHex(servers_->certSha256.toLatin1());
    EXPECT_TRUE(text.contains(fingerprintText(sha))) << "the text tells the fingerprint";
    ASSERT_TRUE(rejectedCertificate()) << "the program can show the certificate and ask";
    EXPECT_EQ(rejectedCertificate()->sha256, sha);
    EXPECT_FALSE(rejectedCertificate()->changed);

    const int h =
        NMailPop3Connect(server + QStringLiteral("#sha256=") + servers_->certSha256.toUpper());
    ASSERT_NE(h, -1) << lastErrorText().toStdString();
    EXPECT_EQ(NMailPop3Authenticate(h, alice().name, alice().password, 0), 0);
    EXPECT_EQ(NMailPop3Close(h), 0);

    QString wrong = servers_->certSha256;
    wrong[0] = wrong[0] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    EXPECT_EQ(NMailPop3Connect(server + QStringLiteral("#sha256=") + wrong), -1);
    EXPECT_TRUE(lastErrorText().contains(QStringLiteral("一致しません")));
  }
  // Without pop3s:// a port other than 995 speaks plaintext first: the
  // client waits for a greeting that a TLS port never sends, and gives up.
  setNetworkTimeoutMs(500);
  EXPECT_EQ(NMailPop3Connect(QStringLiteral("127.0.0.1:%1#sha256=%2")
                                 .arg(servers_->pop3sPort)
                                 .arg(servers_->certSha256)),
            -1);
}

TEST_F(Pop3Servers, CertificateFromATrustedAuthorityIsCheckedAgainstTheServerName) {
  // Make the test certificate an authority this process trusts, as a real
  // provider's chain is: no pin is needed then, but the name must match.
  const QSslConfiguration previous = QSslConfiguration::defaultConfiguration();
  QSslConfiguration trusting = previous;
  const auto authority = QSslCertificate::fromPath(servers_->caCert);
  ASSERT_EQ(authority.size(), 1) << servers_->caCert.toStdString();
  trusting.addCaCertificates(authority);
  QSslConfiguration::setDefaultConfiguration(trusting);

  for (const QString &server : {servers_->pop3Server(), servers_->pop3sServer(),
                                QStringLiteral("pop3s://localhost:%1").arg(servers_->pop3sPort)}) {
    SCOPED_TRACE(server.toStdString());
    const int h = NMailPop3Connect(server);
    EXPECT_NE(h, -1) << lastErrorText().toStdString();
    if (h != -1) {
      EXPECT_EQ(NMailPop3Authenticate(h, alice().name, alice().password, 0), 0);
      EXPECT_EQ(NMailPop3Close(h), 0);
    }
  }
  // The certificate names localhost and 127.0.0.1, not this spelling of the
  // same address.
  const int h =
      NMailPop3Connect(QStringLiteral("pop3s://[::ffff:127.0.0.1]:%1").arg(servers_->pop3sPort));
  const QString refused = lastErrorText();
  QSslConfiguration::setDefaultConfiguration(previous);
  EXPECT_EQ(h, -1);
  EXPECT_TRUE(refused.contains(QStringLiteral("証明書"))) << refused.toStdString();
}

TEST_F(Pop3Servers, ConnectionRefusedIsMinusOneWithAClearText) {
  // The SMTP port speaks no POP3; a closed port refuses.
  EXPECT_EQ(NMailPop3Connect(servers_->smtpServer()), -1);
  EXPECT_FALSE(lastErrorText().isEmpty());
  EXPECT_EQ(NMailPop3Connect(QStringLiteral("127.0.0.1:1")), -1);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("接続を拒否されました")))
      << lastErrorText().toStdString();
}

} // namespace

// Mails built to stall a reader, fetched from a real Dovecot as a receive
// fetches them (a large one into its file): each is read off the window's
// thread within its budget, its text is what a person reads of it, the files
// of its hidden branch are written once each, and every mail is deleted.
TEST_F(Pop3Servers, MailsBuiltToStallTheReaderAreReadWithinTheirBudget) {
  const QList<QByteArray> mails = {
      testsupport::htmlMail("comment page", testsupport::commentThenDivsPage(100000)),
      testsupport::htmlMail("stray ends", testsupport::strayEndTagsPage(40000)),
      testsupport::hiddenFilesMail(100, 100), testsupport::longLetter(3 * 1024 * 1024)};
  for (const QByteArray &m : mails)
    ASSERT_TRUE(servers_->seed(QStringLiteral("alice"), m));
  QTemporaryDir work;
  const QString attachments = work.filePath(QStringLiteral("attachments"));
  ASSERT_TRUE(QDir().mkpath(attachments));
  const int h = NMailPop3Connect(pop3());
  ASSERT_NE(h, -1) << lastErrorText().toStdString();
  ASSERT_EQ(NMailPop3Authenticate(h, alice().name, alice().password, 0), 4);
  QStringList texts;
  for (int n = 1; n <= 4; ++n) {
    ASSERT_EQ(NMailPop3SetMailFile(h, n, work.filePath(QStringLiteral("mail%1").arg(n))), 0);
    QString subject = newTextBuffer(), date = newTextBuffer(), from = newTextBuffer(),
            header = newTextBuffer(), body;
    ASSERT_EQ(NMailPop3GetMailText(h, n, subject, date, from, header, body, 1 << 20), 0)
        << lastErrorText().toStdString();
    EXPECT_FALSE(NMailLastMailOverBudget());
    const int unpacked = NMailAttachmentFileFirst(0, cutAtNul(subject), {}, {}, cutAtNul(header),
                                                  body, attachments + u'/', {}, {}, 0);
    EXPECT_EQ(unpacked, n == 3 ? NMailAttachmentWritten : NMailAttachmentNone);
    EXPECT_FALSE(NMailLastMailOverBudget());
    texts << cutAtNul(body);
    EXPECT_EQ(NMailPop3DeleteMail(h, n), 0);
  }
  EXPECT_EQ(NMailPop3Close(h), 0);
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 0);

  EXPECT_EQ(texts[0], QStringLiteral("end of page"));
  EXPECT_EQ(texts[1], QStringLiteral("end of page"));
  EXPECT_TRUE(texts[2].startsWith(QStringLiteral("shown text\r\n\r\nattachment: photo.jpg")));
  EXPECT_EQ(texts[2].count(QStringLiteral("attachment: photo.jpg (600 bytes)")), 100);
  EXPECT_TRUE(texts[3].startsWith(QStringLiteral("line 1 of a letter")));
  EXPECT_LT(texts[3].size(), 300 * 1024);
  const QStringList files = QDir(attachments).entryList(QDir::Files);
  EXPECT_EQ(files.size(), 100);
  QSet<QByteArray> contents;
  for (const QString &name : files) {
    QFile f(QDir(attachments).filePath(name));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    contents.insert(f.readAll());
  }
  EXPECT_EQ(contents.size(), 100);
}
