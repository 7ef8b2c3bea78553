// POP3 faults a real server will not produce, played by a scripted server:
// silence, a line dropped mid-message, -ERR everywhere, huge messages and
// lines, replies that never end, APOP without a timestamp.
#include "mail/mime/mime.h"
#include "mail/net/nmail.h"
#include "tests/support/procstatus.h"
#include "tests/support/scriptedserver.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

using namespace nmail;
using testsupport::Peer;
using testsupport::Pop3MailboxOptions;
using testsupport::ScriptedServer;

namespace {

// What every session says before the part a test is about.
QStringList loggedIn(int count) {
  return {"S: +OK ready", "C: CAPA", "S: -ERR no CAPA here",
          "C: USER taro", "S: +OK",  "C: PASS pw",
          "S: +OK",       "C: STAT", QStringLiteral("S: +OK %1 %2").arg(count).arg(count * 100)};
}

struct Buffers {
  QString subject = newTextBuffer(), date = newTextBuffer(), from = newTextBuffer(),
          header = newTextBuffer();
  QString body;
  explicit Buffers(int bodySize = 100) : body(bodySize + 1, QLatin1Char(' ')) {}
  int getMail(int h, int n) {
    return NMailPop3GetMail(h, n, subject, date, from, header, body, 0, 0);
  }
};

// RETR n's reply from a server that sends what it likes: a header and
// `bytes` of filler lines (64 KB at a time, or a line every `pauseMs`),
// then its end; with `bytes` below 0 none: 200 MB or 10 s of it, then the
// line drops. `midway` runs after the first piece.
void sendFiller(Peer &p, int number, qint64 bytes, int pauseMs = 0,
                const std::function<void()> &midway = {}) {
  p.sendRaw("+OK\r\nSubject: mail " + QByteArray::number(number) + "\r\n\r\n");
  const QByteArray line = QByteArray(62, 'f') + "\r\n";
  const QByteArray chunk = pauseMs > 0 ? line : line.repeated(1024);
  const QDeadlineTimer endless(10000);
  for (qint64 sent = 0;
       bytes < 0 ? sent < 200 * 1024 * 1024 && !endless.hasExpired() : sent < bytes;
       sent += chunk.size()) {
    if (!p.sendRaw(chunk))
      return;
    if (sent == 0 && midway)
      midway();
    QThread::msleep(pauseMs);
  }
  if (bytes < 0)
    p.close();
  else
    p.sendRaw(".\r\n");
}

class Pop3Scripted : public ::testing::Test {
protected:
  void SetUp() override {
    NMailInitializeWinSock();
    setNetworkTimeoutMs(2000);
    // A scripted server speaks no TLS: the login in the clear is agreed to.
    setPlaintextLoginPolicy({[](const QString &, quint16) { return true; }, {}, {}});
  }
  void TearDown() override {
    setPlaintextLoginPolicy({});
    NMailEndWinSock();
    setNetworkTimeoutMs(30000);
  }
};

TEST_F(Pop3Scripted, SilentServerTimesOutInsteadOfHanging) {
  setNetworkTimeoutMs(300);
  ScriptedServer server(QStringList{"silence"});
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(NMailPop3Connect(server.address()), -1);
  EXPECT_LT(clock.elapsed(), 10000);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("応答がありませんでした")))
      << lastErrorText().toStdString();
}

TEST_F(Pop3Scripted, DroppedConnectionMidRetrFailsAndDeletesNothing) {
  ScriptedServer server([](Peer &p) {
    p.send("+OK ready");
    p.readLine(); // CAPA
    p.send("-ERR");
    p.readLine(); // USER
    p.send("+OK");
    p.readLine(); // PASS
    p.send("+OK");
    p.readLine(); // STAT
    p.send("+OK 2 400");
    p.readLine(); // RETR 1
    p.send("+OK 200 octets");
    p.send("Subject: half");
    p.send("");
    QByteArray lines; // more than the piece that goes to the file at once
    while (lines.size() < 3 * 1024 * 1024)
      lines += "a line of the first half of the body\r\n";
    p.sendRaw(lines + "first half of the bo");
    p.close();
  });
  const int h = NMailPop3Connect(server.address());
  ASSERT_NE(h, -1) << lastErrorText().toStdString();
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
  Buffers b;
  b.subject = QStringLiteral("previous mail's subject");
  QTemporaryDir folder;
  const QString file = folder.filePath(QStringLiteral("mail"));
  ASSERT_EQ(NMailPop3SetMailFile(h, 1, file), 0);
  EXPECT_LT(b.getMail(h, 1), 0);
  EXPECT_FALSE(QFile::exists(file)) << "half a mail was left in its file";
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("切れました")))
      << lastErrorText().toStdString();
  EXPECT_EQ(cutAtNul(b.subject), QString())
      << "a failed fetch must not leave the last mail's text behind";
  EXPECT_EQ(cutAtNul(b.body), QString());

  EXPECT_LT(NMailPop3DeleteMail(h, 1), 0);
  EXPECT_LT(NMailPop3Close(h), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("残っています")))
      << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_FALSE(server.received().contains(QStringLiteral("DELE 1")));
  EXPECT_FALSE(server.received().contains(QStringLiteral("QUIT")));
}

