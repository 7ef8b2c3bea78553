// SMTP sessions against a scripted server: what goes on the wire (dot
// stuffing, no injected headers, the AUTH exchange) and how refusals and
// silence come back to the program.
#include "mail/net/nmail.h"
#include "tests/support/scriptedserver.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QTemporaryDir>

using namespace nmail;
using testsupport::Peer;
using testsupport::ScriptedServer;

namespace {

int send(const QString &server, const QString &to, const QString &from, const QString &subject,
         const QString &body, const QString &attachments = QString()) {
  return NMailSmtpSendMail(server, to, QString(), QString(), from, subject, body, QString(),
                           attachments, 0);
}

// A server that accepts one mail and keeps what came after DATA.
struct AcceptingServer {
  QByteArray data;
  QStringList extensions = {"250-mail.example.org", "250 8BITMIME"};
  std::unique_ptr<ScriptedServer> server;

  void start() {
    server = std::make_unique<ScriptedServer>([this](Peer &p) {
      p.answerCommands("220 mail.example.org ESMTP", [&](const QByteArray &line) {
        const QByteArray verb = line.left(4).toUpper();
        if (verb == "EHLO") {
          for (const QString &e : extensions)
            p.send(e.toUtf8());
        } else if (verb == "DATA") {
          p.send("354 go ahead");
          data = p.readUntilDot();
          p.send("250 2.0.0 queued");
        } else if (verb == "QUIT") {
          p.send("221 bye");
        } else {
          p.send("250 ok");
        }
        return verb != "QUIT";
      });
    });
  }
  QByteArray headerBlock() const { return data.left(data.indexOf("\r\n\r\n") + 2); }
};

class SmtpScripted : public ::testing::Test {
protected:
  void SetUp() override {
    NMailInitializeWinSock();
    setNetworkTimeoutMs(3000);
    setSmtpAccountProvider(nullptr);
    // A scripted server speaks no TLS: the login in the clear is agreed to.
    setPlaintextLoginPolicy({[](const QString &, quint16) { return true; }, {}, {}});
  }
  void TearDown() override {
    setPlaintextLoginPolicy({});
    setSmtpAccountProvider(nullptr);
    NMailEndWinSock();
    setNetworkTimeoutMs(30000);
  }
};

TEST_F(SmtpScripted, LeadingDotsAreDoubledOnTheWire) {
  AcceptingServer s;
  s.start();
  ASSERT_EQ(send(s.server->address(), "bob@example.org", "taro@example.jp", "dots",
                 ".hidden line\r\n.\r\nplain\r\n..two"),
            0)
      << lastErrorText().toStdString();
  s.server->waitDone();
  const QByteArray body = s.data.mid(s.data.indexOf("\r\n\r\n") + 4);
  EXPECT_TRUE(body.contains("..hidden line\r\n..\r\nplain\r\n...two\r\n")) << body.toStdString();
  EXPECT_TRUE(s.server->received().contains(QStringLiteral("MAIL FROM:<taro@example.jp>")));
  EXPECT_TRUE(s.server->received().contains(QStringLiteral("RCPT TO:<bob@example.org>")));
}

TEST_F(SmtpScripted, LineBreaksInHeaderFieldsNeverStartANewHeader) {
  struct Attempt {
    QString to, from, subject;
  };
  const QList<Attempt> attempts = {
      {"bob@example.org", "taro@example.jp", "Hello\r\nBcc: victim@example.net\r\n\r\nfake body"},
      {"bob@example.org", "taro@example.jp", "Hello\nX-Injected: 1"},
      {"bob@example.org", "taro@example.jp", "件名\rX-Injected: 1"},
      {"bob@example.org\r\nBcc: victim@example.net", "taro@example.jp", "to"},
      {"bob@example.org", "taro@example.jp\nX-Injected: 1", "from"},
      {"Bob <bob@example.org>\r\nX-Injected: 1", "山田 <taro@example.jp>", "named"},
  };
  for (const Attempt &a : attempts) {
    SCOPED_TRACE(a.subject.toStdString());
    AcceptingServer s;
    s.start();
    const int result = send(s.server->address(), a.to, a.from, a.subject, "real body");
    if (result < 0) {
      // Refusing is fine; the refusal must say why, and let the server go.
      EXPECT_FALSE(lastErrorText().isEmpty());
      setNetworkTimeoutMs(200);
      send(s.server->address(), "b@example.org", "a@example.jp", "s", "b");
      setNetworkTimeoutMs(3000);
    }
    s.server->waitDone();
    const QByteArray headers = s.headerBlock();
    for (const QByteArray &line : headers.split('\n')) {
      EXPECT_FALSE(line.startsWith("Bcc:")) << headers.toStdString();
      EXPECT_FALSE(line.startsWith("X-Injected:")) << headers.toStdString();
    }
    EXPECT_FALSE(s.data.contains("\r\n\r\nfake body"));
    for (const QString &line : s.server->received()) {
      EXPECT_FALSE(line.startsWith(QStringLiteral("Bcc")) || line.startsWith(QStringLiteral("X-")))
          << "a header line became an SMTP command: " << line.toStdString();
      if (result >= 0 && line.startsWith(QStringLiteral("RCPT TO:"))) {
        EXPECT_EQ(line.toStdString(), "RCPT TO:<bob@example.org>");
      }
    }
  }
}

TEST_F(SmtpScripted, RefusedRecipientFailsWithTheServersReplyAndSendsNoData) {
  ScriptedServer server(QStringList{
      "S: 220 hi", "C: EHLO *", "S: 250 hi", "C: MAIL FROM:<taro@example.jp>", "S: 250 ok",
      "C: RCPT TO:<nobody@example.org>",
      "S: 550 5.1.1 <nobody@example.org>: Recipient address rejected", "C: QUIT", "S: 221 bye"});
  EXPECT_LT(send(server.address(), "nobody@example.org", "taro@example.jp", "s", "b"), 0);
  const QString text = lastErrorText();
  EXPECT_TRUE(text.contains(QStringLiteral("550 5.1.1"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("nobody@example.org")));
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(SmtpScripted, HeloWhenEhloIsRefused) {
  ScriptedServer server(QStringList{"S: 220 old server", "C: EHLO *", "S: 502 what?", "C: HELO *",
                                    "S: 250 hello", "C: MAIL FROM:<a@example.jp>", "S: 250 ok",
                                    "C: RCPT TO:<b@example.org>", "S: 250 ok", "C: DATA",
                                    "S: 354 go", "C: *", "silence"});
  setNetworkTimeoutMs(500);
  // The script stops reading after the first DATA line: the send times out
  // waiting for the final reply, which must be a failure, not success.
  EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(SmtpScripted, ServiceNotAvailableAtEhloIsTheAnswer) {
  ScriptedServer server(
      QStringList{"S: 220 hi", "C: EHLO *", "S: 421 4.3.2 shutting down", "C: QUIT", "S: 221 bye"});
  EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("421 4.3.2 shutting down")))
      << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(SmtpScripted, CramMd5IsPreferredAndAnswersTheRfc2195Example) {
  setSmtpAccountProvider([] {
    return SmtpAccount{QStringLiteral("tim"), QStringLiteral("tanstaaftanstaaf")};
  });
  ScriptedServer server(QStringList{
      "S: 220 hi", "C: EHLO *", "S: 250-hi", "S: 250 AUTH PLAIN LOGIN CRAM-MD5", "C: AUTH CRAM-MD5",
      "S: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+",
      "C: dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "S: 535 5.7.8 not today", "C: QUIT",
      "S: 221 bye"});
  EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("535 5.7.8 not today")))
      << lastErrorText().toStdString();
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("認証"))) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

