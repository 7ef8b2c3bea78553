// Sending through a real Postfix (plain SMTP, and submission with STARTTLS
// and AUTH through Dovecot) and fetching the mail back from Dovecot through
// the same operations the receive routine calls.
#include "mail/net/nmail.h"
#include "tests/support/fakes.h"
#include "tests/support/servers.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QFile>
#include <QTemporaryDir>

using namespace nmail;
using testsupport::MailServers;

namespace {

QByteArray allBytes() {
  QByteArray b;
  for (int round = 0; round < 40; ++round)
    for (int i = 0; i < 256; ++i)
      b.append(char(i));
  return b;
}

class SmtpServers : public ::testing::Test {
protected:
  void SetUp() override {
    servers_ = MailServers::load();
    ASSERT_TRUE(servers_) << MailServers::loadError().toStdString();
    NMailInitializeWinSock();
    setNetworkTimeoutMs(15000);
    ASSERT_TRUE(servers_->clear(QStringLiteral("alice")));
    setSmtpAccount(QStringLiteral("bob"));
  }
  void TearDown() override {
    setSmtpAccountProvider(nullptr);
    setCertificatePinProvider(nullptr);
    NMailEndWinSock();
  }
  void setSmtpAccount(const QString &name, const QString &password = QString()) {
    const auto u = servers_->user(name);
    const QString pw = password.isEmpty() ? u.password : password;
    setSmtpAccountProvider([name, pw] { return SmtpAccount{name, pw}; });
  }
  QString pinned(const QString &server) const {
    return server + QStringLiteral("#sha256=") + servers_->certSha256;
  }
  QString alice() const { return servers_->user(QStringLiteral("alice")).address; }