TEST_F(Pop3Scripted, ErrEverywhereIsReportedWithTheServersWords) {
  {
    ScriptedServer server(QStringList{"S: -ERR go away, too busy"});
    EXPECT_EQ(NMailPop3Connect(server.address()), -1);
    EXPECT_TRUE(lastErrorText().contains(QStringLiteral("-ERR go away, too busy")))
        << lastErrorText().toStdString();
  }
  {
    ScriptedServer server(QStringList{"S: +OK ready", "C: CAPA", "S: -ERR", "C: USER taro",
                                      "S: -ERR [AUTH] unknown user", "C: QUIT",
                                      "S: -ERR even this"});
    const int h = NMailPop3Connect(server.address());
    ASSERT_NE(h, -1);
    EXPECT_LT(NMailPop3Authenticate(h, "taro", "pw", 0), 0);
    EXPECT_TRUE(lastErrorText().contains(QStringLiteral("-ERR [AUTH] unknown user")))
        << lastErrorText().toStdString();
    EXPECT_FALSE(server.received().contains(QStringLiteral("PASS pw")))
        << "no password after a refused USER";
    EXPECT_LT(NMailPop3Close(h), 0);
    server.waitDone();
    EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
  }
  {
    // Without a listing, each fetch asks for its mail's size first.
    ScriptedServer server(
        loggedIn(1) +
        QStringList{"C: LIST", "S: -ERR no", "C: LIST 1", "S: -ERR no", "C: TOP 1 0", "S: -ERR no",
                    "C: LIST 1", "S: -ERR no", "C: RETR 1", "S: -ERR no", "C: LIST 1", "S: -ERR no",
                    "C: LIST 1", "S: -ERR no", "C: RETR 1", "S: -ERR locked", "C: QUIT", "S: +OK"});
    const int h = NMailPop3Connect(server.address());
    ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
    Buffers b;
    EXPECT_LT(NMailPop3GetMailStatus(h, 1, b.subject, b.date, b.from, b.header, 0), 0);
    EXPECT_LT(NMailPop3GetMailSize(h, 1), 0);
    EXPECT_LT(b.getMail(h, 1), 0);
    EXPECT_TRUE(lastErrorText().contains(QStringLiteral("-ERR locked")));
    // Deleting a mail that never arrived would lose it.
    EXPECT_LT(NMailPop3DeleteMail(h, 1), 0);
    EXPECT_EQ(NMailPop3Close(h), 0);
    server.waitDone();
    EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
    EXPECT_FALSE(server.received().contains(QStringLiteral("DELE 1")));
  }
}

TEST_F(Pop3Scripted, GarbageReplyEndsTheSession) {
  ScriptedServer server(loggedIn(1) + QStringList{"C: LIST", "S: 220 this is not POP3", "silence"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  EXPECT_LT(NMailPop3GetMailSize(h, 1), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("220 this is not POP3")));
  EXPECT_LT(NMailPop3GetMailSize(h, 1), 0) << "a desynchronised stream must not be read on";
  NMailPop3Close(h);
}

TEST_F(Pop3Scripted, EndlessReplyLineIsRefused) {
  ScriptedServer server(
      QStringList{QStringLiteral("S: +OK ") + QString(200000, QLatin1Char('x')), "silence"});
  EXPECT_EQ(NMailPop3Connect(server.address()), -1);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("長すぎます")))
      << lastErrorText().toStdString();
}

TEST_F(Pop3Scripted, SizesComeFromOneListingAndDeletedMailHasNone) {
  ScriptedServer server(loggedIn(3) + QStringList{"C: LIST", "S: +OK 3 messages", "S: 1 120",
                                                  "S: 2 340", "S: 3 99999999999", "S: .",
                                                  "C: RETR 2", "S: +OK", "S: Subject: two",
                                                  "S: ", "S: body", "S: .", "C: DELE 2", "S: +OK",
                                                  "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 3);
  EXPECT_EQ(NMailPop3GetMailSize(h, 2), 340);
  EXPECT_EQ(NMailPop3GetMailSize(h, 1), 120);
  // The program allocates a buffer of this size: a size no connection could
  // bring is cut down to what one can.
  const int huge = NMailPop3GetMailSize(h, 3);
  EXPECT_GT(huge, 0);
  EXPECT_LE(huge, 256 * 1024 * 1024);
  Buffers b;
  ASSERT_EQ(b.getMail(h, 2), 0);
  EXPECT_EQ(NMailPop3GetMailSize(h, 2), 340);
  EXPECT_EQ(NMailPop3DeleteMail(h, 2), 0);
  EXPECT_LT(NMailPop3GetMailSize(h, 2), 0);
  EXPECT_EQ(NMailPop3Close(h), 0);
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

// A mail larger than the replies held in memory (256 MB) is written into
// the file named for it as it arrives, with no limit but the disk's; the
// session goes on with the next mail and deletes both.
TEST_F(Pop3Scripted, AMailOverTheInMemoryLimitIsFetchedIntoItsFile) {
  const QByteArray head = "From: a@example.jp\r\nSubject: huge\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                          "Content-Type: text/plain\r\n\r\nsee the file\r\n--b\r\n"
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Transfer-Encoding: base64\r\n"
                          "Content-Disposition: attachment; filename=\"huge.bin\"\r\n\r\n";
  const QByteArray line = QByteArray(76, 'A') + "\r\n";
  QByteArray block;
  while (block.size() < 1024 * 1024)
    block += line;
  const qint64 blocks = 257;
  const QByteArray tail = "--b--\r\n";
  const qint64 size = head.size() + blocks * block.size() + tail.size();
  const QByteArray small = "Subject: small\r\n\r\nafter the huge one\r\n";
  ScriptedServer server([&](Peer &p) {
    p.send("+OK ready");
    for (;;) {
      const QByteArray command = p.readLine();
      if (command == "USER taro" || command == "PASS pw" || command.startsWith("DELE")) {
        p.send("+OK");
      } else if (command == "STAT") {
        p.send("+OK 2 " + QByteArray::number(size + small.size()));
      } else if (command == "LIST") {
        p.send("+OK 2 messages");
        p.send("1 " + QByteArray::number(size));
        p.send("2 " + QByteArray::number(small.size()));
        p.send(".");
      } else if (command == "RETR 1") {
        p.send("+OK");
        p.sendRaw(head);
        for (qint64 i = 0; i < blocks; ++i)
          p.sendRaw(block);
        p.sendRaw(tail + ".\r\n");
      } else if (command == "RETR 2") {
        p.send("+OK");
        p.sendRaw(small + ".\r\n");
      } else if (command == "QUIT") {
        p.send("+OK");
        return;
      } else if (command.isEmpty()) {
        return;
      } else {
        p.send("-ERR not here");
      }
    }
  });
  const int h = NMailPop3Connect(server.address());
  ASSERT_NE(h, -1) << lastErrorText().toStdString();
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
  // The size told for a buffer stays within what memory holds; the mail is
  // fetched all the same.
  QList<int> sizes;
  QStringList ids;
  ASSERT_EQ(NMailPop3GetListing(h, sizes, ids), 2);
  EXPECT_GT(sizes[0], 0);

  QTemporaryDir folder;
  const QString file = folder.filePath(QStringLiteral("huge"));
  ASSERT_EQ(NMailPop3SetMailFile(h, 1, file), 0);
  Buffers b;
  ASSERT_EQ(b.getMail(h, 1), 0) << lastErrorText().toStdString();
  EXPECT_EQ(NMailPop3GetMailFetchedSize(h, 1), size);
  EXPECT_EQ(QFileInfo(file).size(), size);
  EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("huge"));
  ASSERT_TRUE(QFile::remove(file));

  ASSERT_EQ(b.getMail(h, 2), 0) << lastErrorText().toStdString();
  EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("small"));
  EXPECT_EQ(NMailPop3DeleteMail(h, 1), 0);
  EXPECT_EQ(NMailPop3DeleteMail(h, 2), 0);
  EXPECT_EQ(NMailPop3Close(h), 0) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.received().contains(QStringLiteral("DELE 1")));
  EXPECT_TRUE(server.received().contains(QStringLiteral("QUIT")));
}

