// The receive routine against the real Dovecot of tests/servers: mail goes
// from the server into the received history and the viewer, and leaves the
// server only once it is stored.
#include "editor/editorpane.h"
#include "mail/certpins.h"
#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/store/originals.h"
#include "mail/receive.h"
#include "mail/store/searchindex.h"
#include "mail/tyakuform.h"
#include "mail/store/uidljournal.h"
#include "mail/unpack.h"
#include "platform/clipboard.h"
#include "platform/core/paths.h"
#include "settings/config.h"
#include "settings/idpassform.h"
#include "tests/support/hostilemail.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/procstatus.h"
#include "tests/support/programfolder.h"
#include "tests/support/scriptedserver.h"
#include "tests/support/servers.h"
#include "tests/mail/receivefixture.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

using namespace mail;
using namespace receivetest;
using testsupport::MailServers;

namespace {

const QString Notice =
    QStringLiteral("♪♪♪　添付ファイルがありましので、添付フォルダに展開しました。♪♪♪");

QByteArray partialMail(int number, int total, const QByteArray &content) {
  return "From: Taro <taro@example.jp>\r\n"
         "To: alice@korvex.test\r\n"
         "Subject: big file (" + QByteArray::number(number) + "/" + QByteArray::number(total) + ")\r\n"
         "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\n"
         "Message-ID: <part" + QByteArray::number(number) + ".split@example.jp>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: message/partial; id=\"split-1@example.jp\"; number=" +
         QByteArray::number(number) + "; total=" + QByteArray::number(total) + "\r\n"
         "\r\n" + content;
}

// The mails a scripted server was told to delete, by number.
QList<int> deletedOn(const testsupport::ScriptedServer &server) {
  QList<int> numbers;
  for (const QString &line : server.received())
    if (line.startsWith(QStringLiteral("DELE "), Qt::CaseInsensitive))
      numbers << line.mid(5).toInt();
  return numbers;
}

} // namespace

TEST_F(Receive, ThreeMailsAreStoredInServerOrderShownAndDeleted) {
  seedInOrder({plainMail("first", "one"), plainMail("second", "two"), plainMail("third", "three")});
  ASSERT_EQ(servers->messageCount(User), 3);
  // What a killed delivery left in tmp/ two days ago goes; what another
  // delivery writes now stays.
  QStringList stale, fresh;
  for (History which : {History::Received, History::Sent}) {
    const mail::Maildir kept = originalsFolder(which);
    ASSERT_TRUE(kept.ensure());
    stale << kept.root() + QStringLiteral("/tmp/1.M1P1Q1.host,S=10");
    fresh << kept.root() + QStringLiteral("/tmp/2.M2P2Q2.host,S=10");
    for (const QString &path : {stale.last(), fresh.last()}) {
      QFile part(path);
      ASSERT_TRUE(part.open(QIODevice::WriteOnly));
      part.write("From: cut");
    }
    QFile old(stale.last());
    ASSERT_TRUE(old.open(QIODevice::ReadWrite));
    ASSERT_TRUE(old.setFileTime(QDateTime::currentDateTimeUtc().addDays(-2),
                                QFileDevice::FileModificationTime));
  }

  ReceiveMail(host);
  for (const QString &path : stale)
    EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
  for (const QString &path : fresh)
    EXPECT_TRUE(QFile::exists(path)) << path.toStdString();

  const QList<MailRecord> records = received();
  ASSERT_EQ(records.size(), 3);
  EXPECT_EQ(records[0].Subject, QStringLiteral("first"));
  EXPECT_EQ(records[1].Subject, QStringLiteral("second"));
  EXPECT_EQ(records[2].Subject, QStringLiteral("third"));
  EXPECT_TRUE(records[2].Info1.contains(QStringLiteral("taro@example.jp")));
  EXPECT_TRUE(records[2].Info2.contains(QStringLiteral("7 Dec 2026")));
  EXPECT_TRUE(records[2].Body.startsWith(QStringLiteral("three")));
  EXPECT_EQ(records[2].Flag, 1);

  TyakuForm *f = viewer();
  ASSERT_EQ(f->List1->count(), 3);
  EXPECT_TRUE(f->List1->item(0)->text().startsWith(QStringLiteral("  first          ")));
  EXPECT_EQ(f->Text9->text(), QStringLiteral("third"));
  EXPECT_EQ(f->rowSource(2).history, History::Received);
  EXPECT_EQ(f->rowSource(2).record, 3);
  EXPECT_FALSE(f->isVisible());

  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_EQ(host.helpTexts, QStringList{QStringLiteral("メールのチェックをしています。")});
  // The progress of the run, then its outcome.
  EXPECT_EQ(host.statusTexts,
            (QStringList{QStringLiteral("受信中 1/3"), QStringLiteral("受信中 2/3"),
                         QStringLiteral("受信中 3/3"), QStringLiteral("新着メール有り。")}));
  EXPECT_EQ(host.restored, 1);
  EXPECT_EQ(host.hangUps, 0);
  EXPECT_TRUE(host.runningSeen);
  EXPECT_FALSE(receiveRunning());
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_FALSE(QFile::exists(workFilePath()));
  // The account is taken from the file at every check.
  EXPECT_EQ(settings::AccountId, User);
  EXPECT_EQ(forms::idPassForm().get()->IdText->text(), User);
}

TEST_F(Receive, RefusedLoginShowsTheLibrarysTextAndStoresNothing) {
  ASSERT_TRUE(servers->seed(User, plainMail("kept", "body")));
  setAccount(User, QStringLiteral("wrong password"));
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_FALSE(boxes.boxes()[0].text.trimmed().isEmpty());
  EXPECT_EQ(viewer()->List1->count(), 0);
  EXPECT_TRUE(received().isEmpty());
  EXPECT_EQ(servers->messageCount(User), 1);
  EXPECT_EQ(host.statusTexts, QStringList{QStringLiteral("チェックに失敗しました。")});
  EXPECT_EQ(host.restored, 0);
}

TEST_F(Receive, NothingToFetch) {
  // No POP3 server set: no connection, no help text, but the hang-up still runs.
  settings::Pop3Server.clear();
  host.hangUpModeOn = true;
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(host);
  ASSERT_EQ(boxes.boxes().size(), 1); // the reason, not a silent "no mail"
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  boxes.clear();
  EXPECT_TRUE(host.helpTexts.isEmpty());
  EXPECT_EQ(host.statusTexts, QStringList{QStringLiteral("チェックに失敗しました。")});
  EXPECT_EQ(host.hangUps, 1);
  EXPECT_FALSE(forms::tyakuForm().loaded());

  // An empty mailbox: the check says so quietly.
  settings::Pop3Server = pop3Setting();
  host.statusTexts.clear();
  ReceiveMail(host);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(host.statusTexts, QStringList{QStringLiteral("新着メール無し。")});
  EXPECT_EQ(host.hangUps, 2);
  EXPECT_EQ(host.restored, 0);
}

