// Each mail exactly once, whatever ends a check: against the real Dovecot,
// checks that fail to flush, are killed, stopped, refused their attachment
// folder, run out of disk or have their deletions refused, with records
// deleted in the viewer and new mails arriving between them. After a final
// clean check every mail ever put on the server is in the received history
// once (or was deleted by the user and stays away), the server is empty and
// no attachment was unpacked twice.
//
// CI runs a few seeds; scripts/fault-schedule runs hundreds
// (KORVEX_SCHEDULE_SEEDS=1-200) and prints the seed that fails.
#include "mail/store/originals.h"
#include "mail/store/uidljournal.h"
#include "mail/certpins.h"
#include "tests/mail/receivefixture.h"
#include "platform/core/clock.h"
#include "settings/servercopies.h"
#include "tests/support/relay.h"
#include "tests/support/scriptedserver.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>

#include <random>

#include <sys/mount.h>
#include <sys/statvfs.h>

using namespace receivetest;

namespace {

// A mail of the kinds users get, its id in its subject.
QByteArray mailOf(const QByteArray &id, int kind, QByteArray *attachment) {
  QByteArray head = "From: =?UTF-8?B?" + QStringLiteral("山田 太郎").toUtf8().toBase64() +
                    "?= <taro@example.jp>\r\nTo: alice@korvex.test\r\n"
                    "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\n"
                    "Message-ID: <" + id + "@example.jp>\r\nMIME-Version: 1.0\r\n";
  switch (kind) {
  case 0: // Japanese text
    return head + "Subject: =?UTF-8?B?" + (QStringLiteral("会議の件 ").toUtf8() + id).toBase64() +
           "?=\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           QStringLiteral("明日の会議は十時からです。\r\n").toUtf8().toBase64() + "\r\n";
  case 1: // HTML only
    return head + "Subject: news " + id +
           "\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n<p>Sale &amp; <b>news</b></p>\r\n";
  default: { // an attachment, 5 MB now and then
    *attachment = "file-" + id + ".bin";
    QByteArray data(kind == 3 ? 5 * 1024 * 1024 : 3000, '\0');
    for (qsizetype i = 0; i < data.size(); ++i)
      data[i] = char((i * 131 + id.size() * 7) & 0xff);
    QByteArray encoded;
    const QByteArray b64 = data.toBase64();
    for (qsizetype at = 0; at < b64.size(); at += 76)
      encoded += b64.mid(at, 76) + "\r\n";
    return head + "Subject: report " + id +
           "\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
           "--b\r\nContent-Type: text/plain\r\n\r\nsee the file\r\n"
           "--b\r\nContent-Type: application/octet-stream\r\n"
           "Content-Disposition: attachment; filename=\"" + *attachment +
           "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + encoded + "--b--\r\n";
  }
  }
}

enum class Fault {
  None,
  FlushFails,     // every flush of one kind of file fails
  FlushFailsOnce, // the first flush of one kind of file fails, as Linux tells it once
  Kill,           // the program is killed at a random moment
  Stop,           // 中止 at a random mail
  NoAttachmentFolder,
  DiskFull,
  DeleRefused,
};
const char *const FaultNames[] = {"none", "flush fails", "flush fails once", "kill", "stop",
                                  "no attachment folder", "disk full", "DELE refused"};

// A small file system of its own for the program folder, so that a check
// can meet a full disk; none where mounting is not allowed.
class SmallDisk {
public:
  SmallDisk() {
    if (!dir_.isValid() ||
        ::mount("tmpfs", QFile::encodeName(dir_.path()).constData(), "tmpfs", 0,
                "size=256m,mode=0700") != 0)
      return;
    mounted_ = true;
  }
  ~SmallDisk() {
    if (mounted_)
      ::umount2(QFile::encodeName(dir_.path()).constData(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  QString path() const { return dir_.path(); }
  // Fills the disk up to `leave` bytes.
  void fill(qint64 leave) {
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(path()).constData(), &st) != 0)
      return;
    qint64 room = qint64(st.f_bavail) * qint64(st.f_frsize) - leave;
    QFile filler(path() + QStringLiteral("/filler"));
    if (room <= 0 || !filler.open(QIODevice::WriteOnly))
      return;
    const QByteArray block(1 << 20, 'x');
    while (room > 0)
      room -= filler.write(block.constData(), std::min<qint64>(room, block.size()));
  }
  void empty() { QFile::remove(path() + QStringLiteral("/filler")); }

private:
  QTemporaryDir dir_;
  bool mounted_ = false;
};

// The program's clock, moved on by whole days.
class MovedClock final : public platform::ClockSource {
public:
  MovedClock() { platform::setClockSource(this); }
  ~MovedClock() override { platform::setClockSource(nullptr); }
  void addDays(int days) { offsetMs += qint64(days) * 24 * 60 * 60 * 1000; }
  QDateTime utcNow() const override {
    return QDateTime::currentDateTimeUtc().addMSecs(offsetMs);
  }
  QDateTime localNow() const override { return QDateTime::currentDateTime().addMSecs(offsetMs); }
  std::uint32_t milliseconds() const override {
    QElapsedTimer t;
    t.start();
    return std::uint32_t(quint64(t.msecsSinceReference()));
  }

private:
  qint64 offsetMs = 0;
};

struct Span {
  int first = 1, last = 4;
};

Span seedsToRun() {
  const QString range = qEnvironmentVariable("KORVEX_SCHEDULE_SEEDS", QStringLiteral("1-4"));
  const QStringList ends = range.split(u'-');
  Span s;
  s.first = ends.value(0).toInt();
  s.last = ends.size() > 1 ? ends.value(1).toInt() : s.first;
  return s;
}

} // namespace

class ReceiveSchedule : public Receive {
protected:
  std::mt19937 rng;
  std::optional<testsupport::Relay> relay;
  std::optional<SmallDisk> disk;
  QMap<QByteArray, QByteArray> put;     // id → its attachment's name ("" for none)
  QSet<QByteArray> deletedByUser;
  QStringList log;
  QString lastKind; // of the files whose flush failed in the last check
  std::optional<MovedClock> clock;