// The receive routine's calls for each mail (header, size, mail, size,
// delete) cost one RETR per mail; the deletions go out together before QUIT
// when the server offers PIPELINING, one by one when it does not.
TEST_F(Pop3Scripted, OneRetrPerMailAndDeletionsQueuedUntilQuit) {
  for (const bool pipelining : {true, false}) {
    QStringList script =
        loggedIn(2) +
        QStringList{"C: LIST", "S: +OK",          "S: 1 40", "S: 2 40",     "S: .", "C: RETR 1",
                    "S: +OK",  "S: Subject: one", "S: ",     "S: body one", "S: .", "C: RETR 2",
                    "S: +OK",  "S: Subject: two", "S: ",     "S: body two", "S: .", "C: CAPA"};
    if (pipelining)
      script << "S: +OK"
             << "S: USER"
             << "S: PIPELINING"
             << "S: .";
    else
      script << "S: -ERR";
    script << "C: DELE 1"
           << "S: +OK"
           << "C: DELE 2"
           << "S: +OK"
           << "C: QUIT"
           << "S: +OK";
    ScriptedServer server(script);
    const int h = NMailPop3Connect(server.address());
    ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
    for (int n = 1; n <= 2; ++n) {
      Buffers b;
      ASSERT_EQ(NMailPop3GetMailStatus(h, n, b.subject, b.date, b.from, b.header, 0), 0);
      EXPECT_EQ(cutAtNul(b.subject), n == 1 ? QStringLiteral("one") : QStringLiteral("two"));
      EXPECT_EQ(NMailPop3GetMailSize(h, n), 40);
      ASSERT_EQ(b.getMail(h, n), 0);
      EXPECT_TRUE(cutAtNul(b.body).contains(n == 1 ? QStringLiteral("body one")
                                                   : QStringLiteral("body two")));
      EXPECT_EQ(NMailPop3DeleteMail(h, n), 0);
      EXPECT_LT(NMailPop3GetMailSize(h, n), 0) << "a deleted mail has no size";
    }
    EXPECT_FALSE(server.received().contains(QStringLiteral("DELE 1")))
        << "nothing is deleted before the session closes";
    EXPECT_EQ(NMailPop3Close(h), 0);
    server.waitDone();
    EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
  }
}

// A server that offers PIPELINING gets the RETR commands of the next mails
// at once while the program stores one. Their replies are taken in order, a
// refusal among them spoils nothing, a reply still under way is read before
// the session's next command, and a mail fetched ahead but never taken is
// not deleted.
TEST_F(Pop3Scripted, RetrievalsSentAheadAreReadInOrderAndOnlyTakenMailsDeleted) {
  auto mail = [](const char *subject) {
    return QStringList{"S: +OK", QStringLiteral("S: Subject: %1").arg(subject), "S: ",
                       QStringLiteral("S: body %1").arg(subject), "S: ."};
  };
  ScriptedServer server(
      QStringList{"S: +OK ready", "C: CAPA",      "S: +OK",  "S: USER",    "S: PIPELINING",
                  "S: .",         "C: USER taro", "S: +OK",  "C: PASS pw", "S: +OK",
                  "C: STAT",      "S: +OK 4 400", "C: LIST", "S: +OK",     "S: 1 40",
                  "S: 2 40",      "S: 3 40",      "S: 4 40", "S: .",       "C: RETR 1"} +
      mail("one") + QStringList{"C: RETR 2"} + mail("two") +
      QStringList{"C: RETR 3", "S: -ERR in use", "C: RETR 4"} + mail("four") +
      QStringList{"C: RETR 3", "S: -ERR still in use", "C: CAPA", "S: +OK", "S: PIPELINING", "S: .",
                  "C: DELE 1", "S: +OK", "C: DELE 2", "S: +OK", "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 4);
  for (int n = 1; n <= 2; ++n) {
    Buffers b;
    ASSERT_EQ(b.getMail(h, n), 0) << lastErrorText().toStdString();
    EXPECT_EQ(cutAtNul(b.subject), n == 1 ? QStringLiteral("one") : QStringLiteral("two"));
    EXPECT_EQ(NMailPop3DeleteMail(h, n), 0);
  }
  Buffers b;
  EXPECT_LT(b.getMail(h, 3), 0) << "the refusal reaches the call that asks for the mail";
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("still in use")))
      << lastErrorText().toStdString();
  EXPECT_LT(NMailPop3DeleteMail(h, 3), 0) << "a mail never fetched is never deleted";
  EXPECT_EQ(NMailPop3Close(h), 0) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(Pop3Scripted, AttachmentStepUnpacksTheFetchedMessageOnce) {
  static const char bytes[] = "\x00\x01\xff binary \r\n.\r\n";
  const QByteArray payload(bytes, sizeof bytes - 1);
  const QStringList mail = {"S: Subject: with file",
                            "S: MIME-Version: 1.0",
                            "S: Content-Type: multipart/mixed; boundary=\"XX\"",
                            "S: ",
                            "S: --XX",
                            "S: Content-Type: text/plain; charset=US-ASCII",
                            "S: ",
                            "S: see the file",
                            "S: --XX",
                            "S: Content-Type: application/octet-stream; name=\"data.bin\"",
                            "S: Content-Transfer-Encoding: base64",
                            "S: Content-Disposition: attachment; filename=\"data.bin\"",
                            "S: ",
                            "S: " + QString::fromLatin1(payload.toBase64()),
                            "S: --XX--"};
  ScriptedServer server(
      loggedIn(1) + QStringList{"C: LIST", "S: +OK", "S: 1 800", "S: .", "C: RETR 1", "S: +OK"} +
      mail + QStringList{"S: .", "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  Buffers b(2000);
  ASSERT_EQ(b.getMail(h, 1), 0);
  QTemporaryDir folder;
  const QString work = folder.filePath(QStringLiteral("0.txt"));
  // The program passes what it shows; the attachment comes from the message
  // as it was fetched.
  EXPECT_EQ(NMailAttachmentFileFirst(0, cutAtNul(b.subject), {}, {}, cutAtNul(b.header), b.body,
                                     folder.path() + QLatin1Char('/'), work, cutAtNul(b.body), 0),
            NMailAttachmentWritten);
  NMailAttachmentFileClose(0);
  QFile file(folder.filePath(QStringLiteral("data.bin")));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly))
      << QDir(folder.path()).entryList().join(',').toStdString();
  EXPECT_EQ(file.readAll(), payload);
  EXPECT_FALSE(QFile::exists(work)) << "the work file belongs to the program";

  // A second call has no fetched message left: only the text passed counts.
  EXPECT_EQ(NMailAttachmentFileFirst(0, {}, {}, {}, {}, {}, folder.path(), work,
                                     QStringLiteral("Subject: x\r\n\r\nplain text\r\n"), 0),
            NMailAttachmentNone);
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files).size(), 1);
  EXPECT_EQ(NMailPop3Close(h), 0);
}