  std::optional<MailServers> servers_;
};

struct Fetched {
  QString subject, date, from, body;
  int attachments = 0;
};

// The receive routine's calling order for every waiting mail.
QList<Fetched> fetchAll(const MailServers &servers, const QString &folder) {
  QList<Fetched> out;
  const auto u = servers.user(QStringLiteral("alice"));
  const int h =
      NMailPop3Connect(servers.pop3Server() + QStringLiteral("#sha256=") + servers.certSha256);
  if (h == -1)
    return out;
  const int count = NMailPop3Authenticate(h, u.name, u.password, -1);
  QString subject = newTextBuffer(), date = newTextBuffer(), from = newTextBuffer(),
          header = newTextBuffer();
  for (int n = 1; n <= count; ++n) {
    NMailPop3GetMailStatus(h, n, subject, date, from, header, 0);
    QString body(NMailPop3GetMailSize(h, n) + 1, QLatin1Char(' '));
    NMailPop3GetMail(h, n, subject, date, from, header, body, 0, 0);
    Fetched f{cutAtNul(subject), cutAtNul(date), cutAtNul(from), cutAtNul(body)};
    f.attachments =
        NMailAttachmentFileFirst(0, f.subject, f.date, f.from, cutAtNul(header), body, folder + "/",
                                 folder + "/0.txt", cutAtNul(header) + cutAtNul(body), 0);
    NMailAttachmentFileClose(0);
    NMailPop3DeleteMail(h, n);
    out << f;
  }
  NMailPop3Close(h);
  return out;
}

TEST_F(SmtpServers, JapaneseMailWithTwoAttachmentsComesBackWhole) {
  QTemporaryDir work;
  const QString binPath = work.filePath(QStringLiteral("bytes.bin"));
  const QString jpPath = work.filePath(QStringLiteral("見積書①.txt"));
  const QByteArray binary = allBytes();
  const QByteArray japanese = QStringLiteral("見積もり：合計　１２，３４５円〜\r\n").toUtf8();
  {
    QFile f(binPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(binary);
    QFile g(jpPath);
    ASSERT_TRUE(g.open(QIODevice::WriteOnly));
    g.write(japanese);
  }
  const QString subject = QStringLiteral("お見積もりの件（第２版）");
  const QString body = QStringLiteral(
      "山田様\r\n\r\nいつもお世話になっております。\r\n.\r\n添付をご確認ください。\r\n");
  const int sent = NMailSmtpSendMail(pinned(servers_->submissionServer()), alice(), QString(),
                                     QString(), QStringLiteral("bob@korvex.test"), subject, body,
                                     QString(), binPath + QLatin1Char(',') + jpPath, 0);
  ASSERT_GE(sent, 0) << lastErrorText().toStdString();
  ASSERT_TRUE(servers_->waitForMessages(QStringLiteral("alice"), 1));

  QTemporaryDir folder;
  const auto mails = fetchAll(*servers_, folder.path());
  ASSERT_EQ(mails.size(), 1) << lastErrorText().toStdString();
  EXPECT_EQ(mails[0].subject, subject);
  EXPECT_TRUE(mails[0].from.contains(QStringLiteral("bob@korvex.test")))
      << mails[0].from.toStdString();
  EXPECT_TRUE(mails[0].body.contains(
      QStringLiteral("いつもお世話になっております。\r\n.\r\n添付をご確認ください。")))
      << mails[0].body.toStdString();
  EXPECT_EQ(mails[0].attachments, NMailAttachmentWritten);

  QFile bin(folder.filePath(QStringLiteral("bytes.bin")));
  ASSERT_TRUE(bin.open(QIODevice::ReadOnly))
      << QDir(folder.path()).entryList().join(',').toStdString();
  EXPECT_EQ(bin.readAll(), binary);
  QFile jp(folder.filePath(QStringLiteral("見積書①.txt")));
  ASSERT_TRUE(jp.open(QIODevice::ReadOnly))
      << QDir(folder.path()).entryList().join(',').toStdString();
  EXPECT_EQ(jp.readAll(), japanese);
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 0);
}

// Receiving programs sort and show mail by this header; a zone that is not a
// sign and four digits makes it unreadable to them.
TEST_F(SmtpServers, TheDateHeaderIsAValidDateWithItsZone) {
  FakeClock clock;
  clock.setUtc(QDateTime::currentDateTimeUtc());
  const QList<QDateTime> sendTimes = {
      QDateTime(QDate(2026, 12, 8), QTime(15, 15, 21), Qt::OffsetFromUTC, 9 * 3600),
      QDateTime(QDate(2026, 3, 1), QTime(6, 5, 0), Qt::OffsetFromUTC, -(3 * 3600 + 30 * 60))};
  for (const QDateTime &local : sendTimes) {
    clock.setLocal(local);
    ASSERT_GE(NMailSmtpSendMail(pinned(servers_->submissionServer()), alice(), QString(), QString(),
                                QStringLiteral("bob@korvex.test"), QStringLiteral("date"),
                                QStringLiteral("body\r\n"), QString(), QString(), 0),
              0)
        << lastErrorText().toStdString();
  }
  ASSERT_TRUE(servers_->waitForMessages(QStringLiteral("alice"), 2));

  QStringList dates;
  for (const QByteArray &mail : servers_->messages(QStringLiteral("alice"))) {
    const QRegularExpression header(QStringLiteral("(?:^|\n)Date: ([^\r\n]*)"));
    const auto m = header.match(QString::fromLatin1(mail));
    ASSERT_TRUE(m.hasMatch()) << mail.constData();
    dates << m.captured(1);
  }
  dates.sort();
  // Day-of-week, date, time and a sign with four digits, as RFC 5322 writes them.
  EXPECT_EQ(dates, QStringList({QStringLiteral("Sun, 01 Mar 2026 06:05:00 -0330"),
                                QStringLiteral("Tue, 08 Dec 2026 15:15:21 +0900")}));
  for (const QString &date : dates) {
    const QDateTime parsed = QDateTime::fromString(date, Qt::RFC2822Date);
    ASSERT_TRUE(parsed.isValid()) << date.toStdString();
    EXPECT_TRUE(sendTimes.contains(parsed)) << date.toStdString();
    EXPECT_TRUE(parsed.offsetFromUtc() == 9 * 3600 || parsed.offsetFromUtc() == -12600)
        << date.toStdString();
  }
}

TEST_F(SmtpServers, SmtpsSpeaksTlsFromTheFirstByte) {
  setSmtpAccount(QStringLiteral("taro"));
  ASSERT_GE(NMailSmtpSendMail(pinned(servers_->smtpsServer()), alice(), QString(), QString(),
                              QStringLiteral("taro@korvex.test"), QStringLiteral("over smtps"),
                              QStringLiteral("hi"), QString(), QString(), 0),
            0)
      << lastErrorText().toStdString();
  ASSERT_TRUE(servers_->waitForMessages(QStringLiteral("alice"), 1));
  EXPECT_TRUE(servers_->messages(QStringLiteral("alice")).value(0).contains("Subject: over smtps"));
}

// The certificate the user trusted for a server (kept by the program, given
// through the pin provider) opens sending as it opens receiving; for another
// port, or with another certificate trusted, nothing is sent.
TEST_F(SmtpServers, ATrustedCertificateFromTheProviderIsAcceptedForThatServerOnly) {
  setSmtpAccount(QStringLiteral("taro"));
  const QByteArray real = QByteArray::fromHex(servers_->certSha256.toLatin1());
  QByteArray trusted = real;
  quint16 trustedPort = quint16(servers_->submissionPort);
  setCertificatePinProvider([&](const QString &host, quint16 port) {
    return host == QStringLiteral("127.0.0.1") && port == trustedPort ? trusted : QByteArray();
  });
  auto send = [&](const QString &subject) {
    return NMailSmtpSendMail(servers_->submissionServer(), alice(), QString(), QString(),
                             QStringLiteral("taro@korvex.test"), subject, QStringLiteral("hi"),
                             QString(), QString(), 0);
  };
  ASSERT_GE(send(QStringLiteral("trusted")), 0) << lastErrorText().toStdString();
  EXPECT_FALSE(rejectedCertificate());

  trustedPort = quint16(servers_->submissionPort + 1);
  EXPECT_LT(send(QStringLiteral("untrusted")), 0);
  ASSERT_TRUE(rejectedCertificate());
  EXPECT_FALSE(rejectedCertificate()->changed);
  EXPECT_EQ(rejectedCertificate()->sha256, real);
  EXPECT_EQ(rejectedCertificate()->port, quint16(servers_->submissionPort));

  trustedPort = quint16(servers_->submissionPort);
  trusted = QByteArray(32, '\x11');
  EXPECT_LT(send(QStringLiteral("changed")), 0);
  ASSERT_TRUE(rejectedCertificate());
  EXPECT_TRUE(rejectedCertificate()->changed);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("変わっています")));

  ASSERT_TRUE(servers_->waitForMessages(QStringLiteral("alice"), 1));
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 1);
}