  int pick(int below) { return int(rng() % unsigned(below)); }

  void startSeed(int seed) {
    rng.seed(unsigned(seed));
    put.clear();
    deletedByUser.clear();
    log.clear();
    forms::tyakuForm().unload();
    clock.reset();
    clock.emplace();
    folder.reset();
    disk.reset();
    disk.emplace();
    const QByteArray tmp = qgetenv("TMPDIR");
    if (disk->mounted())
      qputenv("TMPDIR", QFile::encodeName(disk->path()));
    folder.emplace();
    qputenv("TMPDIR", tmp);
    if (tmp.isEmpty())
      qunsetenv("TMPDIR");
    ASSERT_TRUE(folder->isValid());
    ASSERT_TRUE(servers->clear(User));
    setAccount(User, servers->user(User).password);
    // In the clear through a relay that can refuse deletions.
    relay.reset();
    relay.emplace(servers->pop3Port, testsupport::Relay::StripTls);
    agreeToPlainLogin(relay->port());
    settings::Pop3Server = relay->address();
  }

  void newMails(int seed, int step) {
    const int count = pick(4) + (step == 0 ? 1 : 0);
    for (int i = 0; i < count; ++i) {
      const QByteArray id = "m" + QByteArray::number(seed) + "-" + QByteArray::number(step) +
                            "-" + QByteArray::number(i);
      QByteArray attachment;
      int kind = pick(4);
      if (kind == 3 && pick(3) != 0)
        kind = 2; // a 5 MB mail now and then
      ASSERT_TRUE(servers->seed(User, mailOf(id, kind, &attachment)));
      put.insert(id, attachment);
    }
  }

  static QByteArray idOf(const QString &subject) {
    static const QRegularExpression id(QStringLiteral("m\\d+-\\d+-\\d+"));
    return id.match(subject).captured().toLatin1();
  }