TEST_F(Pop3Scripted, NulInsideAMailNeverCutsItsText) {
  // "a\0b" as the subject, "first\0second" as the body: the program cuts
  // each buffer at its first NUL, so a NUL in the text would lose the rest.
  ScriptedServer server(
      loggedIn(1) +
      QStringList{"C: LIST", "S: +OK", "S: 1 130", "S: .", "C: RETR 1", "S: +OK",
                  "S: Subject: =?UTF-8?B?YQBi?=", "S: Content-Type: text/plain; charset=UTF-8",
                  "S: Content-Transfer-Encoding: base64", "S: ", "S: Zmlyc3QAc2Vjb25k", "S: .",
                  "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  Buffers b;
  ASSERT_EQ(b.getMail(h, 1), 0) << lastErrorText().toStdString();
  EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("ab"));
  EXPECT_EQ(cutAtNul(b.body), QStringLiteral("firstsecond"));
  EXPECT_EQ(NMailPop3Close(h), 0);
}

TEST_F(Pop3Scripted, TenMegabyteMessageWithLongAndDottedLinesArrivesWhole) {
  // 10 MB of text: dot-stuffed lines and one line far longer than any text
  // buffer first, within the text a mail shows, then ordinary lines.
  QByteArray body = "first line\r\n";
  body += ".a line that starts with a dot\r\n";
  body += ".\r\n"; // a lone dot inside the text
  body += "sent with LF alone\r\n.dotted, sent with LF alone\r\n\r\n";
  body += QByteArray(100000, 'L') + "\r\n";
  const QByteArray line = QByteArray(70, 'x');
  while (body.size() < 10 * 1024 * 1024)
    body += line + "\r\n";
  body += "last line\r\n";
  const QByteArray message =
      "Subject: big\r\nContent-Type: text/plain; charset=US-ASCII\r\n\r\n" + body;

  ScriptedServer server([&](Peer &p) {
    p.send("+OK ready");
    for (const char *reply : {"-ERR", "+OK", "+OK", "+OK 1 99"}) {
      p.readLine();
      p.send(reply);
    }
    p.readLine(); // LIST: far less than it sends, and within what a listing may be off by
    p.sendRaw("+OK\r\n1 99\r\n.\r\n");
    p.readLine(); // RETR 1
    QByteArray wire = "+OK\r\n";
    for (const QByteArray &l : message.split('\n')) {
      if (l.isEmpty())
        continue;
      // The CR is still in l; the empty lines and those that say so go
      // without it, as some servers send them, and arrive with it.
      const QByteArray sent = l.contains("LF alone") || l == "\r" ? l.chopped(1) : l;
      wire += (l.startsWith('.') ? "." : "") + sent + "\n";
    }
    wire += ".\r\n";
    p.sendRaw(wire);
    p.readLine(); // QUIT
    p.send("+OK");
  });
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  Buffers b(message.size());
  // Into a file as it arrives, and the text read back from there.
  QTemporaryDir folder;
  const QString file = folder.filePath(QStringLiteral("mail"));
  ASSERT_EQ(NMailPop3SetMailFile(h, 1, file), 0);
  ASSERT_EQ(b.getMail(h, 1), 0) << lastErrorText().toStdString();
  QFile written(file);
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_TRUE(written.readAll() == message) << "the file is not the message as sent";
  EXPECT_EQ(NMailPop3GetMailFetchedSize(h, 1), message.size());
  EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("big"));
  // The text is the letter's first 256 K characters: the file keeps it whole.
  const QString got = cutAtNul(b.body);
  EXPECT_TRUE(got.startsWith(QStringLiteral("first line\r\n.a line that starts with a dot\r\n.\r\n"
                                            "sent with LF alone\r\n.dotted, sent with LF alone\r\n\r\n") +
                             QString(100000, QLatin1Char('L')) + QStringLiteral("\r\nxxx")));
  EXPECT_TRUE(got.endsWith(QStringLiteral("\r\n") + mime::cutTextNotice()));
  EXPECT_LE(got.size(), mime::MaxReadableChars + 2 + mime::cutTextNotice().size());
  EXPECT_EQ(NMailPop3Close(h), 0);
}