TEST_F(Receive, MissingPasswordOpensTheAccountDialogInstead) {
  ASSERT_TRUE(servers->seed(User, plainMail("kept", "body")));
  setAccount(User, QString());
  ReceiveMail(host);
  EXPECT_TRUE(forms::idPassForm().get()->isVisible());
  EXPECT_EQ(forms::idPassForm().get()->IdText->text(), User);
  EXPECT_TRUE(forms::idPassForm().get()->PassText->text().isEmpty());
  EXPECT_TRUE(received().isEmpty());
  EXPECT_EQ(servers->messageCount(User), 1);
  EXPECT_EQ(host.statusTexts, QStringList{QStringLiteral("チェックに失敗しました。")});
}

TEST_F(Receive, OnlyTheLowerCaseWordAttachmentAddsTheNotice) {
  seedInOrder({plainMail("upper", "See the Attachment below."),
               plainMail("lower", "The attachment did not make it.")});
  ReceiveMail(host);
  const QList<MailRecord> records = received();
  ASSERT_EQ(records.size(), 2);
  EXPECT_FALSE(records[0].Body.contains(Notice));
  EXPECT_TRUE(records[1].Body.endsWith(QStringLiteral("\r\n") + Notice));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(Receive, TwoPartsOfASplitMailAreStoredAndReportedIncomplete) {
  seedInOrder({partialMail(1, 3, "Content-Type: text/plain\r\n\r\nfirst third\r\n"),
               partialMail(2, 3, "second third\r\n")});
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  ASSERT_EQ(boxes.boxes().size(), 2);
  for (const auto &box : boxes.boxes()) {
    EXPECT_EQ(box.text, QStringLiteral("分割されたメールが全て揃っていません"));
    EXPECT_TRUE(box.title.isEmpty()); // the program's title
  }
  EXPECT_EQ(received().size(), 2);
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_FALSE(QFile::exists(workFilePath()));

  // The last part completes the set: the joined mail is kept whole in the
  // Maildir beside the three parts, and flushed with them before QUIT.
  seedInOrder({partialMail(3, 3, "third third\r\n")});
  boxes.clear();
  flushedSince();
  ReceiveMail(host);
  const QStringList flushed = flushedSince();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(servers->messageCount(User), 0);
  const QString fresh = originalsFolder(History::Received).root() + QStringLiteral("/new/");
  QStringList joined;
  for (const QString &name : QDir(fresh).entryList(QDir::Files)) {
    QFile f(fresh + name);
    if (f.open(QIODevice::ReadOnly) &&
        f.readAll().contains("first third\r\nsecond third\r\nthird third"))
      joined << fresh + name;
  }
  ASSERT_EQ(joined.size(), 1);
  EXPECT_TRUE(flushed.contains(joined[0]));
}

// The user closes the viewer while a box of the unpack step is up; the
// run goes on with a fresh (hidden) viewer instead of the deleted one.
TEST_F(Receive, ClosingTheViewerDuringABoxDoesNotBreakTheRun) {
  struct ClosingBoxes final : platform::MessageBoxBackend {
    int shown = 0;
    platform::MsgAnswer show(QWidget *, const platform::MessageBoxRequest &) override {
      ++shown;
      delete forms::tyakuForm().get();
      return platform::MsgAnswer::Ok;
    }
  } closing;
  seedInOrder({partialMail(1, 2, "Content-Type: text/plain\r\n\r\nfirst half\r\n"),
               plainMail("after", "body")});
  platform::setMessageBoxBackend(&closing);
  ReceiveMail(host);
  platform::setMessageBoxBackend(&boxes);

  EXPECT_EQ(closing.shown, 1);
  EXPECT_EQ(received().size(), 2);
  EXPECT_EQ(servers->messageCount(User), 0);
  ASSERT_TRUE(forms::tyakuForm().loaded());
  EXPECT_EQ(viewer()->Text9->text(), QStringLiteral("after"));
}

TEST_F(Receive, AMailThatCannotBeStoredStaysOnTheServer) {
  seedInOrder({plainMail("first", "one"), plainMail("second", "two")});
  // A history that can't be opened for writing (a folder in its place; file
  // permissions would not stop a test run as root).
  ASSERT_TRUE(QDir(folder->dataPath()).mkdir(QStringLiteral("qlmdata2.data")));
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("着信履歴")));
  EXPECT_EQ(servers->messageCount(User), 2);
  EXPECT_EQ(viewer()->List1->count(), 0);
  EXPECT_FALSE(QFile::exists(workFilePath()));

  // Once the history can be written again, the next check fetches both.
  ASSERT_TRUE(QDir(folder->dataPath()).rmdir(QStringLiteral("qlmdata2.data")));
  boxes.clear();
  ReceiveMail(host);
  EXPECT_EQ(received().size(), 2);
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// The server deletes at QUIT: what the run unpacked (an attachment, the
// kept part of a split mail and its folders) is flushed to the disk before,
// and when that fails the mails stay on the server.
TEST_F(Receive, UnpackedFilesReachTheDiskBeforeTheServerDeletes) {
  const QByteArray withFile =
      "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: report\r\n"
      "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nsee the file\r\n"
      "--b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=\"flushed.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n--b--\r\n";
  const QList<QByteArray> mails{withFile,
                                partialMail(1, 2, "Content-Type: text/plain\r\n\r\nfirst half\r\n")};
  auto flushedPaths = [] { return flushedSoFar(); };
  auto flushedOne = [&](const QString &tail) {
    for (const QString &p : flushedPaths())
      if (p.endsWith(tail))
        return true;
    return false;
  };

  // The flush of the attachment fails: the session ends without QUIT.
  seedInOrder(mails);
  flushedSince();
  failFlushesOf(QStringLiteral("flushed.bin"));
  boxes.pushAnswer(platform::MsgAnswer::Ok); // 分割されたメールが全て揃っていません
  boxes.pushAnswer(platform::MsgAnswer::Ok); // kept on the server
  ReceiveMail(host);
  failFlushesOf({});
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("flushed.bin"))) << boxes.boxes()[1].text.toStdString();
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("サーバーに残してあります")));
  EXPECT_EQ(servers->messageCount(User), 2);

  // Flushed: every file and folder the run wrote, then the server deletes.
  ASSERT_TRUE(servers->clear(User));
  ASSERT_TRUE(QDir(folder->attachmentPath()).removeRecursively());
  ASSERT_TRUE(QDir().mkpath(folder->attachmentPath()));
  seedInOrder(mails);
  flushedSince();
  boxes.clear();
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(host);
  EXPECT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_TRUE(flushedOne(QStringLiteral("/flushed.bin")));
  EXPECT_TRUE(flushedOne(QStringLiteral("/1.eml")));
  EXPECT_TRUE(flushedOne(QStringLiteral("/.partial")));
  EXPECT_TRUE(flushedOne(QStringLiteral(u"/添付フォルダ")));
  // So are the mails kept whole in the Maildir; when one of them cannot be
  // flushed, every mail of the run stays on the server.
  const QString fresh = originalsFolder(History::Received).root() + QStringLiteral("/new");
  int keptAndFlushed = 0;
  for (const QString &name : QDir(fresh).entryList(QDir::Files))
    keptAndFlushed += flushedOne(QStringLiteral("/new/") + name) ? 1 : 0;
  EXPECT_EQ(keptAndFlushed, 2) << "the two mails of this run";
  seedInOrder({plainMail("third", "run")});
  failFlushesOf(QStringLiteral("/Maildir/new/"));
  boxes.clear();
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(host);
  failFlushesOf({});
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サーバーに残してあります")));
  EXPECT_EQ(servers->messageCount(User), 1);
}