  // No mail in the history twice, whatever the check did.
  void expectNoMailTwice() {
    QMap<QByteArray, int> stored;
    for (const MailRecord &r : received())
      if (++stored[idOf(r.Subject)] == 2)
        ADD_FAILURE() << "stored twice: " << idOf(r.Subject).toStdString() << " after "
                      << log.join(QStringLiteral(", ")).toStdString();
  }

  void deleteARecord() {
    const QList<MailRecord> records = received();
    if (records.isEmpty())
      return;
    const int row = pick(int(records.size()));
    HistoryMode = HistoryModeNone;
    openHistoryViewer(History::Received);
    TyakuForm *f = forms::tyakuForm().get();
    f->List1->setCurrentRow(row);
    boxes.pushAnswer(platform::MsgAnswer::Yes);
    f->Command1_Click();
    deletedByUser.insert(idOf(records[row].Subject));
    forms::tyakuForm().unload();
    boxes.clear();
  }

  void killedCheck() {
    const int how = pick(3);
    const int records = historyCount(History::Received) + 1 + pick(3);
    const int ms = pick(400);
    QElapsedTimer started;
    started.start();
    killedReceive(folder->path(), settings::Pop3Server, how == 0, [&] {
      return (how == 1 && historyCount(History::Received) >= records) ||
             (how == 2 && started.elapsed() >= ms);
    });
  }

  void check(Fault fault) {
    const QStringList kinds{QStringLiteral("/Maildir/"), QStringLiteral("qlmdata2"),
                            QStringLiteral(u"添付フォルダ"), QStringLiteral("uidl.journal"),
                            QStringLiteral("originals.index"), QStringLiteral("dir:/Maildir/"),
                            QStringLiteral(u"dir:添付フォルダ")};
    for (int i = 0; i < 20; ++i)
      boxes.pushAnswer(platform::MsgAnswer::Ok);
    lastKind.clear();
    host.nestedRunsAttempted = 1;
    host.onStatus = nullptr;
    switch (fault) {
    case Fault::None:
      break;
    case Fault::FlushFails:
      lastKind = kinds[pick(int(kinds.size()))];
      failFlushesOf(lastKind);
      break;
    case Fault::FlushFailsOnce:
      lastKind = kinds[pick(int(kinds.size()))];
      failFirstFlushOf(lastKind);
      break;
    case Fault::Kill:
      killedCheck();
      boxes.clear();
      return;
    case Fault::Stop: {
      const QString at = QStringLiteral("受信中 %1/").arg(1 + pick(4));
      host.onStatus = [at](const QString &text) {
        if (text.startsWith(at))
          mail::stopReceive();
      };
      break;
    }
    case Fault::NoAttachmentFolder:
      QFile::rename(folder->attachmentPath(), folder->attachmentPath() + QStringLiteral(".away"));
      break;
    case Fault::DiskFull:
      disk->fill(pick(256) * 1024);
      break;
    case Fault::DeleRefused: {
      QList<int> refused;
      for (int n = 1; n <= 12; ++n)
        if (pick(2) == 0)
          refused.append(n);
      relay->refuseDeletes(refused);
      break;
    }
    }
    loseUnflushedWrites(false);
    diskHoldsNow(folder->path());
    ReceiveMail(host);
    if (qEnvironmentVariableIsSet("KORVEX_SCHEDULE_DEBUG"))
      for (const auto &b : boxes.boxes())
        std::fprintf(stderr, "BOX %s\n", qPrintable(b.text));
    mail::search::waitForUpdates();
    failFlushesOf({});
    failFirstFlushOf({});
    loseUnflushedWrites();
    host.onStatus = nullptr;
    relay->refuseDeletes({});
    if (fault == Fault::NoAttachmentFolder)
      QFile::rename(folder->attachmentPath() + QStringLiteral(".away"), folder->attachmentPath());
    if (fault == Fault::DiskFull)
      disk->empty();
    boxes.clear();
  }