TEST_F(SmtpServers, PlainSmtpPortNeedsNoAccount) {
  setSmtpAccountProvider(nullptr);
  ASSERT_GE(NMailSmtpSendMail(servers_->smtpServer(), alice(), QString(), QString(),
                              QStringLiteral("someone@example.org"), QStringLiteral("plain"),
                              QStringLiteral("hi"), QString(), QString(), 0),
            0)
      << lastErrorText().toStdString();
  ASSERT_TRUE(servers_->waitForMessages(QStringLiteral("alice"), 1));
  EXPECT_TRUE(servers_->messages(QStringLiteral("alice")).value(0).contains("Subject: plain"));
}

TEST_F(SmtpServers, RefusalsComeBackWithTheServersReply) {
  // A wrong password.
  setSmtpAccount(QStringLiteral("bob"), QStringLiteral("not-bobs"));
  EXPECT_LT(NMailSmtpSendMail(pinned(servers_->submissionServer()), alice(), QString(), QString(),
                              QStringLiteral("bob@korvex.test"), QStringLiteral("s"),
                              QStringLiteral("b"), QString(), QString(), 0),
            0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("認証"))) << lastErrorText().toStdString();
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("535"))) << lastErrorText().toStdString();

  // The self-signed certificate, not pinned.
  setSmtpAccount(QStringLiteral("bob"));
  EXPECT_LT(NMailSmtpSendMail(servers_->submissionServer(), alice(), QString(), QString(),
                              QStringLiteral("bob@korvex.test"), QStringLiteral("s"),
                              QStringLiteral("b"), QString(), QString(), 0),
            0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("証明書"))) << lastErrorText().toStdString();

  // A recipient the server does not know.
  EXPECT_LT(NMailSmtpSendMail(servers_->smtpServer(), QStringLiteral("nobody@korvex.test"),
                              QString(), QString(), QStringLiteral("bob@korvex.test"),
                              QStringLiteral("s"), QStringLiteral("b"), QString(), QString(), 0),
            0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("nobody@korvex.test")))
      << lastErrorText().toStdString();
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("550"))) << lastErrorText().toStdString();
  EXPECT_EQ(servers_->messageCount(QStringLiteral("alice")), 0);
}

} // namespace