// A file that cannot be written costs that mail, not the session: the rest
// of its reply is read and the next mail comes as usual.
TEST_F(Pop3Scripted, AMailWhoseFileCannotBeWrittenLeavesTheSessionInStep) {
  QByteArray big = "Subject: first\r\n\r\n";
  while (big.size() < 2 * 1024 * 1024)
    big += "filler line of the first mail\r\n";
  QStringList script = loggedIn(2) + QStringList{"C: LIST", "S: +OK",    "S: 1 2097200", "S: 2 40",
                                                 "S: .",    "C: RETR 1", "S: +OK"};
  for (const QByteArray &line : big.split('\n'))
    if (!line.isEmpty())
      script << QStringLiteral("S: ") + QString::fromLatin1(line.chopped(1));
  // The small second mail is fetched ahead while the first one is handled.
  script += QStringList{"S: .", "C: RETR 2", "S: +OK", "S: Subject: second", "S: ", "S: body two",
                        "S: .", "C: QUIT",   "S: +OK"};
  ScriptedServer server(script);
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
  Buffers b;
  QTemporaryDir folder;
  ASSERT_EQ(NMailPop3SetMailFile(h, 1, folder.filePath(QStringLiteral("missing/mail"))), 0);
  EXPECT_EQ(b.getMail(h, 1), NMailMailFileError);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("書き込めませんでした")))
      << lastErrorText().toStdString();
  ASSERT_EQ(b.getMail(h, 2), 0) << lastErrorText().toStdString();
  EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("second"));
  EXPECT_EQ(NMailPop3Close(h), 0);
}

// A large mail comes over the line while the one before is handled. One
// nobody asked for afterwards (the run stopped) leaves no file behind and is
// never deleted on the server.
TEST_F(Pop3Scripted, AMailFetchedAheadButNeverAskedForLeavesNoFileAndStaysOnTheServer) {
  auto bigLines = [](const char *subject) {
    QStringList lines{QStringLiteral("S: Subject: %1").arg(QLatin1String(subject)), "S: "};
    for (int i = 0; i < 8000; ++i)
      lines << QStringLiteral("S: line %1 of a mail larger than the ones fetched whole").arg(i);
    return lines + QStringList{"S: ."};
  };
  ScriptedServer server(loggedIn(2) +
                        QStringList{"C: LIST", "S: +OK", "S: 1 500000", "S: 2 500000", "S: .",
                                    "C: RETR 1", "S: +OK"} +
                        bigLines("first") + QStringList{"C: RETR 2", "S: +OK"} +
                        bigLines("second") +
                        QStringList{"C: DELE 1", "S: +OK", "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
  Buffers b;
  QTemporaryDir folder;
  ASSERT_EQ(NMailPop3SetMailFile(h, 1, folder.filePath(QStringLiteral("one"))), 0);
  ASSERT_EQ(b.getMail(h, 1), 0) << lastErrorText().toStdString();
  EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("first"));
  EXPECT_EQ(NMailPop3DeleteMail(h, 1), 0);
  EXPECT_LT(NMailPop3DeleteMail(h, 2), 0) << "a mail fetched ahead counts as fetched";
  EXPECT_EQ(NMailPop3Close(h), 0) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.received().contains(QStringLiteral("RETR 2"))) << "nothing was fetched ahead";
  EXPECT_FALSE(server.received().contains(QStringLiteral("DELE 2")));
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("one")});
}

// With PIPELINING the small mails after the one asked for are fetched and
// read ahead, each into a file without a name. Each takes the name it is
// asked for under, with its own content; those never asked for (the run
// stopped) leave nothing behind and stay on the server.
TEST_F(Pop3Scripted, MailsReadAheadTakeTheirOwnNamesAndThoseNeverAskedForLeaveNothing) {
  auto mail = [](int n) {
    return QStringList{"S: +OK", QStringLiteral("S: Subject: mail %1").arg(n), "S: ",
                       QStringLiteral("S: body of mail %1").arg(n), "S: ."};
  };
  QStringList script{"S: +OK ready", "C: CAPA",      "S: +OK",  "S: USER",    "S: PIPELINING",
                     "S: .",         "C: USER taro", "S: +OK",  "C: PASS pw", "S: +OK",
                     "C: STAT",      "S: +OK 5 250", "C: LIST", "S: +OK",     "S: 1 50",
                     "S: 2 50",      "S: 3 50",      "S: 4 50", "S: 5 50",    "S: .",
                     "C: RETR 1"};
  script += mail(1);
  for (int n = 2; n <= 5; ++n)
    script += QStringList{QStringLiteral("C: RETR %1").arg(n)} + mail(n);
  script += QStringList{"C: CAPA", "S: +OK", "S: PIPELINING", "S: .", "C: DELE 1", "S: +OK",
                        "C: DELE 2", "S: +OK", "C: DELE 3", "S: +OK", "C: QUIT", "S: +OK"};
  ScriptedServer server(script);
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 5);
  QTemporaryDir folder;
  auto file = [&](int n) { return folder.filePath(QStringLiteral("m%1").arg(n)); };
  for (int n = 1; n <= 3; ++n) {
    ASSERT_EQ(NMailPop3SetMailFile(h, n, file(n)), 0);
    ASSERT_EQ(NMailPop3SetMailFile(h, n + 1, file(n + 1)), 0);
    Buffers b;
    ASSERT_EQ(b.getMail(h, n), 0) << lastErrorText().toStdString();
    EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("mail %1").arg(n));
    QFile stored(file(n));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), QStringLiteral("Subject: mail %1\r\n\r\nbody of mail %1\r\n")
                                    .arg(n)
                                    .toLatin1());
    EXPECT_EQ(NMailPop3DeleteMail(h, n), 0);
  }
  EXPECT_EQ(NMailPop3Close(h), 0) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList({QStringLiteral("m1"), QStringLiteral("m2"), QStringLiteral("m3")}));
}