  // Every mail put on the server is stored once or was deleted by the user,
  // the server is empty and each attachment lies in the folder once.
  void expectEachMailOnce(int seed) {
    const std::string trace = "seed " + std::to_string(seed) + ": " + log.join(", ").toStdString();
    SCOPED_TRACE(trace);
    QMap<QByteArray, int> stored;
    for (const MailRecord &r : received())
      ++stored[idOf(r.Subject)];
    for (auto it = put.cbegin(); it != put.cend(); ++it) {
      const int expected = deletedByUser.contains(it.key()) ? 0 : 1;
      EXPECT_EQ(stored.value(it.key()), expected) << it.key().toStdString();
    }
    EXPECT_EQ(stored.size() - stored.count(QByteArray()), put.size() - deletedByUser.size())
        << "records of mails nobody sent";
    EXPECT_EQ(servers->messageCount(User), 0);
    QMap<QString, int> files;
    QMap<QString, qint64> sizes;
    for (QDirIterator it(folder->attachmentPath(), QDir::Files); it.hasNext();) {
      const QString name = it.next().section(u'/', -1);
      ++files[name];
      sizes[name] = it.fileInfo().size();
    }
    for (auto it = put.cbegin(); it != put.cend(); ++it) {
      // A mail the user deleted before its check could commit may have lost
      // its file with that check's write-back; it is never fetched again.
      const QString name = QString::fromLatin1(it.value());
      if (!it.value().isEmpty() && !deletedByUser.contains(it.key())) {
        EXPECT_EQ(files.value(name), 1) << it.value().toStdString();
        EXPECT_TRUE(sizes.value(name) == 3000 || sizes.value(name) == 5 * 1024 * 1024)
            << it.value().toStdString() << " lost what it held";
      }
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it)
      EXPECT_FALSE(it.key().contains(QStringLiteral(" ("))) << "unpacked twice: "
                                                             << it.key().toStdString();
    for (const RecordOriginal &o : recordOriginals(History::Received))
      EXPECT_TRUE(originalOfRecord(o.record).contains(
          idOf(received()[o.record - 1].Subject)))
          << "record " << o.record << " has lost its mail or shows another";
  }
};

// The user's own checks, as the findings met them: a failed
// write-back, then a check refused the attachment folder, then a clean one;
// a 6 MB mail whose early flush failed once.
TEST_F(ReceiveSchedule, AFailedWriteBackThenARefusedFolderThenACleanCheckStoreEachMailOnce) {
  startSeed(0);
  for (int i = 0; i < 8; ++i) {
    QByteArray attachment;
    const QByteArray id = "m0-0-" + QByteArray::number(i);
    ASSERT_TRUE(servers->seed(User, mailOf(id, i % 2 ? 2 : 0, &attachment)));
    put.insert(id, attachment);
  }
  failFlushesOf(QStringLiteral("qlmdata2"));
  check(Fault::None);
  failFlushesOf({});
  ASSERT_EQ(servers->messageCount(User), 8) << "nothing deleted after the failed write-back";
  check(Fault::NoAttachmentFolder);
  EXPECT_LT(servers->messageCount(User), 8) << "the mails before the first attachment went";
  check(Fault::None);
  expectEachMailOnce(0);
  EXPECT_EQ(received().size(), 8);
  EXPECT_FALSE(QFile::exists(UidlJournal::path())) << "every entry left with its mail";
}

TEST_F(ReceiveSchedule, ALargeMailWhoseFirstFlushFailedStaysOnTheServerAndTheUserIsTold) {
  startSeed(0);
  QByteArray attachment;
  ASSERT_TRUE(servers->seed(User, mailOf("m0-0-0", 3, &attachment)));
  put.insert("m0-0-0", attachment);
  failFirstFlushOf(QStringLiteral("/Maildir/"));
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(host);
  failFirstFlushOf({});
  EXPECT_EQ(servers->messageCount(User), 1);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("サーバーに残してあります")));
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("チェックに失敗しました。"));
  boxes.clear();
  check(Fault::None);
  expectEachMailOnce(0);
}