TEST_F(Receive, AMailWhoseAttachmentCannotBeWrittenStaysOnTheServer) {
  const QByteArray withFile =
      "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: report\r\n"
      "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nsee the file\r\n"
      "--b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=\"r.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n--b--\r\n";
  seedInOrder({plainMail("first", "one"), withFile, plainMail("third", "three")});
  // The attachment folder is gone: the file has nowhere to go.
  ASSERT_TRUE(QDir(folder->attachmentPath()).removeRecursively());
  boxes.pushAnswer(platform::MsgAnswer::Ok); // 添付ファイルをオープンできません
  boxes.pushAnswer(platform::MsgAnswer::Ok); // kept on the server

  ReceiveMail(host);

  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("添付ファイルをオープンできません"));
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("サーバーに残してあります")));
  ASSERT_EQ(received().size(), 1);
  EXPECT_EQ(received()[0].Subject, QStringLiteral("first"));
  EXPECT_EQ(servers->messageCount(User), 2);
  EXPECT_FALSE(QDir(folder->attachmentPath()).exists());

  // With the folder back, the next check takes both and the file arrives.
  ASSERT_TRUE(QDir().mkpath(folder->attachmentPath()));
  boxes.clear();
  ReceiveMail(host);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(received().size(), 3);
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_TRUE(QFile::exists(folder->attachmentPath() + QStringLiteral("/r.bin")));
}

TEST_F(Receive, AServerThatCannotBeReachedIsReportedUnderError) {
  settings::Pop3Server = QStringLiteral("127.0.0.1:1"); // nothing listens on port 1
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  EXPECT_EQ(host.helpTexts, QStringList{QStringLiteral("メールのチェックをしています。")});
  EXPECT_EQ(host.statusTexts, QStringList{QStringLiteral("チェックに失敗しました。")});
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("接続を拒否されました")));
}

TEST_F(Receive, AFullHistoryStopsTheRunAndKeepsTheRestOnTheServer) {
  seedInOrder({plainMail("first", "one"), plainMail("second", "two")});
  {
    QFile f(historyPath(History::Received));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(qint64(MailLayout::MaxRecords - 1) * MailLayout::RecordLength));
  }
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  // The first mail takes the last free record; the second stays on the server.
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(historyCount(History::Received), MailLayout::MaxRecords);
  EXPECT_EQ(readHistoryRecord(History::Received, MailLayout::MaxRecords)->Subject, QStringLiteral("first"));
  EXPECT_EQ(servers->messageCount(User), 1);
  EXPECT_EQ(viewer()->List1->count(), 1);
}