// The receive routine names the next mail's file before it asks for this
// one, and hands deletions over without waiting: the next mail, small or
// large, is fetched into its file while this one is stored and is read from
// there; never asked for, the file goes and the mail stays on the server.
TEST_F(Pop3Scripted, AMailFetchedAheadIntoItsNamedFileIsReadFromItOrRemoved) {
  for (const bool large : {false, true})
    for (const bool asked : {true, false}) {
      SCOPED_TRACE(std::string(large ? "large" : "small") +
                   (asked ? ", asked for" : ", never asked for"));
      QStringList second{"S: Subject: two", "S: "};
      QByteArray secondBytes = "Subject: two\r\n\r\n";
      for (int i = 0; i < (large ? 8000 : 1); ++i) {
        const QString line = QStringLiteral("line %1 of the second mail").arg(i);
        second << QStringLiteral("S: ") + line;
        secondBytes += line.toLatin1() + "\r\n";
      }
      const QString size = large ? QStringLiteral("500000") : QStringLiteral("40");
      QStringList script =
          loggedIn(2) +
          QStringList{"C: LIST", "S: +OK",      "S: 1 40", QStringLiteral("S: 2 ") + size,
                      "S: .",    "C: RETR 1",   "S: +OK",  "S: Subject: one",
                      "S: ",     "S: body one", "S: .",    "C: RETR 2",
                      "S: +OK"} +
          second + QStringList{"S: ."};
      if (asked)
        script << "C: CAPA"
               << "S: -ERR"
               << "C: DELE 1"
               << "S: +OK"
               << "C: DELE 2"
               << "S: +OK";
      else
        script << "C: DELE 1"
               << "S: +OK";
      script << "C: QUIT"
             << "S: +OK";
      ScriptedServer server(script);
      const int h = NMailPop3Connect(server.address());
      ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
      QTemporaryDir folder;
      const QString two = folder.filePath(QStringLiteral("two"));
      ASSERT_EQ(NMailPop3SetMailFile(h, 1, folder.filePath(QStringLiteral("one"))), 0);
      ASSERT_EQ(NMailPop3SetMailFile(h, 2, two), 0);
      Buffers b;
      ASSERT_EQ(b.getMail(h, 1), 0) << lastErrorText().toStdString();
      EXPECT_EQ(NMailPop3DeleteMailLater(h, 1), 0);
      if (asked) {
        ASSERT_EQ(NMailPop3SetMailFile(h, 2, two), 0);
        ASSERT_EQ(b.getMail(h, 2), 0) << lastErrorText().toStdString();
        EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("two"));
        EXPECT_TRUE(cutAtNul(b.body).contains(QStringLiteral("line 0 of the second mail")));
        EXPECT_EQ(NMailPop3GetMailFetchedSize(h, 2), secondBytes.size());
        QFile file(two);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), secondBytes);
      }
      // Without having been asked for, fetched ahead only: the DELE is refused.
      EXPECT_EQ(NMailPop3DeleteMailLater(h, 2), 0);
      EXPECT_EQ(NMailPop3Close(h), 0) << lastErrorText().toStdString();
      server.waitDone();
      EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
      EXPECT_EQ(QFileInfo::exists(two), asked);
    }
}