TEST_F(ReceiveSchedule, EveryMailIsStoredExactlyOnceWhateverEndsEachCheck) {
  const Span seeds = seedsToRun();
  for (int seed = seeds.first; seed <= seeds.last; ++seed) {
    startSeed(seed);
    if (HasFatalFailure())
      return;
    const int checks = 4 + pick(4);
    for (int step = 0; step < checks; ++step) {
      newMails(seed, step);
      if (pick(3) == 0)
        deleteARecord();
      // Copies kept on the server now and then, for some days or until
      // their record goes; the days pass between checks.
      if (pick(3) == 0) {
        const settings::ServerCopies copies{pick(2) == 0, pick(3) * 2, pick(2) == 0};
        ASSERT_TRUE(settings::saveServerCopies(copies));
        log << QStringLiteral("keep %1/%2/%3")
                   .arg(copies.keep)
                   .arg(copies.deleteAfterDays)
                   .arg(copies.deleteWithRecord);
      }
      clock->addDays(pick(3));
      auto fault = Fault(pick(8));
      if (fault == Fault::DiskFull && !disk->mounted())
        fault = Fault::FlushFails;
      check(fault);
      if (qEnvironmentVariableIsSet("KORVEX_SCHEDULE_DEBUG")) {
        QFile j(UidlJournal::path());
        j.open(QIODevice::ReadOnly);
        QFile index(folder->dataFile(QStringLiteral("originals.index")));
        index.open(QIODevice::ReadOnly);
        const settings::ServerCopies now = settings::serverCopies();
        std::fprintf(stderr, "copies %d/%d/%d\n", now.keep, now.deleteAfterDays, now.deleteWithRecord);
        std::fprintf(stderr, "index: %d lines, records %d, maildir %d\n", int(index.readAll().count('\n')),
                     int(historyCount(History::Received)),
                     int(QDir(folder->dataPath() + QStringLiteral("/Maildir/new")).entryList(QDir::Files).size()));
        std::fprintf(stderr, "--- after %s %s\n%s\nfiles: %s\n", FaultNames[int(fault)], qPrintable(lastKind),
                     j.readAll().constData(),
                     qPrintable([&] {
                       QStringList out;
                       for (const QFileInfo &i : QDir(folder->attachmentPath()).entryInfoList(QDir::Files))
                         out << i.fileName() + u'=' + QString::number(i.size());
                       return out.join(u' ');
                     }()));
      }
      log << QStringLiteral("%1%2 (%3 stored, %4 on the server)")
                 .arg(QString::fromLatin1(FaultNames[int(fault)]))
                 .arg(lastKind.isEmpty() ? QString() : QStringLiteral(" ") + lastKind)
                 .arg(historyCount(History::Received))
                 .arg(servers->messageCount(User));
      expectNoMailTwice();
    }
    // The option off: the copies kept go, none stored again.
    ASSERT_TRUE(settings::saveServerCopies({}));
    log << QStringLiteral("clean");
    check(Fault::None);
    if (qEnvironmentVariableIsSet("KORVEX_SCHEDULE_DEBUG")) {
      std::fprintf(stderr, "--- after clean: %s\n",
                   qPrintable(QDir(folder->attachmentPath()).entryList(QDir::Files).join(u' ')));
      for (const RecordOriginal &o : recordOriginals(History::Received))
        std::fprintf(stderr, "record %d %s: %s (%lld)\n", o.record,
                     qPrintable(received()[o.record - 1].Subject), qPrintable(o.path),
                     QFileInfo(o.path).size());
      QFile index(folder->dataFile(QStringLiteral("originals.index")));
      index.open(QIODevice::ReadOnly);
      std::fprintf(stderr, "%s\n", index.readAll().constData());
    }
    expectEachMailOnce(seed);
    if (qEnvironmentVariableIsSet("KORVEX_SCHEDULE_VERBOSE"))
      std::fprintf(stderr, "seed %d: %d mails, %s\n", seed, int(put.size()),
                   qPrintable(log.join(QStringLiteral(", "))));
    if (HasFailure()) {
      std::fprintf(stderr, "fault schedule: seed %d failed\n", seed);
      return;
    }
  }
}