TEST_F(Receive, AMailWithAnEmptyBodyIsStillReceived) {
  ASSERT_TRUE(servers->seed(User, "From: taro@example.jp\r\nSubject: empty\r\n"
                                  "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\n\r\n"));
  ReceiveMail(host);
  const QList<MailRecord> records = received();
  ASSERT_EQ(records.size(), 1);
  EXPECT_EQ(records[0].Subject, QStringLiteral("empty"));
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// Regression: a page of nested formatting tags and a mail of 3,000
// attachments of one name took the check 51 s and 3.1 GB, and a slightly
// larger page killed it before anything was stored. Every mail of the run
// is stored, every attachment kept, the server emptied.
TEST_F(Receive, MailsBuiltToHurtTheReaderAreStoredWithTheRest) {
  seedInOrder(testsupport::hostileMails());
  ReceiveMail(host);

  const QList<MailRecord> records = received();
  ASSERT_EQ(records.size(), 4);
  EXPECT_EQ(records[0].Subject, QStringLiteral("page"));
  EXPECT_TRUE(records[0].Body.startsWith(QStringLiteral("word\r\nword\r\n")));
  EXPECT_EQ(records[1].Subject, QStringLiteral("attachments"));
  EXPECT_EQ(records[2].Subject, QStringLiteral("letter 1"));
  EXPECT_TRUE(records[3].Body.startsWith(QStringLiteral("Dear Alice,\r\nletter 2")));
  const QDir attachments(platform::attachmentFolder());
  EXPECT_EQ(attachments.entryList({QStringLiteral("photo*.jpg")}, QDir::Files).size(), 3000);
  QFile last(attachments.filePath(QStringLiteral("photo (3000).jpg")));
  ASSERT_TRUE(last.open(QIODevice::ReadOnly));
  EXPECT_EQ(last.readAll(), "photo 3000");
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// Two 10 MB mails (a line of text and a 7.5 MB file each; the second comes
// over the line while the first is stored) lie byte for byte in the Maildir,
// their files whole in the attachment folder, and their records list the
// files; the check holds such a mail in memory less than twice on the way.
TEST_F(Receive, TenMegabyteMailsAreKeptWholeWithTheirFilesAndHeldInMemoryOnce) {
  QByteArray payload(7864320, Qt::Uninitialized);
  for (qsizetype k = 0; k < payload.size(); ++k)
    payload[k] = char((k * 131) ^ (k >> 9));
  const QByteArray encoded = payload.toBase64();
  auto bigMail = [&](const QByteArray &name) {
    QByteArray m = "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: " + name +
                   "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                   "--b\r\nContent-Type: text/plain\r\n\r\nthe file is attached\r\n"
                   "--b\r\nContent-Type: application/octet-stream\r\n"
                   "Content-Disposition: attachment; filename=\"" + name + ".bin\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n";
    for (qsizetype k = 0; k < encoded.size(); k += 76)
      m += encoded.mid(k, 76) + "\r\n";
    return m + "--b--\r\n";
  };
  const QByteArray big = bigMail("big");
  seedInOrder({big, bigMail("second"), plainMail("after", "small")});

  [[maybe_unused]] const bool peakReset = testsupport::resetPeakMemory();
  [[maybe_unused]] const long beforeKb = testsupport::statusKb("VmRSS:");
  ReceiveMail(host);
  [[maybe_unused]] const long peakKb = testsupport::statusKb("VmHWM:");

  ASSERT_TRUE(boxes.boxes().isEmpty());
  const QList<MailRecord> records = received();
  ASSERT_EQ(records.size(), 3);
  EXPECT_TRUE(records[0].Body.startsWith(QStringLiteral("the file is attached")));
  EXPECT_TRUE(records[0].Body.contains(QStringLiteral("attachment: big.bin (7864320 bytes)")))
      << records[0].Body.left(200).toStdString();
  EXPECT_TRUE(records[1].Body.contains(QStringLiteral("attachment: second.bin (7864320 bytes)")));
  EXPECT_EQ(records[2].Subject, QStringLiteral("after"));
  EXPECT_EQ(servers->messageCount(User), 0);

  const QList<RecordOriginal> originals = recordOriginals(History::Received);
  ASSERT_EQ(originals.size(), 3);
  for (int i = 0; i < 2; ++i) {
    const QByteArray sent = i == 0 ? big : bigMail("second");
    QFile kept(originals[i].path);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_TRUE(kept.readAll() == sent)
        << "mail " << i + 1 << ": the Maildir copy differs from what the server sent";
    EXPECT_TRUE(originals[i].path.endsWith(QStringLiteral(",S=%1").arg(sent.size())));
    QFile file(folder->attachmentPath() +
               (i == 0 ? QStringLiteral("/big.bin") : QStringLiteral("/second.bin")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll() == payload) << "mail " << i + 1 << ": the attachment is not whole";
  }
  EXPECT_TRUE(QDir(originalsFolder(History::Received).root() + QStringLiteral("/tmp"))
                  .entryList(QDir::Files | QDir::Hidden)
                  .isEmpty());

#if !defined(__SANITIZE_ADDRESS__)
  // The sanitizers keep freed memory aside, so the peak means nothing there.
  if (peakReset) {
    EXPECT_LT(double(peakKb - beforeKb) * 1024, 2.0 * big.size())
        << "peak " << peakKb << " KB, before " << beforeKb << " KB";
  }
#endif
}

// The faults of a server that a real one won't produce, played by a
// scripted POP3 mailbox that takes alice's login in the clear.
class ReceiveFaults : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    host.nestedRunsAttempted = 1;
    nmail::NMailInitializeWinSock();
    nmail::setNetworkTimeoutMs(5000);
  }
  void TearDown() override {
    forms::tyakuForm().unload();
    forms::idPassForm().unload();
    settings::Pop3Server.clear();
  }
  void useServer(const testsupport::ScriptedServer &server) {
    agreeToPlainLogin(server.port());
    settings::Pop3Server = server.address();
    settings::UseApop = 0;
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("alice")));
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral("pw")));
  }

  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeHost host;
};

TEST_F(ReceiveFaults, AMailThatCannotBeFetchedIsNotDeleted) {
  testsupport::ScriptedServer server(
      testsupport::pop3Mailbox({QByteArray(), plainMail("second", "fine").replace("\r\n.", "\r\n..")}));
  ASSERT_NO_FATAL_FAILURE(useServer(server));
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  EXPECT_EQ(deletedOn(server), QList<int>{2});
  const QList<MailRecord> records = readHistory(History::Received);
  ASSERT_EQ(records.size(), 1);
  EXPECT_EQ(records[0].Subject, QStringLiteral("second"));
  // The server listed 200 octets; the Maildir name carries the size the
  // mail has, as Dovecot reads it from there.
  const QList<RecordOriginal> originals = recordOriginals(History::Received);
  ASSERT_EQ(originals.size(), 1);
  EXPECT_TRUE(originals[0].path.endsWith(
      QStringLiteral(",S=%1").arg(QFileInfo(originals[0].path).size())))
      << originals[0].path.toStdString();
  EXPECT_TRUE(QDir(originalsFolder(History::Received).root() + QStringLiteral("/tmp"))
                  .entryList(QDir::Files)
                  .isEmpty())
      << "the mail that could not be fetched left its file behind";
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サーバーに残して")));
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("新着メール有り。"));
}

// A check in which every fetch failed stored nothing new: it says it failed
// and leaves the window as it was, never "新着メール有り。".
TEST_F(ReceiveFaults, ACheckWhoseEveryFetchFailedIsReportedAsFailed) {
  testsupport::ScriptedServer server(testsupport::pop3Mailbox({QByteArray(), QByteArray()}));
  ASSERT_NO_FATAL_FAILURE(useServer(server));
  boxes.pushAnswer(platform::MsgAnswer::Ok);

  ReceiveMail(host);

  EXPECT_TRUE(deletedOn(server).isEmpty());
  EXPECT_TRUE(readHistory(History::Received).isEmpty());
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.startsWith(QStringLiteral("2件のメールを受信できませんでした。")));
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("チェックに失敗しました。"));
  EXPECT_EQ(host.restored, 0);
}