TEST_F(Pop3Scripted, UnterminatedMultiLineReplyFailsAfterTheTimeout) {
  setNetworkTimeoutMs(400);
  ScriptedServer server(loggedIn(1) + QStringList{"C: LIST", "S: +OK", "S: 1 30", "S: .",
                                                  "C: RETR 1", "S: +OK", "S: Subject: x",
                                                  "S: ", "S: no end", "silence"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  Buffers b;
  EXPECT_LT(b.getMail(h, 1), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("応答がありませんでした")))
      << lastErrorText().toStdString();
  EXPECT_LT(NMailPop3DeleteMail(h, 1), 0);
  NMailPop3Close(h);
}

TEST_F(Pop3Scripted, ApopWithoutTimestampFailsWithoutSendingThePassword) {
  for (const char *greeting : {"S: +OK POP3 ready", "S: +OK POP3 ready <>"}) {
    SCOPED_TRACE(greeting);
    ScriptedServer server(QStringList{greeting, "C: CAPA", "S: -ERR", "C: QUIT", "S: +OK"});
    const int h = NMailPop3Connect(server.address());
    ASSERT_NE(h, -1);
    EXPECT_LT(NMailPop3Authenticate(h, "taro", "secret", -1), 0);
    EXPECT_TRUE(lastErrorText().contains(QStringLiteral("APOP"))) << lastErrorText().toStdString();
    EXPECT_EQ(NMailPop3Close(h), 0);
    server.waitDone();
    for (const QString &line : server.received())
      EXPECT_FALSE(line.contains(QStringLiteral("secret")) ||
                   line.startsWith(QStringLiteral("APOP")) ||
                   line.startsWith(QStringLiteral("USER")))
          << "no digest without a timestamp, and no fallback to a plaintext login: "
          << line.toStdString();
  }
}

TEST_F(Pop3Scripted, ApopDigestIsTheOneOfRfc1939) {
  ScriptedServer server(
      QStringList{"S: +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>", "C: CAPA",
                  "S: -ERR", "C: APOP mrose c4c9334bac560ecc979e58001b3e22fb",
                  "S: +OK maildrop has 1 message", "C: STAT", "S: +OK 1 369", "C: QUIT", "S: +OK"});
  // By name: every address of "localhost" is tried until one answers.
  const int h = NMailPop3Connect(QStringLiteral("localhost:%1").arg(server.port()));
  EXPECT_EQ(NMailPop3Authenticate(h, "mrose", "tanstaaf", -1), 1) << lastErrorText().toStdString();
  EXPECT_EQ(NMailPop3Close(h), 0);
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(Pop3Scripted, UnknownHandlesAndNumbersFailCleanly) {
  Buffers b;
  EXPECT_LT(NMailPop3Authenticate(42, "u", "p", 0), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("42")));
  EXPECT_LT(NMailPop3GetMailStatus(42, 1, b.subject, b.date, b.from, b.header, 0), 0);
  EXPECT_LT(NMailPop3GetMailSize(42, 1), 0);
  EXPECT_LT(b.getMail(42, 1), 0);
  EXPECT_LT(NMailPop3DeleteMail(42, 1), 0);
  EXPECT_LT(NMailPop3Close(42), 0);
  EXPECT_LT(NMailPop3Close(-1), 0);

  ScriptedServer server(loggedIn(2) + QStringList{"C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_GE(h, 0);
  EXPECT_LT(NMailPop3GetMailSize(h, 1), 0) << "nothing before authentication";
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
  EXPECT_LT(NMailPop3Authenticate(h, "taro", "pw", 0), 0) << "a second login on one session";
  EXPECT_LT(NMailPop3GetMailSize(h, 0), 0);
  EXPECT_LT(NMailPop3GetMailSize(h, 3), 0);
  EXPECT_EQ(NMailPop3Close(h), 0);
  EXPECT_LT(NMailPop3Close(h), 0) << "a closed handle is gone";
  server.waitDone();
  EXPECT_TRUE(server.mismatches().isEmpty()) << server.mismatches().join(';').toStdString();
}

TEST_F(Pop3Scripted, LineBreaksInCredentialsNeverReachTheWire) {
  ScriptedServer server(QStringList{"S: +OK ready", "C: CAPA", "S: -ERR", "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  EXPECT_LT(NMailPop3Authenticate(h, "taro\r\nDELE 1", "pw", 0), 0);
  EXPECT_LT(NMailPop3Authenticate(h, "taro", "pw\r\nDELE 1", 0), 0);
  NMailPop3Close(h);
  server.waitDone();
  EXPECT_EQ(server.received(), QStringList({"CAPA", "QUIT"}));
}

TEST_F(Pop3Scripted, PinnedServerThatOffersNoStlsGetsNoPassword) {
  ScriptedServer server(
      QStringList{"S: +OK ready", "C: CAPA", "S: +OK", "S: USER", "S: .", "silence"});
  EXPECT_EQ(NMailPop3Connect(server.address() + QStringLiteral("#sha256=") +
                             QString(64, QLatin1Char('a'))),
            -1);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("STLS"))) << lastErrorText().toStdString();
  server.waitDone();
  EXPECT_EQ(server.received(), QStringList({"CAPA"}));
}

TEST_F(Pop3Scripted, TextBuffersAreCutAndNulTerminated) {
  const QString longSubject(20000, QLatin1Char('s'));
  // A mail this large is not fetched whole for its header.
  ScriptedServer server(loggedIn(1) + QStringList{"C: LIST", "S: +OK", "S: 1 300000", "S: .",
                                                  "C: TOP 1 0", "S: +OK",
                                                  QStringLiteral("S: Subject: ") + longSubject,
                                                  "S: ", "S: .", "C: TOP 1 0", "S: +OK",
                                                  QStringLiteral("S: Subject: ") + longSubject,
                                                  "S: ", "S: .", "C: QUIT", "S: +OK"});
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  Buffers b;
  b.date = QString(); // a buffer the caller forgot to size still gets its NUL
  ASSERT_EQ(NMailPop3GetMailStatus(h, 1, b.subject, b.date, b.from, b.header, 0), 0);
  EXPECT_EQ(b.subject.size(), NMailBufferSize);
  EXPECT_EQ(cutAtNul(b.subject), QString(NMailBufferSize - 1, QLatin1Char('s')));
  EXPECT_LE(b.header.size(), NMailBufferSize);
  EXPECT_EQ(b.date, QString(QChar(0)));

  // Option 1 is the size of the program's text buffers.
  EXPECT_EQ(NMailSetOption(1, 100), 0);
  ASSERT_EQ(NMailPop3GetMailStatus(h, 1, b.subject, b.date, b.from, b.header, 0), 0);
  EXPECT_EQ(cutAtNul(b.subject).size(), 99);
  EXPECT_EQ(NMailSetOption(1, 1 << 20), 0);
  EXPECT_EQ(NMailPop3Close(h), 0);

  // The message text honours the length the caller passes.
  QString small(10, QLatin1Char(' '));
  int length = 10;
  NMailPop3Close(77);
  NMailGetMessage(0, small, length);
  EXPECT_EQ(small.size(), 10);
  EXPECT_EQ(small.at(9), QChar(0));
  EXPECT_EQ(cutAtNul(small).size(), 9);
}

} // namespace

// What a server lists is a hint, and the user may stop at any moment. A
// reply far past its listed size, one that never ends however steadily it
// comes, and one the user stops (中止, or the window closing) while the
// server sends without a pause, is cut: the mail stays on the server, its
// file goes, and the user reads why. A reply that does end within twice its
// budget is read to its end and thrown away, and the session goes on;
// otherwise it ends without QUIT and nothing is deleted. A session opened
// after a 中止 is as any.
TEST_F(Pop3Scripted, AReplyPastItsBudgetOrStoppedIsCutAndItsMailLeftOnTheServer) {
  setNetworkTimeoutMs(300);
  enum Stop { None, User, Window };
  struct Case {
    const char *name;
    qint64 bytes;
    int pauseMs;
    Stop stop;
    const char *said;
  };
  for (const Case &c : {Case{"中止", -1, 0, User, "中止しました"},
                        Case{"window closing", -1, 0, Window, "中止しました"},
                        Case{"endless flood", -1, 0, None, "はるかに大きく"},
                        Case{"endless trickle", -1, 100, None, "秒以内に終わらなかった"},
                        Case{"20 MB, then its end", 20 << 20, 0, None, "はるかに大きく"}}) {
    SCOPED_TRACE(c.name);
    const bool sessionGoesOn = c.bytes > 0;
    ScriptedServer server(testsupport::pop3Mailbox(
        QList<QByteArray>(2), Pop3MailboxOptions{1000, false, [&](Peer &p, int number) {
                                                   if (number == 2)
                                                     return sendFiller(p, 2, 10);
                                                   sendFiller(p, 1, c.bytes, c.pauseMs, [&] {
                                                     if (c.stop == User)
                                                       stopReceiving();
                                                     else if (c.stop == Window)
                                                       setWaitsInterrupted(true);
                                                   });
                                                 }}));
    const int h = NMailPop3Connect(server.address());
    ASSERT_NE(h, -1) << lastErrorText().toStdString();
    ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 2);
    QTemporaryDir folder;
    const QString one = folder.filePath(QStringLiteral("one"));
    ASSERT_EQ(NMailPop3SetMailFile(h, 1, one), 0);
    Buffers b;
    EXPECT_EQ(b.getMail(h, 1), c.stop == None ? NMailMailBeyondListing : -1);
    const QString said = lastErrorText();
    EXPECT_TRUE(said.contains(QString::fromUtf8(c.said)) &&
                (c.stop != None || said.contains(QStringLiteral("サーバーに残してあります"))))
        << said.toStdString();
    EXPECT_FALSE(QFile::exists(one)) << "a cut mail was left in its file";
    EXPECT_LT(NMailPop3DeleteMail(h, 1), 0);
    if (sessionGoesOn) {
      ASSERT_EQ(b.getMail(h, 2), 0) << lastErrorText().toStdString();
      EXPECT_EQ(NMailPop3DeleteMail(h, 2), 0);
    }
    EXPECT_EQ(NMailPop3Close(h) == 0, sessionGoesOn) << lastErrorText().toStdString();
    setWaitsInterrupted(false);
    server.waitDone();
    EXPECT_FALSE(server.received().contains(QStringLiteral("DELE 1")));
    EXPECT_EQ(server.received().contains(QStringLiteral("QUIT")), sessionGoesOn);
  }
}

// The mailbox drains whole, fetched as the receive routine fetches (each
// mail's file named while the one before is fetched), whatever the server
// lists or refuses to list: mails listed at 1,000 octets and sent at 12 MB
// are never held in memory (eight of them raised the peak by 129 MB), and
// with PIPELINING and the whole listing refused, no mail's LIST n waits for
// the reply to a RETR not yet sent.
TEST_F(Pop3Scripted, EveryMailArrivesAndNoneIsHeldInMemoryWhateverTheListingSays) {
  struct Case {
    const char *name;
    int mails;
    bool pipelining;
    qint64 sent;
  };
  for (const Case &c : {Case{"listed 1,000 octets, sent 12 MB", 8, false, 12 << 20},
                        Case{"PIPELINING, LIST refused", 3, true, 40}}) {
    SCOPED_TRACE(c.name);
    if (!testsupport::resetPeakMemory())
      GTEST_SKIP() << "the kernel keeps this process's peak memory";
    const long beforeKb = testsupport::statusKb("VmHWM:");
    ScriptedServer server(
        testsupport::pop3Mailbox(QList<QByteArray>(c.mails),
                                 Pop3MailboxOptions{1000, c.pipelining, [&](Peer &p, int number) {
                                                      sendFiller(p, number, c.sent);
                                                    }}));
    const int h = NMailPop3Connect(server.address());
    ASSERT_NE(h, -1) << lastErrorText().toStdString();
    ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), c.mails);
    QList<int> sizes;
    QStringList ids;
    ASSERT_EQ(NMailPop3GetListing(h, sizes, ids), c.mails);
    QTemporaryDir folder;
    auto file = [&](int n) { return folder.filePath(QStringLiteral("m%1").arg(n)); };
    for (int n = 1; n <= c.mails; ++n) {
      ASSERT_EQ(NMailPop3SetMailFile(h, n, file(n)), 0);
      if (n < c.mails)
        ASSERT_EQ(NMailPop3SetMailFile(h, n + 1, file(n + 1)), 0);
      Buffers b;
      ASSERT_EQ(b.getMail(h, n), 0) << lastErrorText().toStdString();
      EXPECT_EQ(cutAtNul(b.subject), QStringLiteral("mail %1").arg(n));
      EXPECT_GT(QFileInfo(file(n)).size(), c.sent);
      ASSERT_TRUE(QFile::remove(file(n)));
      EXPECT_EQ(NMailPop3DeleteMailLater(h, n), 0);
    }
    EXPECT_EQ(NMailPop3Close(h), 0) << lastErrorText().toStdString();
    const long grownKb = testsupport::statusKb("VmHWM:") - beforeKb;
    EXPECT_LT(grownKb, 48 * 1024) << "the peak grew by " << grownKb / 1024 << " MB";
    server.waitDone();
    EXPECT_TRUE(server.received().contains(QStringLiteral("DELE %1").arg(c.mails)));
  }
}

// A listing that never ends, however steadily its lines come, is given up.
TEST_F(Pop3Scripted, AListingThatNeverEndsIsGivenUp) {
  setNetworkTimeoutMs(300);
  ScriptedServer server([](Peer &p) {
    p.answerCommands("+OK ready", [&](const QByteArray &line) {
      if (line == "LIST")
        sendFiller(p, 1, -1, 100);
      else
        p.send(line == "STAT" ? "+OK 1 100" : line == "CAPA" ? "-ERR" : "+OK");
      return line != "LIST";
    });
  });
  const int h = NMailPop3Connect(server.address());
  ASSERT_EQ(NMailPop3Authenticate(h, "taro", "pw", 0), 1);
  EXPECT_LT(NMailPop3GetMailSize(h, 1), 0);
  EXPECT_TRUE(lastErrorText().contains(QStringLiteral("秒以内に終わらなかった")))
      << lastErrorText().toStdString();
  NMailPop3Close(h);
}