// Copies kept on the server: stored once however many checks see them, left
// there until their days are over, their record is deleted in the viewer
// (with that choice on) or the option goes off; the state stays small.
TEST_F(ReceiveSchedule, KeptCopiesStayOnTheServerUntilTheirDaysTheirRecordOrTheOptionGo) {
  startSeed(0);
  ASSERT_TRUE(settings::saveServerCopies({true, 3, true}));
  auto seed = [&](const QByteArray &id) {
    QByteArray attachment;
    ASSERT_TRUE(servers->seed(User, mailOf(id, 2, &attachment)));
    put.insert(id, attachment);
  };
  auto ids = [&] {
    QList<QByteArray> out;
    for (const MailRecord &r : received())
      out << idOf(r.Subject);
    return out;
  };
  seed("m0-0-0");
  seed("m0-0-1");
  check(Fault::None);
  EXPECT_EQ(servers->messageCount(User), 2);
  clock->addDays(2);
  seed("m0-1-0");
  check(Fault::None);
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("新着メール有り。"));
  check(Fault::None);
  EXPECT_EQ(host.statusTexts.last(), QStringLiteral("新着メール無し。")) << "nothing new";
  EXPECT_EQ(ids(), (QList<QByteArray>{"m0-0-0", "m0-0-1", "m0-1-0"}));
  EXPECT_EQ(servers->messageCount(User), 3) << "every copy kept";

  // The newest record deleted in the viewer: its copy goes at the next check.
  HistoryMode = HistoryModeNone;
  openHistoryViewer(History::Received);
  forms::tyakuForm().get()->List1->setCurrentRow(2);
  boxes.pushAnswer(platform::MsgAnswer::Yes);
  forms::tyakuForm().get()->Command1_Click();
  forms::tyakuForm().unload();
  boxes.clear();
  check(Fault::None);
  EXPECT_EQ(servers->messageCount(User), 2);

  // Three days after the first two came, they go; the record stays.
  clock->addDays(1);
  seed("m0-2-0");
  check(Fault::None);
  EXPECT_EQ(servers->messageCount(User), 1) << "only the one of today";
  EXPECT_EQ(ids(), (QList<QByteArray>{"m0-0-0", "m0-0-1", "m0-2-0"}));

  // A check killed with the option on stores nothing twice after the next.
  seed("m0-3-0");
  seed("m0-3-1");
  killedReceive(folder->path(), settings::Pop3Server, true, nullptr);
  check(Fault::None);
  EXPECT_EQ(servers->messageCount(User), 3);
  {
    QFile journal(UidlJournal::path());
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    const QByteArray lines = journal.readAll();
    EXPECT_LT(lines.size(), 400) << "three short lines:\n" << lines.toStdString();
  }

  // The option off: what was kept goes, nothing comes twice.
  ASSERT_TRUE(settings::saveServerCopies({false, 3, true}));
  check(Fault::None);
  EXPECT_EQ(servers->messageCount(User), 0);
  deletedByUser.insert("m0-1-0");
  expectEachMailOnce(0);
  EXPECT_FALSE(QFile::exists(UidlJournal::path()));
}

// A server without UIDL cannot keep copies by their ids: the user is told
// once, and the mails are deleted as before, each stored once.
TEST_F(ReceiveSchedule, AServerWithoutUidlIsToldOnceAndDeletesAsBefore) {
  startSeed(0);
  ASSERT_TRUE(settings::saveServerCopies({true, 0, false}));
  testsupport::ScriptedServer server(
      testsupport::pop3Mailbox({plainMail("first", "1"), plainMail("second", "2")}));
  agreeToPlainLogin(server.port());
  settings::Pop3Server = server.address();
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  ReceiveMail(host);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("UIDL")));
  QStringList deletes;
  for (const QString &line : server.received())
    if (line.startsWith(QStringLiteral("DELE ")))
      deletes << line;
  EXPECT_EQ(deletes, (QStringList{QStringLiteral("DELE 1"), QStringLiteral("DELE 2")}));
  EXPECT_EQ(received().size(), 2);
}