// Protocol traces are for people reading logs: no password, plain or
// encoded, may ever be in them.
TEST_F(SmtpScripted, TracesNeverShowPasswords) {
  static QStringList *captured = nullptr;
  QStringList lines;
  captured = &lines;
  QLoggingCategory::setFilterRules(QStringLiteral("korvex.transport.debug=true"));
  const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
        if (captured)
          captured->append(text);
      });

  const QString password = QStringLiteral("Sekret-Passw0rd");
  setSmtpAccountProvider([password] { return SmtpAccount{QStringLiteral("taro"), password}; });
  const QList<QStringList> scripts = {{"S: 220 hi", "C: EHLO *", "S: 250-hi", "S: 250 AUTH PLAIN",
                                       "C: AUTH PLAIN *", "S: 535 no", "C: QUIT", "S: 221 bye"},
                                      {"S: 220 hi", "C: EHLO *", "S: 250-hi", "S: 250 AUTH LOGIN",
                                       "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6", "C: *",
                                       "S: 334 UGFzc3dvcmQ6", "C: *", "S: 535 no", "C: QUIT",
                                       "S: 221 bye"}};
  for (const QStringList &script : scripts) {
    ScriptedServer smtp(script);
    EXPECT_LT(send(smtp.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
    smtp.waitDone();
    EXPECT_TRUE(smtp.mismatches().isEmpty()) << smtp.mismatches().join(';').toStdString();
  }
  ScriptedServer pop3(QStringList{"S: +OK ready", "C: CAPA", "S: -ERR", "C: USER taro", "S: +OK",
                                  "C: PASS " + password, "S: -ERR no", "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(pop3.address());
  NMailPop3Authenticate(h, QStringLiteral("taro"), password, 0);
  NMailPop3Close(h);
  pop3.waitDone();

  qInstallMessageHandler(previous);
  QLoggingCategory::setFilterRules(QStringLiteral("korvex.transport.debug=false"));
  captured = nullptr;
  EXPECT_TRUE(lines.join('\n').contains(QStringLiteral("USER taro"))) << "the trace was on";
  const QByteArray pw = password.toUtf8();
  for (const QString &line : lines) {
    EXPECT_FALSE(line.contains(password)) << line.toStdString();
    EXPECT_FALSE(line.contains(QString::fromLatin1(pw.toBase64()))) << line.toStdString();
    EXPECT_FALSE(line.contains(QString::fromLatin1((QByteArray("\0taro\0", 6) + pw).toBase64())))
        << line.toStdString();
  }
}

TEST_F(SmtpScripted, LoginWhenItIsTheOnlyMechanismOffered) {
  setSmtpAccountProvider([] { return SmtpAccount{QStringLiteral("taro"), QStringLiteral("pw")}; });
  ScriptedServer server(QStringList{
      "S: 220 hi", "C: EHLO *", "S: 250-hi", "S: 250 AUTH=LOGIN", "C: AUTH LOGIN",
      "S: 334 VXNlcm5hbWU6", "C: dGFybw==", "S: 334 UGFzc3dvcmQ6", "C: cHc=", "S: 235 ok",
      "C: MAIL FROM:<a@example.jp>", "S: 250 ok", "C: RCPT TO:<b@example.org>", "S: 250 ok",
      "C: RCPT TO:<c@example.org>", "S: 250 ok", "C: DATA", "S: 354 go"});
  // Two recipients, one RCPT each; the script ends after DATA and drops the
  // line, which must come back as a failure.
  EXPECT_LT(send(server.address(), "b@example.org, c@example.org", "a@example.jp", "s", "b"), 0);
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(SmtpScripted, MechanismsWeDontSpeakLeaveTheDecisionToTheServer) {
  setSmtpAccountProvider([] { return SmtpAccount{QStringLiteral("taro"), QStringLiteral("pw")}; });
  {
    // Many servers that offer only GSSAPI or NTLM take mail for their own
    // users without a login.
    AcceptingServer s;
    s.extensions = {"250-mail.example.org", "250 AUTH GSSAPI NTLM"};
    s.start();
    EXPECT_EQ(send(s.server->address(), "b@example.org", "a@example.jp", "s", "b"), 0)
        << lastErrorText().toStdString();
    s.server->waitDone();
    EXPECT_FALSE(s.data.isEmpty());
    for (const QString &line : s.server->received())
      EXPECT_FALSE(line.startsWith(QStringLiteral("AUTH"))) << line.toStdString();
  }
  // One that does want a login says so, and the text tells why none was made.
  ScriptedServer server(QStringList{
      "S: 220 hi", "C: EHLO *", "S: 250-hi", "S: 250 AUTH NTLM", "C: MAIL FROM:<a@example.jp>",
      "S: 530 5.7.0 Authentication required", "C: QUIT", "S: 221 bye"});
  EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("530 5.7.0"))) << lastErrorText().toStdString();
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("NTLM"))) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(SmtpScripted, SilentServerAndClosedPortFail) {
  setNetworkTimeoutMs(300);
  {
    ScriptedServer server(QStringList{"silence"});
    EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
    EXPECT_TRUE(lastErrorText().contains(QStringLiteral("応答がありませんでした")))
        << lastErrorText().toStdString();
  }
  EXPECT_LT(send(QStringLiteral("127.0.0.1:1"), "b@example.org", "a@example.jp", "s", "b"), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("接続を拒否されました")))
      << lastErrorText().toStdString();
}