// A server may claim any size for a mail. The check must not take memory in
// proportion to the claim: the address space is held to what the process
// has plus a margin far below the 2 GB claimed here.
TEST_F(ReceiveFaults, AnAbsurdSizeFromTheServerCostsNoGigabytes) {
  testsupport::ScriptedServer server(
      testsupport::pop3Mailbox({plainMail("claims 2 GB", "but is small")}, 2'000'000'000));
  ASSERT_NO_FATAL_FAILURE(useServer(server));

  QFile statm(QStringLiteral("/proc/self/statm"));
  ASSERT_TRUE(statm.open(QIODevice::ReadOnly));
  const qint64 used = statm.readAll().split(' ').value(0).toLongLong() * ::sysconf(_SC_PAGESIZE);
  ASSERT_GT(used, 0);
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &before), 0);
  struct Restore {
    rlimit limit;
    ~Restore() { ::setrlimit(RLIMIT_AS, &limit); }
  } restore{before};
  rlimit tight = before;
  tight.rlim_cur = rlim_t(used) + (rlim_t(1) << 30);
  if (before.rlim_max != RLIM_INFINITY)
    tight.rlim_cur = std::min(tight.rlim_cur, before.rlim_max);
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);

  ReceiveMail(host);

  ::setrlimit(RLIMIT_AS, &before);
  const QList<MailRecord> records = readHistory(History::Received);
  ASSERT_EQ(records.size(), 1);
  EXPECT_EQ(records[0].Subject, QStringLiteral("claims 2 GB"));
  EXPECT_TRUE(records[0].Body.startsWith(QStringLiteral("but is small")));
  EXPECT_EQ(deletedOn(server), QList<int>{1});
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// The receive routine in a process of its own, for the crash test below.
TEST(ReceiveChild, Run) {
  const QString folder = qEnvironmentVariable("KORVEX_RECEIVE_CHILD");
  if (folder.isEmpty())
    GTEST_SKIP() << "started by Receive.AReceiveKilledAnywhereLosesNothingAndStoresNothingTwice";
  platform::setProgramFolder(folder);
  nmail::NMailInitializeWinSock();
  nmail::NMailSetOption(1, 8192);
  mail::useStoredCertificatePins(); // and the plaintext agreements kept beside them
  settings::Pop3Server = qEnvironmentVariable("KORVEX_RECEIVE_SERVER");
  settings::UseApop = 0;
  MessageBoxDouble boxes;
  FakeHost host;
  ReceiveMail(host);
}