TEST_F(SmtpScripted, UnreadableAttachmentFailsBeforeAnyConnection) {
  ScriptedServer server(QStringList{"silence"});
  QTemporaryDir dir;
  const QString missing = dir.filePath(QStringLiteral("無い.pdf"));
  EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b", missing), 0);
  EXPECT_TRUE(lastErrorText().contains(missing)) << lastErrorText().toStdString();
  // Let the server's wait for a client end: connect and leave.
  setNetworkTimeoutMs(200);
  send(server.address(), "b@example.org", "a@example.jp", "s", "b");
  server.waitDone();
  EXPECT_TRUE(server.received().isEmpty());
}

TEST_F(SmtpScripted, StartTlsFailureNeverFallsBackToPlaintext) {
  ScriptedServer server([](Peer &p) {
    p.send("220 hi");
    p.readLine(); // EHLO
    p.send("250-hi");
    p.send("250 STARTTLS");
    p.readLine(); // STARTTLS
    p.send("220 go ahead");
    p.sendRaw("this is not a TLS handshake\r\n");
    p.waitForClientClose(5000);
  });
  EXPECT_LT(send(server.address(), "b@example.org", "a@example.jp", "s", "b"), 0);
  EXPECT_FALSE(lastErrorText().isEmpty());
  server.waitDone();
  for (const QString &line : server.received())
    EXPECT_FALSE(line.startsWith(QStringLiteral("MAIL"))) << "mail went out unencrypted";

  // A pinned certificate means TLS: a server that offers no STARTTLS gets
  // neither the password nor the mail.
  setSmtpAccountProvider([] { return SmtpAccount{QStringLiteral("taro"), QStringLiteral("pw")}; });
  ScriptedServer plain(QStringList{"S: 220 hi", "C: EHLO *", "S: 250-hi", "S: 250 AUTH PLAIN",
                                   "C: QUIT", "S: 221 bye"});
  EXPECT_LT(send(plain.address() + QStringLiteral("#sha256=") + QString(64, QLatin1Char('b')),
                 "b@example.org", "a@example.jp", "s", "b"),
            0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("STARTTLS"))) << lastErrorText().toStdString();
  plain.waitDone();
  EXPECT_TRUE(plain.mismatches().isEmpty()) << plain.mismatches().join(';').toStdString();
}

} // namespace