// Killed (SIGKILL) at several points of a receive and started again, the
// program stores every mail exactly once: what a killed run stored and the
// server still holds is deleted there, not stored again.
TEST_F(Receive, AReceiveKilledAnywhereLosesNothingAndStoresNothingTwice) {
  constexpr int Total = 40;
  QList<QByteArray> mails;
  for (int i = 1; i <= Total; ++i)
    mails.append(plainMail(QByteArray("killed-") + QByteArray::number(i), "body"));
  ASSERT_TRUE(servers->seed(User, mails));
  ASSERT_EQ(servers->messageCount(User), Total);

  // Killed between the journal entry and its record: the entry names a
  // record the history never got, so the mail is still to be stored.
  {
    const int h = nmail::NMailPop3Connect(pop3Setting());
    ASSERT_NE(h, -1) << nmail::lastErrorText().toStdString();
    ASSERT_EQ(nmail::NMailPop3Authenticate(h, User, servers->user(User).password, 0), Total);
    QString uidl;
    ASSERT_EQ(nmail::NMailPop3GetMailUidl(h, 1, uidl), 0);
    const int size = nmail::NMailPop3GetMailSize(h, 1);
    nmail::NMailPop3Close(h);
    UidlJournal(pop3Setting(), User)
        .add(1, uidl, size, QStringLiteral("never-kept"), QByteArray(64, '0'));
  }

  const QString historyFile = platform::dataFile(QStringLiteral("qlmdata2.data"));
  auto records = [&] { return QFileInfo(historyFile).size() / MailLayout::RecordLength; };
  auto journalLines = [&] {
    QFile f(UidlJournal::path());
    return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
  };

  struct Point {
    const char *where;
    std::function<bool()> reached; // null: the child kills itself
  };
  const std::vector<Point> points{
      {"after a few records", [&] { return records() >= 4; }},
      {"while journal entries are written", [&] { return journalLines() >= 14; }},
      {"in the middle", [&] { return records() >= 24; }},
      {"after every DELE, before QUIT", nullptr},
  };
  for (const Point &point : points) {
    SCOPED_TRACE(point.where);
    const bool killed =
        killedReceive(folder->path(), pop3Setting(), !point.reached, point.reached);
    EXPECT_TRUE(killed) << "the child ran to its end";
  }
  EXPECT_GT(servers->messageCount(User), 0) << "the last kill came before QUIT";

  ReceiveMail(host);

  QMap<QString, int> stored;
  for (const MailRecord &r : received())
    ++stored[r.Subject];
  EXPECT_EQ(stored.size(), Total) << "no mail lost";
  for (auto it = stored.cbegin(); it != stored.cend(); ++it)
    EXPECT_EQ(it.value(), 1) << it.key().toStdString() << " stored twice";
  // The Maildir likewise: one copy of every mail, and each record finds its own.
  const QString maildir = originalsFolder(History::Received).root();
  EXPECT_EQ(QDir(maildir + QStringLiteral("/new")).entryList(QDir::Files).size(), Total);
  for (const RecordOriginal &o : recordOriginals(History::Received))
    EXPECT_FALSE(o.path.isEmpty()) << "record " << o.record << " has no original";
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_FALSE(QFile::exists(UidlJournal::path()));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

// popa3d derives a mail's unique id from its headers: two phone mails with
// the same Message-ID and Date get the same one. Both are stored; the
// journal never takes the second for the first.
TEST_F(Receive, MailsSharingAnIdOnPopa3dAreEachStoredOnce) {
  ASSERT_GT(servers->popa3dPort, 0) << "the fixture started no popa3d";
  auto phoneMail = [](const QByteArray &subject, const QByteArray &body) {
    QByteArray m = plainMail(subject, body);
    return m.replace("Message-ID: <" + subject + "@example.jp>", "Message-ID: <same@phone.example.jp>");
  };
  const QList<QByteArray> mails{plainMail("one", "1"),         plainMail("two", "2"),
                                phoneMail("phone A", "first"), phoneMail("phone B", "second"),
                                plainMail("five", "5"),        plainMail("six", "6")};
  ASSERT_TRUE(servers->setPopa3dMailbox(mails));
  agreeToPlainLogin(quint16(servers->popa3dPort)); // popa3d speaks no TLS
  {
    const int h = nmail::NMailPop3Connect(servers->popa3dServer());
    ASSERT_NE(h, -1) << nmail::lastErrorText().toStdString();
    ASSERT_EQ(nmail::NMailPop3Authenticate(h, servers->popa3dUser.name,
                                           servers->popa3dUser.password, 0),
              6)
        << nmail::lastErrorText().toStdString();
    QString a, b;
    ASSERT_EQ(nmail::NMailPop3GetMailUidl(h, 3, a), 0);
    ASSERT_EQ(nmail::NMailPop3GetMailUidl(h, 4, b), 0);
    EXPECT_EQ(a, b) << "popa3d gave the two phone mails different ids";
    nmail::NMailPop3Close(h);
  }
  settings::Pop3Server = servers->popa3dServer();
  setAccount(servers->popa3dUser.name, servers->popa3dUser.password);

  ReceiveMail(host);

  QMap<QString, QString> stored;
  for (const MailRecord &r : received()) {
    EXPECT_FALSE(stored.contains(r.Subject)) << r.Subject.toStdString() << " stored twice";
    stored.insert(r.Subject, r.Body);
  }
  EXPECT_EQ(stored.keys(), (QStringList{"five", "one", "phone A", "phone B", "six", "two"}));
  EXPECT_EQ(stored.value("phone B"), QStringLiteral("second"));
  EXPECT_EQ(servers->popa3dMessageCount(), 0);
  EXPECT_EQ(recordOriginals(History::Received).size(), 6);
  for (const RecordOriginal &o : recordOriginals(History::Received))
    EXPECT_FALSE(o.path.isEmpty()) << "record " << o.record << " has no original";
  EXPECT_TRUE(boxes.boxes().isEmpty());
  nmail::setPlaintextLoginPolicy({});
  nmail::setCertificatePinProvider(nullptr);
}

// A journal entry of an interrupted run counts only while the server's mail
// under that id has the same size: a server that gave the id to another
// mail meanwhile gets that mail stored, not deleted unstored.
TEST_F(Receive, AJournalEntryWhoseSizeDiffersDeletesNothingUnstored) {
  seedInOrder({plainMail("earlier", "stored by a killed run")});
  ReceiveMail(host);
  ASSERT_EQ(received().size(), 1);
  seedInOrder({plainMail("later", "a different mail, same id")});
  const QByteArray earlier = *readHistoryRecordBytes(History::Received, 1);
  const QString earlierName =
      QFileInfo(originalPath(History::Received, 1)).fileName().section(u':', 0, 0);
  {
    const int h = nmail::NMailPop3Connect(pop3Setting());
    ASSERT_EQ(nmail::NMailPop3Authenticate(h, User, servers->user(User).password, 0), 1);
    QString uidl;
    ASSERT_EQ(nmail::NMailPop3GetMailUidl(h, 1, uidl), 0);
    const int size = nmail::NMailPop3GetMailSize(h, 1);
    nmail::NMailPop3Close(h);
    UidlJournal(pop3Setting(), User).add(1, uidl, size + 7, earlierName, recordKey(earlier));
  }

  ReceiveMail(host);

  ASSERT_EQ(received().size(), 2);
  EXPECT_EQ(received()[1].Subject, QStringLiteral("later"));
  EXPECT_EQ(servers->messageCount(User), 0);
}

namespace {

QByteArray utf8Mail(const QByteArray &id, const QByteArray &subject, const QByteArray &type,
                    const QByteArray &encoding, const QByteArray &body) {
  return "From: =?UTF-8?B?" + QStringLiteral("配信係").toUtf8().toBase64() +
         "?= <news@example.jp>\r\n"
         "To: alice@korvex.test\r\n"
         "Subject: " + subject + "\r\n"
         "Date: Tue, 8 Dec 2026 08:00:00 +0900\r\n"
         "Message-ID: <" + id + "@example.jp>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: " + type + "; charset=UTF-8\r\n"
         "Content-Transfer-Encoding: " + encoding + "\r\n"
         "\r\n" + body;
}

int modeOf(const QString &path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

} // namespace

// What the 12,000-byte record cannot hold is kept: a 40 KB letter, a 60 KB
// HTML newsletter and a mail of characters outside CP932 lie whole in the
// Maildir, a reader nobody here wrote (Python's mailbox) opens that folder,
// the viewer shows each mail to its last line while the record and the
// clipboard keep their field, and deleting a mail deletes its copy.
TEST_F(Receive, EveryMailIsKeptWholeReadableElsewhereAndShownToItsLastLine) {
  QByteArray letter;
  for (int i = 1; letter.size() < 40 * 1024; ++i)
    letter += QStringLiteral("第%1行　お世話になっております。先日の件についてご報告します。\r\n")
                  .arg(i)
                  .toUtf8();
  letter += QStringLiteral("以上、最後の行です。\r\n").toUtf8();
  QByteArray page = "<html><body><h1>" + QStringLiteral("今週のお知らせ").toUtf8() + "</h1>\r\n";
  for (int i = 1; page.size() < 60 * 1024; ++i)
    page += "<p><b>" + QStringLiteral("記事%1").arg(i).toUtf8() + "</b> " +
            QStringLiteral("新商品のご案内とセールの情報です。").toUtf8() + "</p>\r\n";
  page += "<p>" + QStringLiteral("配信停止はこちら&amp;最終段落").toUtf8() + "</p></body></html>\r\n";
  const QString outside = QStringLiteral("𠮷野家で😀の昼ごはん");
  const QList<QByteArray> mails{
      utf8Mail("letter", "long letter", "text/plain", "8bit", letter),
      utf8Mail("news", "newsletter", "text/html", "8bit", page),
      utf8Mail("emoji", "=?UTF-8?B?" + outside.toUtf8().toBase64() + "?=", "text/plain",
               "base64", outside.toUtf8().toBase64() + "\r\n")};
  seedInOrder(mails);

  ReceiveMail(host);
  ASSERT_EQ(received().size(), 3);
  ASSERT_TRUE(boxes.boxes().isEmpty());

  // Byte for byte as Dovecot served them, in a Maildir of 0700 folders and
  // 0600 files.
  const QList<RecordOriginal> originals = recordOriginals(History::Received);
  ASSERT_EQ(originals.size(), 3);
  for (int i = 0; i < 3; ++i) {
    QFile f(originals[i].path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "record " << i + 1 << " has no original";
    EXPECT_EQ(f.readAll(), mails[i]) << "record " << i + 1;
    EXPECT_EQ(modeOf(originals[i].path), 0600);
  }
  const QString maildir = originalsFolder(History::Received).root();
  EXPECT_EQ(modeOf(maildir), 0700);
  EXPECT_EQ(modeOf(maildir + QStringLiteral("/new")), 0700);

  QProcess python;
  python.start(QStringLiteral("python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import hashlib, mailbox, sys\n"
                               "box = mailbox.Maildir(sys.argv[1], create=False)\n"
                               "for key in box.keys():\n"
                               "    print(hashlib.sha256(box.get_bytes(key)).hexdigest())\n"),
                maildir});
  ASSERT_TRUE(python.waitForFinished(30000));
  ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
  QStringList read = QString::fromLatin1(python.readAllStandardOutput()).split(
      u'\n', Qt::SkipEmptyParts);
  QStringList sent;
  for (const QByteArray &m : mails)
    sent << QString::fromLatin1(QCryptographicHash::hash(m, QCryptographicHash::Sha256).toHex());
  read.sort();
  sent.sort();
  EXPECT_EQ(read, sent);

  openHistoryViewer(History::Received);
  TyakuForm *v = viewer();
  auto show = [&](int row) {
    v->List1->setCurrentRow(row);
    v->List1_MouseDown();
    return v->rtfEd->toPlainText();
  };
  const QString shownLetter = show(0);
  EXPECT_TRUE(shownLetter.endsWith(QStringLiteral("以上、最後の行です。")));
  EXPECT_EQ(shownLetter, QString::fromUtf8(letter).replace(QStringLiteral("\r\n"), QStringLiteral("\n")).trimmed());
  // The record and the clipboard keep the 12,000-byte field.
  EXPECT_FALSE(ReceivedRecord.Body.contains(QStringLiteral("最後の行")));
  EXPECT_EQ(platform::clipboardText(), ReceivedRecord.Body.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  const QString shownPage = show(1);
  EXPECT_TRUE(shownPage.contains(QStringLiteral("記事1")));
  EXPECT_TRUE(shownPage.endsWith(QStringLiteral("配信停止はこちら&最終段落"))) << shownPage.right(80).toStdString();
  EXPECT_FALSE(shownPage.contains(QStringLiteral("<p>")));
  EXPECT_EQ(show(2), outside);
  EXPECT_EQ(v->Text9->text(), QStringLiteral("?野家で?の昼ごはん")) << "the record's subject is CP932";

  // "１件削除" of the letter: its copy goes with it, the others stay.
  const QString letterFile = originals[0].path;
  v->List1->setCurrentRow(0);
  v->List1_MouseDown();
  boxes.pushAnswer(platform::MsgAnswer::Yes);
  v->Command1_Click();
  EXPECT_FALSE(QFile::exists(letterFile));
  const QList<RecordOriginal> left = recordOriginals(History::Received);
  ASSERT_EQ(left.size(), 2);
  EXPECT_EQ(left[0].path, originals[1].path);
  EXPECT_EQ(left[1].path, originals[2].path);
  // "全件削除": every copy goes.
  boxes.pushAnswer(platform::MsgAnswer::Yes);
  v->Command5_Click();
  EXPECT_FALSE(QFile::exists(originals[1].path));
  EXPECT_FALSE(QFile::exists(originals[2].path));
}

// "全メール検索" on mail fetched from Dovecot: the index made before the
// check takes the new mails after it, the long letter with its whole text;
// a search's result on screen during the check gains only matching mails.
TEST_F(Receive, AllMailSearchFindsEachReceivedMailByAWordOfItsWholeText) {
  const auto utf8Mail = [](const QByteArray &subject, const QString &body) {
    return "From: Hanako <hanako@example.jp>\r\nTo: alice@korvex.test\r\nSubject: " + subject +
           "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nMessage-ID: <" + subject +
           "@example.jp>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: 8bit\r\n\r\n" +
           body.toUtf8() + "\r\n";
  };
  QString letter;
  while (letter.toUtf8().size() < 40 * 1024)
    letter += QStringLiteral("長い手紙の本文がここに続きます。\r\n");
  letter += QStringLiteral("追伸：山桜の写真を送ります。\r\n");
  seedInOrder({utf8Mail("letter", letter),
               utf8Mail("meeting", QStringLiteral("明日の会議は中止です。")),
               utf8Mail("budget", QStringLiteral("The quarterly budget review is due."))});

  openHistoryViewer(History::Received);
  TyakuForm *f = viewer();
  const auto listed = [f] {
    QStringList subjects;
    for (int i = 0; i < f->List1->count(); ++i)
      subjects << readHistoryRecord(History::Received, f->rowSource(i).record)->Subject;
    return subjects;
  };
  const auto searchFor = [f, listed](const QString &text) {
    f->editorPane->Text1->setText(text);
    QTest::mouseClick(f->cmdAllSearch, Qt::LeftButton);
    return listed();
  };
  EXPECT_TRUE(searchFor(QStringLiteral("山桜")).isEmpty());

  ReceiveMail(host);
  ASSERT_EQ(received().size(), 3);
  ASSERT_FALSE(received()[0].Body.contains(QStringLiteral("山桜")));
  // The result on screen gained the one new mail whose whole text holds the
  // word, not the other two.
  EXPECT_EQ(listed(), QStringList{QStringLiteral("letter")});
  EXPECT_EQ(f->Text2->text(), QStringLiteral("1"));
  mail::search::waitForUpdates();
  openHistoryViewer(History::Received);

  EXPECT_EQ(searchFor(QStringLiteral("山桜")), QStringList{QStringLiteral("letter")});
  EXPECT_EQ(searchFor(QStringLiteral("会議")), QStringList{QStringLiteral("meeting")});
  EXPECT_EQ(searchFor(QStringLiteral("Quarterly Budget review")),
            QStringList{QStringLiteral("budget")});
  EXPECT_TRUE(searchFor(QStringLiteral("桜餅")).isEmpty());
  EXPECT_EQ(f->Text2->text(), QStringLiteral("0"));
  EXPECT_EQ(searchFor(QString()).size(), 3);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("3"));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}


// A flush before QUIT that fails leaves every mail on the server. The next
// check must not take them for stored (after a failed write-back the system
// marks the pages clean, and a later flush "succeeds" without writing them):
// it fetches them again, writes them again and flushes them, and puts each
// into the record it already has, so nothing is stored twice.
TEST_F(Receive, AFailedFlushThenTheNextCheckStoresAgainWithoutDuplicates) {
  seedInOrder({plainMail("first", "one"), plainMail("second", "two"), plainMail("third", "3")});
  failFlushesOf(QStringLiteral("/Maildir/new/"));
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(host);
  failFlushesOf({});
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サーバーに残してあります")));
  EXPECT_EQ(servers->messageCount(User), 3);
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("チェックに失敗しました。"));

  flushedSince();
  boxes.clear();
  ReceiveMail(host);
  const QStringList flushed = flushedSince();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(servers->messageCount(User), 0);
  ASSERT_EQ(received().size(), 3) << "each mail in the record it had";
  const QStringList fresh =
      QDir(originalsFolder(History::Received).root() + QStringLiteral("/new"))
          .entryList(QDir::Files);
  EXPECT_EQ(fresh.size(), 3) << "one copy of each mail";
  for (int n = 1; n <= 3; ++n) {
    const QString path = originalPath(History::Received, n);
    EXPECT_TRUE(flushed.contains(path)) << "record " << n << "'s mail was not flushed again";
    EXPECT_TRUE(originalOfRecord(n).contains(received()[n - 1].Subject.toUtf8()));
  }
  EXPECT_TRUE(std::any_of(flushed.begin(), flushed.end(), [](const QString &p) {
    return p.endsWith(QStringLiteral("qlmdata2.data"), Qt::CaseInsensitive);
  }));
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("新着メール有り。"));
}

// A check killed after it stored every mail, before its QUIT, leaves them on
// the server with their journal entries. Records deleted in the viewer
// before the next check shift the others' numbers: the next check still
// deletes each stored mail on the server without storing it again (the
// deleted ones included) and every record keeps its own mail.
TEST_F(Receive, DeletesBetweenAnInterruptedCheckAndTheNextMisfileNothing) {
  seedInOrder({plainMail("one", "1"), plainMail("two", "2"), plainMail("three", "3"),
               plainMail("four", "4")});
  ASSERT_TRUE(killedReceive(folder->path(), pop3Setting(), true, nullptr));
  ASSERT_EQ(received().size(), 4);
  ASSERT_EQ(servers->messageCount(User), 4);

  HistoryMode = HistoryModeNone;
  openHistoryViewer(History::Received);
  TyakuForm *f = viewer();
  for (const int row : {1, 0}) { // "two", then "one"
    f->List1->setCurrentRow(row);
    boxes.pushAnswer(platform::MsgAnswer::Yes);
    f->Command1_Click();
  }
  ASSERT_EQ(received().size(), 2);
  forms::tyakuForm().unload();

  boxes.clear();
  ReceiveMail(host);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(servers->messageCount(User), 0);
  ASSERT_EQ(received().size(), 2) << "nothing brought back, nothing twice";
  EXPECT_EQ(received()[0].Subject, QStringLiteral("three"));
  EXPECT_EQ(received()[1].Subject, QStringLiteral("four"));
  EXPECT_TRUE(originalOfRecord(1).contains("Subject: three"));
  EXPECT_TRUE(originalOfRecord(2).contains("Subject: four"));
}

// Another mail program may move a mail from new/ to cur/ before the flush
// (mutt and notmuch do): the mail is flushed where it is then. A mail that is
// nowhere any more cannot be confirmed, and every mail stays on the server.
TEST_F(Receive, AMailMovedBeforeTheFlushIsFlushedWhereItIsNow) {
  seedInOrder({plainMail("moved", "1"), plainMail("kept", "2")});
  const QString root = originalsFolder(History::Received).root();
  QString movedTo;
  auto moveFirst = [&](bool remove) {
    const QStringList fresh = QDir(root + QStringLiteral("/new")).entryList(QDir::Files);
    if (fresh.size() != 1 || !movedTo.isEmpty())
      return;
    const QString from = root + QStringLiteral("/new/") + fresh[0];
    movedTo = root + QStringLiteral("/cur/") + fresh[0] + QStringLiteral(":2,S");
    ASSERT_TRUE(remove ? QFile::remove(from) : QFile::rename(from, movedTo));
  };
  // Between the first mail's record and the second mail.
  class MovingHost final : public ReceiveHost {
  public:
    FakeHost &inner;
    std::function<void()> onSecond;
    MovingHost(FakeHost &h, std::function<void()> f) : inner(h), onSecond(std::move(f)) {}
    QWidget *hostWindow() override { return inner.hostWindow(); }
    void setHelpText(const QString &t) override { inner.helpTexts.append(t); }
    void setStatusText(const QString &t) override {
      if (t == QStringLiteral("受信中 2/2"))
        onSecond();
      inner.setStatusText(t);
    }
    void restoreWindow() override {}
    bool hangUpMode() const override { return false; }
    void hangUp() override {}
  };
  MovingHost moving(host, [&] { moveFirst(false); });
  flushedSince();
  ReceiveMail(moving);
  ASSERT_FALSE(movedTo.isEmpty());
  EXPECT_TRUE(flushedSince().contains(movedTo));
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_TRUE(boxes.boxes().isEmpty());

  seedInOrder({plainMail("vanished", "1"), plainMail("kept too", "2")});
  movedTo.clear();
  MovingHost removing(host, [&] { moveFirst(true); });
  QDir(root + QStringLiteral("/new")).removeRecursively();
  QDir(root).mkdir(QStringLiteral("new"));
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(removing);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サーバーに残してあります")));
  EXPECT_EQ(servers->messageCount(User), 2);
}

// When the mail's link in originals.index or its journal entry cannot be
// written, its record is not stored without them: the mail stays on the
// server, the user is told, and the next check stores it.
TEST_F(Receive, AMailWhoseIndexOrJournalLineCannotBeWrittenStaysOnTheServer) {
  for (const QString &blocked : {originalsIndexPath(), UidlJournal::path()}) {
    SCOPED_TRACE(blocked.toStdString());
    ASSERT_TRUE(servers->clear(User));
    seedInOrder({plainMail("blocked", "1")});
    const int before = int(received().size());
    QFile::remove(blocked);
    ASSERT_TRUE(QDir().mkdir(blocked)); // a folder in its place stops even root
    boxes.clear();
    boxes.pushAnswer(platform::MsgAnswer::Ok);
    ReceiveMail(host);
    EXPECT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(int(received().size()), before);
    EXPECT_EQ(servers->messageCount(User), 1);

    ASSERT_TRUE(QDir().rmdir(blocked));
    boxes.clear();
    ReceiveMail(host);
    EXPECT_TRUE(boxes.boxes().isEmpty());
    EXPECT_EQ(int(received().size()), before + 1);
    EXPECT_EQ(servers->messageCount(User), 0);
    EXPECT_TRUE(originalOfRecord(before + 1).contains("Subject: blocked"));
  }
}

// A mail that takes longer to read than its budget is still stored: whole in
// the Maildir, its record with what was read in time, the user told once,
// and the server emptied.
TEST_F(Receive, AMailPastItsReadingBudgetIsStoredWholeAndTheUserTold) {
  const QByteArray slow = testsupport::hiddenFilesMail(20);
  seedInOrder({slow});
  nmail::setMailBudgetMs(0);
  ReceiveMail(host);
  nmail::setMailBudgetMs(-1);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(servers->messageCount(User), 0);
  ASSERT_EQ(received().size(), 1);
  EXPECT_EQ(originalOfRecord(1).size(), slow.size());
  EXPECT_TRUE(std::any_of(host.helpTexts.begin(), host.helpTexts.end(), [](const QString &t) {
    return t.startsWith(QStringLiteral("1件のメールは読み終えるのに時間がかかりすぎたため")) &&
           t.contains(QStringLiteral(u"データフォルダ「★MAilData」の「Maildir」"));
  })) << host.helpTexts.join(u'|').toStdString();
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("新着メール有り。"));
}
