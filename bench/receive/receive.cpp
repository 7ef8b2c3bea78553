// Receiving 1,000 mails of about 5 KB from a local Dovecot, in one run
// (each receive through the main window also prints the longest time the
// window went without processing events: a 1 ms timer's largest gap):
//  - the whole receive as the user waits for it: the main window's receive
//    button under the offscreen platform, with the real histories, the real
//    attachment folder and the viewer filled as the routine fills it;
//  - mpop (STLS) on the same mails seeded again, into a maildir and into an
//    mbox;
//  five rounds taken in turn, then the NMail operations alone once. Prints the
//  rates and the ratio; never fails on time.
//
//   bench_receive [mails]     (default 1000)
//   bench_receive --gaps [mails]   one receive through the main window: the
//                                  longest gaps without event processing
//   bench_receive --large     20 mails of 10 MB: time and peak memory, beside
//                             mpop into an mbox and into a maildir
//   bench_receive --hostile   a page of nested formatting tags, a mail of
//                             3,000 attachments of one name and two letters
//                             (tests/support/hostilemail): time, peak memory
//   bench_receive --budget    the sixteen mails built to stall a reader
//                             (tests/support/hostilemail budgetMails: two
//                             pages that nest without end, 3,000 hidden files
//                             of one name, a mail split in 10, a letter of
//                             54 MB, two letters): time, peak memory and the
//                             longest time without processing events
//   bench_receive --indexed [mails]  the receive with the search index kept up
//                             to date (from the click until the index holds
//                             the new mails too) beside the plain receive,
//                             five pairs taken in turn
//   bench_receive --peers [mails] [rounds]  the main window beside every peer
//                             on the same mails: mpop into a maildir and into
//                             an mbox, Sylpheed and Claws Mail (driven by
//                             bench/receive/peer.sh on the X display in
//                             $DISPLAY, "receive all" typed into a fresh
//                             profile each round); Korvex's time as a share
//                             of each peer's and of the fastest client's
//                             (default 5 rounds). Every folder lies under
//                             $TMPDIR: run.sh --peers points it at a fresh
//                             journaled ext4 and at a tmpfs in turn.
//
// Run by bench/receive/run.sh, which starts the servers of tests/servers and
// points KORVEX_SERVERS_DIR at them.
#include "bench/support/benchsupport.h"
#include "mail/net/nmail.h"
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/store/searchindex.h"
#include "mail/store/uidljournal.h"
#include "main/lib/mainform.h"
#include "platform/core/paths.h"
#include "platform/messagebox.h"
#include "settings/config.h"
#include "settings/servercopies.h"
#include "tests/support/hostilemail.h"
#include "tests/support/procstatus.h"
#include "tests/support/servers.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nmail;
using bench::median;
using testsupport::MailServers;
using testsupport::statusKb;

namespace {

// The figure to report is taken with 1,000; fewer only check that the run works.
int MailCount = 1000;

QByteArray jis(const QString &text) {
  // The servers' mail is ISO-2022-JP as Japanese mailers send it; iconv
  // through the shell keeps this file free of a converter of its own.
  QProcess p;
  p.start(QStringLiteral("iconv"), {QStringLiteral("-f"), QStringLiteral("UTF-8"),
                                    QStringLiteral("-t"), QStringLiteral("ISO-2022-JP")});
  p.write(text.toUtf8());
  p.closeWriteChannel();
  p.waitForFinished(10000);
  return p.readAllStandardOutput();
}

// About 5 KB each: Japanese text, and every tenth mail with a small binary
// attachment.
QList<QByteArray> makeMails() {
  const QByteArray subject =
      "=?ISO-2022-JP?B?" + jis(QStringLiteral("ベンチマーク用のメール")).toBase64() + "?=";
  QByteArray text;
  const QByteArray line =
      jis(QStringLiteral("これは受信速度を測るための試験用メールです。漢字とかなを含みます。")) +
      "\r\n";
  while (text.size() < 4900)
    text += line;
  QByteArray attachment;
  for (int i = 0; i < 1500; ++i)
    attachment.append(char(i * 7));
  QList<QByteArray> mails;
  for (int i = 1; i <= MailCount; ++i) {
    QByteArray head =
        "From: Bench <bench@example.org>\r\nTo: alice@korvex.test\r\nSubject: " + subject + " " +
        QByteArray::number(i) + "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nMessage-ID: <bench." +
        QByteArray::number(i) + "@example.org>\r\nMIME-Version: 1.0\r\n";
    if (i % 10 == 0) {
      mails << head +
                   "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                   "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n" +
                   text.left(2000) +
                   "\r\n--b\r\nContent-Type: application/octet-stream; name=\"data" +
                   QByteArray::number(i) +
                   ".bin\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: "
                   "attachment; filename=\"data" +
                   QByteArray::number(i) + ".bin\"\r\n\r\n" + attachment.toBase64() +
                   "\r\n--b--\r\n";
    } else {
      mails << head + "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n" + text;
    }
  }
  return mails;
}

struct Run {
  int received = 0;
  qint64 ms = 0;
  qint64 clickMs = 0; // until the receive button's routine returned (the server is empty)
  qint64 cpuMs = -1;  // this process's CPU time, where it did the work
  QString error;
  // Longest time between two ticks of a 1 ms timer during the run: how long
  // the window went without processing events (painting, clicks, the clock).
  qint64 longestGapMs = -1;
  int gapsOver100Ms = 0;
  QList<qint64> gaps; // every gap over 20 ms, in order
};

// Counts the time between ticks of a 1 ms timer, from construction on.
class GapMeter {
public:
  GapMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    clock_.start();
    last_ = 0;
    timer_.start(1);
  }
  void finish(Run &run) {
    tick();
    timer_.stop();
    run.longestGapMs = longest_;
    run.gapsOver100Ms = over100_;
    run.gaps = gaps_;
  }

private:
  void tick() {
    const qint64 now = clock_.elapsed();
    const qint64 gap = now - last_;
    last_ = now;
    longest_ = std::max(longest_, gap);
    if (gap > 100)
      ++over100_;
    if (gap > 20)
      gaps_ << gap;
  }
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  qint64 longest_ = 0;
  int over100_ = 0;
  QList<qint64> gaps_;
};

Run receiveWithKorvex(const MailServers &servers, const QString &folder) {
  Run run;
  const auto u = servers.user(QStringLiteral("alice"));
  QElapsedTimer clock;
  clock.start();
  const int h =
      NMailPop3Connect(servers.pop3Server() + QStringLiteral("#sha256=") + servers.certSha256);
  if (h == -1) {
    run.error = QStringLiteral("connect failed");
    return run;
  }
  const int count = NMailPop3Authenticate(h, u.name, u.password, 0);
  QString subject = newTextBuffer(), date = newTextBuffer(), from = newTextBuffer(),
          header = newTextBuffer();
  for (int n = 1; n <= count; ++n) {
    NMailPop3GetMailStatus(h, n, subject, date, from, header, 0);
    QString body(NMailPop3GetMailSize(h, n) + 1, QLatin1Char(' '));
    if (NMailPop3GetMail(h, n, subject, date, from, header, body, 0, 0) < 0)
      continue;
    NMailAttachmentFileFirst(0, cutAtNul(subject), cutAtNul(date), cutAtNul(from), cutAtNul(header),
                             body, folder + QLatin1Char('/'), folder + QStringLiteral("/0.txt"),
                             cutAtNul(header) + cutAtNul(body), 0);
    NMailAttachmentFileClose(0);
    body = QString(NMailPop3GetMailSize(h, n) + 1, QLatin1Char(' '));
    if (NMailPop3DeleteMail(h, n) == 0)
      ++run.received;
  }
  NMailPop3Close(h);
  run.ms = clock.elapsed();
  return run;
}

// mpop into a maildir, or with `mbox` into one mbox file (synced before QUIT:
// the fastest safe delivery, as Korvex's history is). With `keep`, mpop
// leaves every mail on the server and fetches only those its uidls file
// does not know.
Run receiveWithMpop(const MailServers &servers, const QString &work, bool mbox = false,
                    bool keep = false) {
  Run run;
  const auto u = servers.user(QStringLiteral("alice"));
  const QString maildir = work + QStringLiteral("/Maildir");
  const QString mboxFile = work + QStringLiteral("/mbox");
  for (const char *sub : {"/cur", "/new", "/tmp"})
    QDir().mkpath(maildir + QLatin1String(sub));
  const int before = servers.messageCount(QStringLiteral("alice"));
  QString colons;
  for (int i = 0; i < servers.certSha256.size(); i += 2)
    colons += (i ? QStringLiteral(":") : QString()) + servers.certSha256.mid(i, 2);
  const QString conf = work + QStringLiteral("/mpoprc");
  {
    QFile f(conf);
    f.open(QIODevice::WriteOnly);
    f.write(
        QStringLiteral(
            "defaults\ntls on\ntls_starttls on\ntls_fingerprint %1\nkeep %8\nonly_new %8\n"
            "uidls_file %2/uidls\naccount bench\nhost %3\nport %4\nuser %5\npassword %6\n"
            "auth user\ndelivery %7\n")
            .arg(colons, work, servers.host)
            .arg(servers.pop3Port)
            .arg(u.name, u.password,
                 mbox ? QStringLiteral("mbox ") + mboxFile : QStringLiteral("maildir ") + maildir,
                 keep ? QStringLiteral("on") : QStringLiteral("off"))
            .toUtf8());
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  }
  QProcess mpop;
  mpop.setProcessChannelMode(QProcess::MergedChannels);
  QElapsedTimer clock;
  clock.start();
  mpop.start(QStringLiteral("mpop"),
             {QStringLiteral("-C"), conf, QStringLiteral("-q"), QStringLiteral("bench")});
  if (!mpop.waitForFinished(300000) || mpop.exitCode() != 0)
    run.error = QStringLiteral("mpop: ") + QString::fromLocal8Bit(mpop.readAll());
  run.ms = clock.elapsed();
  run.received = mbox && !keep
                     ? before - servers.messageCount(QStringLiteral("alice"))
                     : QDir(maildir + QStringLiteral("/new")).entryList(QDir::Files).size() +
                           QDir(maildir + QStringLiteral("/cur")).entryList(QDir::Files).size();
  return run;
}

Run receiveWithMpopKeeping(const MailServers &servers, const QString &work) {
  return receiveWithMpop(servers, work + QStringLiteral("/mpop-kept"), false, true);
}

// In batches: the seeding script copies each mail with a process of its
// own, and one call for a thousand mails can outlast the helper's wait on a
// busy machine.
bool seedAll(const MailServers &servers, const QList<QByteArray> &mails) {
  if (!servers.clear(QStringLiteral("alice")))
    return false;
  for (qsizetype i = 0; i < mails.size(); i += 100)
    if (!servers.seed(QStringLiteral("alice"), mails.mid(i, 100)))
      return false;
  return true;
}

double rate(const Run &r) {
  return r.ms > 0 ? r.received * 1000.0 / r.ms : 0;
}

// A program folder as the user has it: data folder, attachment folder, the
// server (with the test certificate pinned) and the account.
bool makeProgramFolder(const MailServers &servers, const QString &folder) {
  if (!bench::makeProgramFolder(folder))
    return false;
  const auto u = servers.user(QStringLiteral("alice"));
  settings::Pop3Server = servers.pop3Server() + QStringLiteral("#sha256=") + servers.certSha256;
  return settings::SaveServerSettings() &&
         settings::WriteAccountKey(QStringLiteral("NAME"), u.name) &&
         settings::WriteAccountKey(QStringLiteral("NAME2"), u.password);
}

// The receive button of the main window, from the click until the routine
// returns (the server has carried out the deletions at QUIT). Each run starts
// from an empty received history and attachment folder.
// With `indexed`, the search index exists and is in step with the history
// before the click, and the time runs until the index holds the new mails
// as well; without, there is no index (a user who never searched).
Run receiveWithMainWindow(const MailServers &servers, int expected, bool indexed = false) {
  Run run;
  QFile::remove(mail::historyPath(mail::History::Received));
  const mail::search::Paths paths = mail::search::pathsFor(mail::History::Received);
  for (const char *suffix : {"", "-journal", "-wal", "-shm"})
    QFile::remove(paths.index + QLatin1String(suffix));
  if (indexed && !mail::search::syncIndex(paths, mail::History::Received).ok)
    run.error = QStringLiteral("the search index could not be made");
  QDir attachments(platform::attachmentFolder());
  for (const QString &name : attachments.entryList(QDir::Files))
    attachments.remove(name);
  MainForm *form = forms::mainForm().get();
  QElapsedTimer clock;
  const qint64 cpuStart = bench::cpuMs();
  clock.start();
  GapMeter gaps;
  form->Command4_Click();
  run.clickMs = clock.elapsed();
  if (indexed)
    mail::search::waitForUpdates();
  gaps.finish(run);
  run.ms = clock.elapsed();
  run.cpuMs = bench::cpuMs() - cpuStart;
  run.received = mail::historyCount(mail::History::Received);
  const int left = servers.messageCount(QStringLiteral("alice"));
  if (indexed &&
      mail::search::searchHistory(paths, mail::History::Received, QStringLiteral("ベンチマーク"))
              .records.size() != run.received)
    run.error = QStringLiteral("the index does not hold every received mail");
  if (run.received != expected || left != 0)
    run.error =
        QStringLiteral("main window: %1 stored, %2 left on the server").arg(run.received).arg(left);
  return run;
}

// 20 mails of 10 MB each (a short text and a large attachment) through the
// main window's receive: the time and the peak memory above the idle window,
// beside mpop on the same mails into an mbox and into a maildir; three
// rounds, medians.
int largeMails(const MailServers &servers, const QString &work) {
  constexpr int Count = 20;
  constexpr int Size = 10 * 1024 * 1024;
  constexpr int Rounds = 3;
  QList<QByteArray> mails;
  qint64 largest = 0;
  for (int i = 1; i <= Count; ++i) {
    QByteArray raw(Size / 4 * 3, Qt::Uninitialized);
    for (int k = 0; k < raw.size(); ++k)
      raw[k] = char((k * 131 + i) ^ (k >> 9));
    QByteArray mail =
        "From: Bench <bench@example.org>\r\nTo: alice@korvex.test\r\nSubject: large " +
        QByteArray::number(i) +
        "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
        "Content-Type: text/plain; charset=US-ASCII\r\n\r\nA large attachment.\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"large" +
        QByteArray::number(i) + ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    const QByteArray b64 = raw.toBase64();
    for (qsizetype k = 0; k < b64.size(); k += 76)
      mail += b64.mid(k, 76) + "\r\n";
    mail += "--b--\r\n";
    largest = std::max<qint64>(largest, mail.size());
    mails << mail;
  }
  auto seedLarge = [&] {
    if (!servers.clear(QStringLiteral("alice")))
      return false;
    for (const QByteArray &m : mails)
      if (!servers.seed(QStringLiteral("alice"), m))
        return false;
    return true;
  };
  auto mbPerS = [&](const Run &r) {
    return r.ms > 0 ? r.received * double(largest) / 1048576.0 / (r.ms / 1000.0) : 0;
  };
  MainForm *form = forms::mainForm().get();
  (void)form;
  QList<qint64> korvexMs, mboxMs, maildirMs;
  QList<double> aboveIdle;
  QStringList errors;
  for (int round = 0; round < Rounds; ++round) {
    if (!seedLarge())
      return 2;
    QCoreApplication::processEvents();
    const long idleKb = statusKb("VmRSS:");
    const bool reset = testsupport::resetPeakMemory();
    const Run run = receiveWithMainWindow(servers, Count);
    const long peakKb = statusKb("VmHWM:");
    if (!seedLarge())
      return 2;
    const Run mbox =
        receiveWithMpop(servers, work + QStringLiteral("/large-mbox%1").arg(round), true);
    if (!seedLarge())
      return 2;
    const Run maildir =
        receiveWithMpop(servers, work + QStringLiteral("/large-maildir%1").arg(round));
    QDir(work + QStringLiteral("/large-mbox%1").arg(round)).removeRecursively();
    QDir(work + QStringLiteral("/large-maildir%1").arg(round)).removeRecursively();
    std::printf("  round %d: korvex %lld ms (CPU %lld ms), idle window %.1f MB, peak %.1f MB "
                "(VmHWM%s): %.1f MB above idle = %.2f x the largest mail; mpop to an mbox %lld ms, "
                "to a maildir %lld ms\n",
                round + 1, run.ms, run.cpuMs, idleKb / 1024.0, peakKb / 1024.0,
                reset ? " after reset" : ", not reset: whole process", (peakKb - idleKb) / 1024.0,
                (peakKb - idleKb) * 1024.0 / largest, mbox.ms, maildir.ms);
    std::fflush(stdout);
    korvexMs << run.ms;
    mboxMs << mbox.ms;
    maildirMs << maildir.ms;
    aboveIdle << (peakKb - idleKb) * 1024.0 / largest;
    for (const Run *r : {&run, &mbox, &maildir})
      if (!r->error.isEmpty())
        errors << r->error;
    if (mbox.received != Count || maildir.received != Count)
      errors << QStringLiteral("mpop received %1 (mbox) and %2 (maildir) of %3")
                    .arg(mbox.received)
                    .arg(maildir.received)
                    .arg(Count);
    // The attachments and mails of this round go, so that the disk holds one round.
    for (const QString &path :
         {platform::attachmentFolder(),
          mail::originalsFolder(mail::History::Received).root() + QStringLiteral("/new")}) {
      QDir folder(path);
      for (const QString &name : folder.entryList(QDir::Files))
        folder.remove(name);
    }
  }
  Run k, m, d;
  k.received = m.received = d.received = Count;
  k.ms = median(korvexMs);
  m.ms = median(mboxMs);
  d.ms = median(maildirMs);
  std::printf("large mails: %d of %.1f MB, median of %d rounds:\n", Count, largest / 1048576.0,
              Rounds);
  // The first round is the one a user meets: a window that has received
  // nothing yet. Later rounds start from what the first one left.
  std::printf("  korvex main window: %lld ms = %.1f MB/s; peak above idle %.2f x the largest "
              "mail in the first round (later rounds %.2f, %.2f)\n",
              k.ms, mbPerS(k), aboveIdle.value(0), aboveIdle.value(1), aboveIdle.value(2));
  std::printf("  mpop to an mbox:    %lld ms = %.1f MB/s (korvex/mpop rate %.2f)\n", m.ms,
              mbPerS(m), k.ms > 0 ? double(m.ms) / k.ms : 0);
  std::printf("  mpop to a maildir:  %lld ms = %.1f MB/s (korvex/mpop rate %.2f)\n", d.ms,
              mbPerS(d), k.ms > 0 ? double(d.ms) / k.ms : 0);
  for (const QString &e : errors)
    std::fprintf(stderr, "error: %s\n", qPrintable(e));
  return errors.isEmpty() ? 0 : 1;
}

// The four hostile mails through the main window's receive: the time from
// the click until the server is empty, and the process's peak memory.
int hostileMails(const MailServers &servers) {
  const QList<QByteArray> mails = testsupport::hostileMails();
  if (!seedAll(servers, mails))
    return 2;
  forms::mainForm().get();
  QCoreApplication::processEvents();
  const long idleKb = statusKb("VmRSS:");
  const Run run = receiveWithMainWindow(servers, int(mails.size()));
  const long peakKb = statusKb("VmHWM:");
  std::printf("hostile mails: %d of %d stored in %lld ms (CPU %lld ms)\n", run.received,
              int(mails.size()), run.ms, run.cpuMs);
  std::printf("  peak memory of the process %.1f MB (VmHWM), idle window %.1f MB\n",
              peakKb / 1024.0, idleKb / 1024.0);
  if (!run.error.isEmpty())
    std::fprintf(stderr, "error: %s\n", qPrintable(run.error));
  return run.error.isEmpty() ? 0 : 1;
}

// The sixteen mails built to stall a reader through the main window's
// receive: the time from the click until the server is empty, the peak
// memory above the idle window (the mails themselves are let go before the
// click) and the longest gap between ticks of the window's 1 ms timer; and
// whether every mail is stored whole in the Maildir.
// Boxes answered at once, as by a user who clicks OK the moment one shows
// (each part of the split mail but the last says the set is not complete).
class ClickedBoxes final : public platform::MessageBoxBackend {
public:
  ClickedBoxes() { platform::setMessageBoxBackend(this); }
  ~ClickedBoxes() override { platform::setMessageBoxBackend(nullptr); }
  platform::MsgAnswer show(QWidget *, const platform::MessageBoxRequest &) override {
    ++shown;
    return platform::MsgAnswer::Ok;
  }
  int shown = 0;
};

int budgetMails(const MailServers &servers) {
  ClickedBoxes boxes;
  QList<qint64> sizes;
  qint64 largest = 0;
  {
    const QList<QByteArray> mails = testsupport::budgetMails();
    for (const QByteArray &m : mails) {
      sizes << m.size();
      largest = std::max<qint64>(largest, m.size());
    }
    if (!servers.clear(QStringLiteral("alice")))
      return 2;
    for (const QByteArray &m : mails)
      if (!servers.seed(QStringLiteral("alice"), m))
        return 2;
  }
  forms::mainForm().get();
  QCoreApplication::processEvents();
  bench::printLoad("before");
  const long idleKb = statusKb("VmRSS:");
  const bool reset = testsupport::resetPeakMemory();
  Run run = receiveWithMainWindow(servers, int(sizes.size()));
  const int files = int(QDir(platform::attachmentFolder()).entryList(QDir::Files).size());
  const long peakKb = statusKb("VmHWM:");
  // Stored whole: the Maildir holds a file of each mail's size (and one
  // more, the mail joined from the split parts).
  QList<qint64> stored;
  const QDir maildir(mail::originalsFolder(mail::History::Received).root() +
                     QStringLiteral("/new"));
  for (const QFileInfo &f : maildir.entryInfoList(QDir::Files))
    stored << f.size();
  QDir cur(mail::originalsFolder(mail::History::Received).root() + QStringLiteral("/cur"));
  for (const QFileInfo &f : cur.entryInfoList(QDir::Files))
    stored << f.size();
  QList<qint64> missing;
  for (const qint64 size : sizes)
    if (!stored.removeOne(size))
      missing << size;
  const bool whole = missing.isEmpty();
  if (!whole && run.error.isEmpty())
    run.error = QStringLiteral("%1 of the %2 mails sent are not in the Maildir whole")
                    .arg(missing.size())
                    .arg(sizes.size());
  const double goalMb = 2.0 * largest / 1048576.0 + 100;
  QStringList over;
  for (qint64 g : run.gaps)
    over << QString::number(g);
  std::printf("budget mails: %d of %d stored (Maildir: %s, and %d more: the joined mail), server "
              "left with %d, in %lld ms (CPU %lld ms; goal: under 20000 ms)\n",
              run.received, int(sizes.size()), whole ? "all whole" : "NOT all whole",
              int(stored.size()), servers.messageCount(QStringLiteral("alice")), run.ms, run.cpuMs);
  std::printf("  peak memory %.1f MB (VmHWM%s), idle window %.1f MB: %.1f MB above idle; the "
              "largest mail %.1f MB (goal: under 2 x it + 100 MB = %.1f MB)\n",
              peakKb / 1024.0, reset ? " after reset" : ", not reset: whole process",
              idleKb / 1024.0, (peakKb - idleKb) / 1024.0, largest / 1048576.0, goalMb);
  std::printf("  longest time without processing events: %lld ms (goal: under 100 ms); gaps over "
              "20 ms: %s\n",
              run.longestGapMs,
              over.isEmpty() ? "none" : qPrintable(over.join(QStringLiteral(" "))));
  std::printf("  files in the attachment folder: %d; message boxes answered at once: %d\n", files,
              boxes.shown);
  bench::printLoad("after");
  if (!run.error.isEmpty())
    std::fprintf(stderr, "error: %s\n", qPrintable(run.error));
  return run.error.isEmpty() ? 0 : 1;
}

// CPU time of each thread of this process (from /proc), by thread id, with
// its name: the receive's stages are seen apart (the window's thread, the
// transport thread, the workers).
struct ThreadCpu {
  QString name;
  qint64 ns = 0;
};
QMap<QString, ThreadCpu> threadCpu() {
  QMap<QString, ThreadCpu> out;
  const QDir tasks(QStringLiteral("/proc/self/task"));
  for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile stat(tasks.filePath(tid + QStringLiteral("/schedstat")));
    QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
    if (!stat.open(QIODevice::ReadOnly) || !comm.open(QIODevice::ReadOnly))
      continue;
    out.insert(tid, ThreadCpu{QString::fromUtf8(comm.readAll().trimmed()),
                              stat.readAll().split(' ').value(0).toLongLong()});
  }
  return out;
}

void printThreadCpu(const QMap<QString, ThreadCpu> &before) {
  QMap<QString, qint64> byName;
  for (const auto &[tid, now] : threadCpu().asKeyValueRange())
    byName[now.name] += now.ns - before.value(tid).ns;
  QStringList parts;
  for (const auto &[name, ns] : byName.asKeyValueRange())
    if (ns >= 1000000)
      parts << QStringLiteral("%1 %2 ms").arg(name).arg(ns / 1000000);
  std::printf("  CPU by thread: %s\n", qPrintable(parts.join(QStringLiteral(", "))));
}

// One receive of MailCount mails through the main window's button, timing
// how long the window goes without processing events.
int eventGaps(const MailServers &servers) {
  const QList<QByteArray> mails = makeMails();
  if (!seedAll(servers, mails))
    return 2;
  forms::mainForm().get();
  const QMap<QString, ThreadCpu> cpuBefore = threadCpu();
  const Run run = receiveWithMainWindow(servers, MailCount);
  QStringList over;
  for (qint64 g : run.gaps)
    over << QString::number(g);
  std::printf("receive of %d mails through the main window: %lld ms\n", run.received, run.ms);
  std::printf("  longest time without processing events: %lld ms (goal: under 100 ms)\n",
              run.longestGapMs);
  std::printf("  gaps over 100 ms: %d; every gap over 20 ms: %s\n", run.gapsOver100Ms,
              over.isEmpty() ? "none" : qPrintable(over.join(QStringLiteral(" "))));
  printThreadCpu(cpuBefore);
  if (!run.error.isEmpty())
    std::fprintf(stderr, "error: %s\n", qPrintable(run.error));
  return run.error.isEmpty() ? 0 : 1;
}

// The whole receive with the search index kept up to date beside the plain
// receive, in pairs taken in turn.
int indexedPairs(const MailServers &servers) {
  const QList<QByteArray> mails = makeMails();
  forms::mainForm().get();
  bench::printLoad("before");
  constexpr int Pairs = 5;
  QList<double> plainMs, indexedMs, ratios, clickMs, clickRatios;
  QList<qint64> plainCpu, indexedCpu;
  QStringList errors;
  for (int i = 0; i < Pairs; ++i) {
    if (!seedAll(servers, mails))
      return 2;
    const Run plain = receiveWithMainWindow(servers, MailCount);
    if (!seedAll(servers, mails))
      return 2;
    const Run indexed = receiveWithMainWindow(servers, MailCount, true);
    for (const Run *r : {&plain, &indexed})
      if (!r->error.isEmpty())
        errors << r->error;
    std::printf("  pair %d: plain %lld ms (CPU %lld ms), index kept up to date %lld ms (CPU %lld "
                "ms; the receive itself %lld ms)\n",
                i + 1, plain.ms, plain.cpuMs, indexed.ms, indexed.cpuMs, indexed.clickMs);
    std::fflush(stdout);
    plainMs << plain.ms;
    indexedMs << indexed.ms;
    clickMs << indexed.clickMs;
    plainCpu << plain.cpuMs;
    indexedCpu << indexed.cpuMs;
    ratios << (plain.ms > 0 ? double(indexed.ms) / plain.ms : 0);
    clickRatios << (plain.ms > 0 ? double(indexed.clickMs) / plain.ms : 0);
  }
  std::printf("whole receive of %d mails, median of %d pairs:\n", MailCount, Pairs);
  std::printf("  plain:                           %.0f ms (CPU %lld ms)\n", bench::median(plainMs),
              bench::median(plainCpu));
  std::printf("  indexed, until the server is empty (the user's wait): %.0f ms\n",
              bench::median(clickMs));
  std::printf("  indexed, until the index is up to date too: %.0f ms (CPU %lld ms)\n",
              bench::median(indexedMs), bench::median(indexedCpu));
  std::printf("  ratio indexed/plain, the user's wait:       %.3f (median of the pairs)\n",
              bench::median(clickRatios));
  std::printf(
      "  ratio indexed/plain, index up to date:      %.3f (median of the pairs; goal: at most 1.05)\n",
      bench::median(ratios));
  bench::printLoad("after");
  for (const QString &e : errors)
    std::fprintf(stderr, "error: %s\n", qPrintable(e));
  return errors.isEmpty() ? 0 : 1;
}

// The peer script: beside this source, or where KORVEX_PEER_SCRIPT says.
QString peerScript() {
  const QString set = qEnvironmentVariable("KORVEX_PEER_SCRIPT");
  return set.isEmpty() ? QStringLiteral(KORVEX_SOURCE_DIR "/bench/receive/peer.sh") : set;
}

struct PeerRun {
  qint64 emptyMs = -1;  // keypress until the server is empty
  qint64 storedMs = -1; // keypress until every mail is in the client's inbox
  long peakKb = -1;     // the client's VmHWM
  int stored = 0;
  QString error;
};

// Runs the peer script; its standard output, or an error.
bool runPeerScript(const QStringList &args, QByteArray &out, QString &error) {
  QProcess p;
  p.start(QStringLiteral("bash"), QStringList{peerScript()} + args);
  if (!p.waitForFinished(660000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    if (p.state() != QProcess::NotRunning) {
      p.kill();
      p.waitForFinished(5000);
    }
    error = QStringLiteral("peer.sh %1: %2")
                .arg(args.join(QLatin1Char(' ')),
                     QString::fromLocal8Bit(p.readAllStandardError()).trimmed());
    return false;
  }
  out = p.readAllStandardOutput();
  return true;
}

// One receive of a peer client: a fresh profile under `work`, started and
// warmed up against the empty server, then the mails, then "receive all".
PeerRun receiveWithPeer(const MailServers &servers, const QList<QByteArray> &mails,
                        const QString &client, const QString &work) {
  PeerRun run;
  QDir(work).removeRecursively();
  QDir().mkpath(work);
  QByteArray out;
  if (!servers.clear(QStringLiteral("alice"))) {
    run.error = QStringLiteral("the server could not be emptied");
    return run;
  }
  if (runPeerScript({QStringLiteral("start"), client, work, servers.dir + QStringLiteral("/env")},
                    out, run.error) &&
      seedAll(servers, mails) &&
      runPeerScript({QStringLiteral("receive"), work, QString::number(mails.size())}, out,
                    run.error)) {
    for (const QByteArray &field : out.trimmed().split(' ')) {
      const QList<QByteArray> kv = field.split('=');
      if (kv.size() != 2)
        continue;
      if (kv[0] == "empty_ms")
        run.emptyMs = kv[1].toLongLong();
      else if (kv[0] == "stored_ms")
        run.storedMs = kv[1].toLongLong();
      else if (kv[0] == "hwm_kb")
        run.peakKb = kv[1].toLong();
      else if (kv[0] == "stored")
        run.stored = kv[1].toInt();
    }
    if (run.emptyMs < 0 || run.stored != mails.size())
      run.error = QStringLiteral("%1: %2 of %3 mails in its inbox, %4 left on the server")
                      .arg(client)
                      .arg(run.stored)
                      .arg(mails.size())
                      .arg(servers.messageCount(QStringLiteral("alice")));
  }
  QString ignored;
  runPeerScript({QStringLiteral("stop"), work}, out, ignored);
  QDir(work).removeRecursively();
  return run;
}

// Which file system $TMPDIR lies on, as /proc/mounts names it.
QString fileSystemOf(const QString &path) {
  QFile f(QStringLiteral("/proc/mounts"));
  if (!f.open(QIODevice::ReadOnly))
    return QStringLiteral("unknown");
  const QString real = QDir(path).canonicalPath();
  QString best, type;
  for (const QByteArray &line : f.readAll().split('\n')) {
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() < 3)
      continue;
    const QString mount = QString::fromLocal8Bit(parts[1]);
    if ((real == mount || real.startsWith(mount == QLatin1String("/") ? mount : mount + u'/')) &&
        mount.size() > best.size()) {
      best = mount;
      type = QString::fromLocal8Bit(parts[2]);
    }
  }
  return type + QStringLiteral(" at ") + best;
}

// The main window beside mpop (maildir, mbox), Sylpheed and Claws Mail, in
// rounds taken in turn; medians, and Korvex's time as a share of each.
int peerRounds(const MailServers &servers, const QString &work, int rounds) {
  const QList<QByteArray> mails = makeMails();
  std::printf("mails: %d; folders on %s\n", int(mails.size()), qPrintable(fileSystemOf(work)));
  QStringList clients;
  const bool display = !qEnvironmentVariableIsEmpty("DISPLAY");
  for (const QString &c : {QStringLiteral("sylpheed"), QStringLiteral("claws-mail")}) {
    if (!display)
      std::printf("  %s left out: no X display (run.sh --peers starts an Xvfb)\n", qPrintable(c));
    else if (QStandardPaths::findExecutable(c).isEmpty())
      std::printf("  %s left out: not installed\n", qPrintable(c));
    else
      clients << c;
  }
  forms::mainForm().get();
  bench::printLoad("before");
  QList<qint64> korvexMs, korvexCpu, maildirMs, mboxMs;
  QMap<QString, QList<qint64>> peerEmpty, peerStored;
  QMap<QString, QList<long>> peerPeak;
  QStringList errors;
  for (int i = 0; i < rounds; ++i) {
    if (!seedAll(servers, mails))
      return 2;
    const Run window = receiveWithMainWindow(servers, int(mails.size()));
    if (!seedAll(servers, mails))
      return 2;
    const QString maildirWork = work + QStringLiteral("/peers-mpop%1").arg(i);
    const Run maildir = receiveWithMpop(servers, maildirWork);
    QDir(maildirWork).removeRecursively();
    if (!seedAll(servers, mails))
      return 2;
    const QString mboxWork = work + QStringLiteral("/peers-mbox%1").arg(i);
    const Run mbox = receiveWithMpop(servers, mboxWork, true);
    QDir(mboxWork).removeRecursively();
    for (const Run *r : {&window, &maildir, &mbox})
      if (!r->error.isEmpty())
        errors << r->error;
    if (maildir.received != mails.size() || mbox.received != mails.size())
      errors << QStringLiteral("mpop received %1 (maildir) and %2 (mbox) of %3")
                    .arg(maildir.received)
                    .arg(mbox.received)
                    .arg(mails.size());
    korvexMs << window.ms;
    korvexCpu << window.cpuMs;
    maildirMs << maildir.ms;
    mboxMs << mbox.ms;
    QString line = QStringLiteral("  round %1: korvex %2 ms (CPU %3 ms), mpop to a maildir %4 ms, "
                                  "to an mbox %5 ms")
                       .arg(i + 1)
                       .arg(window.ms)
                       .arg(window.cpuMs)
                       .arg(maildir.ms)
                       .arg(mbox.ms);
    for (const QString &c : clients) {
      const PeerRun p =
          receiveWithPeer(servers, mails, c, work + QStringLiteral("/peer-%1-%2").arg(c).arg(i));
      if (!p.error.isEmpty()) {
        errors << p.error;
        line += QStringLiteral(", %1 failed").arg(c);
        continue;
      }
      peerEmpty[c] << p.emptyMs;
      peerStored[c] << p.storedMs;
      peerPeak[c] << p.peakKb;
      line += QStringLiteral(", %1 %2 ms (all in its inbox %3 ms, peak %4 MB)")
                  .arg(c)
                  .arg(p.emptyMs)
                  .arg(p.storedMs)
                  .arg(p.peakKb / 1024.0, 0, 'f', 1);
    }
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
  }
  const qint64 k = median(korvexMs);
  auto share = [k](qint64 peer) { return peer > 0 ? double(k) / peer : 0.0; };
  std::printf("whole receive of %d mails, median of %d rounds (until the server is empty; STLS):\n",
              int(mails.size()), rounds);
  std::printf("  korvex main window:  %6lld ms (CPU %lld ms)\n", k, median(korvexCpu));
  std::printf("  mpop to a maildir:   %6lld ms   korvex/peer time %.2f\n", median(maildirMs),
              share(median(maildirMs)));
  std::printf("  mpop to an mbox:     %6lld ms   korvex/peer time %.2f\n", median(mboxMs),
              share(median(mboxMs)));
  qint64 fastest = 0;
  QString fastestName;
  for (const QString &c : clients) {
    if (peerEmpty[c].size() != rounds)
      continue;
    const qint64 e = median(peerEmpty[c]);
    std::printf(
        "  %-20s %6lld ms   korvex/peer time %.2f (all in its inbox %lld ms; peak %.1f MB)\n",
        qPrintable(c + QLatin1Char(':')), e, share(e), median(peerStored[c]),
        median(peerPeak[c]) / 1024.0);
    if (fastest == 0 || e < fastest) {
      fastest = e;
      fastestName = c;
    }
  }
  if (fastest > 0)
    std::printf("  korvex/fastest client (%s): %.2f\n", qPrintable(fastestName), share(fastest));
  bench::printLoad("after");
  for (const QString &e : errors)
    std::fprintf(stderr, "error: %s\n", qPrintable(e));
  return errors.isEmpty() ? 0 : 1;
}

// Mails dropped straight into alice's maildir, as the seeding script does
// (a file in tmp/ given to Dovecot's user, then renamed into new/), without
// a process per mail: twenty thousand of them in seconds.
bool seedMany(const MailServers &servers, int from, int count) {
  const QString md = servers.maildirRoot + QStringLiteral("/alice/Maildir");
  struct stat owner {};
  if (::stat(QFile::encodeName(md).constData(), &owner) != 0)
    return false;
  for (int i = from; i < from + count; ++i) {
    const QByteArray name = QByteArray::number(QDateTime::currentSecsSinceEpoch()) + ".kept" +
                            QByteArray::number(i).rightJustified(6, '0') + ".korvex";
    const QByteArray mail = "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\n"
                            "Subject: kept " +
                            QByteArray::number(i) +
                            "\r\n"
                            "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\nMessage-ID: <kept" +
                            QByteArray::number(i) +
                            "@example.jp>\r\n\r\n"
                            "A mail read on the phone as well.\r\n";
    const QByteArray tmp = QFile::encodeName(md) + "/tmp/" + name;
    QFile f(QString::fromLocal8Bit(tmp));
    if (!f.open(QIODevice::WriteOnly) || f.write(mail) != mail.size())
      return false;
    f.close();
    if (::chown(tmp.constData(), owner.st_uid, owner.st_gid) != 0 ||
        ::rename(tmp.constData(), (QFile::encodeName(md) + "/new/" + name).constData()) != 0)
      return false;
  }
  return true;
}

// Copies kept on the server: a mailbox of `kept` mails the main window and
// mpop (keep on, only_new on) have stored before, and 10 new ones; the time
// of the check that stores the new ones beside mpop's, and of a check that
// finds none new (what knowing the kept ones costs), and the size of the
// state each keeps.
int keptCopies(const MailServers &servers, const QString &work, int kept) {
  constexpr int New = 10, Rounds = 3;
  QStringList errors;
  if (!servers.clear(QStringLiteral("alice")) || !seedMany(servers, 0, kept))
    return 2;
  if (!settings::saveServerCopies({true, 0, false}))
    return 2;
  MainForm *form = forms::mainForm().get();
  QElapsedTimer clock;
  clock.start();
  form->Command4_Click();
  std::printf("first check, %d mails stored and kept: korvex %lld ms\n", kept, clock.elapsed());
  const Run first = receiveWithMpopKeeping(servers, work);
  std::printf("                                        mpop   %lld ms\n", first.ms);
  if (mail::historyCount(mail::History::Received) != kept || first.received != kept)
    errors << QStringLiteral("the first check stored %1 (korvex) and %2 (mpop) of %3")
                  .arg(mail::historyCount(mail::History::Received))
                  .arg(first.received)
                  .arg(kept);
  QList<qint64> korvexMs, mpopMs, idleMs;
  for (int round = 0; round < Rounds; ++round) {
    if (!seedMany(servers, kept + round * New, New))
      return 2;
    const int before = mail::historyCount(mail::History::Received);
    // In turns, so that neither always meets Dovecot's caches first.
    Run mpop;
    if (round % 2 == 1)
      mpop = receiveWithMpopKeeping(servers, work);
    clock.restart();
    form->Command4_Click();
    korvexMs << clock.elapsed();
    if (round % 2 == 0)
      mpop = receiveWithMpopKeeping(servers, work);
    mpopMs << mpop.ms;
    clock.restart();
    form->Command4_Click();
    idleMs << clock.elapsed();
    const int stored = mail::historyCount(mail::History::Received) - before;
    std::printf("  round %d: korvex %lld ms (nothing new: %lld ms), mpop %lld ms\n", round + 1,
                korvexMs.last(), idleMs.last(), mpop.ms);
    if (stored != New || mpop.received != first.received + (round + 1) * New ||
        servers.messageCount(QStringLiteral("alice")) != kept + (round + 1) * New)
      errors << QStringLiteral("round %1: korvex stored %2 new, mpop holds %3, the server %4")
                    .arg(round + 1)
                    .arg(stored)
                    .arg(mpop.received)
                    .arg(servers.messageCount(QStringLiteral("alice")));
  }
  std::printf("%d kept + %d new, median of %d rounds:\n", kept, New, Rounds);
  std::printf("  korvex main window:  %lld ms\n", median(korvexMs));
  std::printf("  mpop keep, only_new: %lld ms   korvex/mpop time %.2f\n", median(mpopMs),
              median(mpopMs) > 0 ? double(median(korvexMs)) / double(median(mpopMs)) : 0.0);
  std::printf("  korvex, nothing new: %lld ms\n", median(idleMs));
  std::printf("  state: uidl.journal %lld bytes, mpop's uidls file %lld bytes\n",
              QFileInfo(mail::UidlJournal::path()).size(),
              QFileInfo(work + QStringLiteral("/mpop-kept/uidls")).size());
  for (const QString &e : errors)
    std::fprintf(stderr, "error: %s\n", qPrintable(e));
  return errors.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool large = argc > 1 && QByteArray(argv[1]) == "--large";
  const bool hostile = argc > 1 && QByteArray(argv[1]) == "--hostile";
  const bool gapsOnly = argc > 1 && QByteArray(argv[1]) == "--gaps";
  const bool indexed = argc > 1 && QByteArray(argv[1]) == "--indexed";
  const bool budget = argc > 1 && QByteArray(argv[1]) == "--budget";
  const bool peers = argc > 1 && QByteArray(argv[1]) == "--peers";
  const bool keptMode = argc > 1 && QByteArray(argv[1]) == "--kept";
  const int countArg = gapsOnly || indexed || peers ? 2 : 1;
  int rounds = 5;
  if (peers && argc > 3) {
    bool ok = false;
    rounds = QByteArray(argv[3]).toInt(&ok);
    if (!ok || rounds < 1) {
      std::fprintf(stderr, "usage: bench_receive --peers [mails] [rounds]\n");
      return 2;
    }
  }
  if (argc > countArg && !large && !hostile && !budget && !keptMode) {
    bool ok = false;
    MailCount = QByteArray(argv[countArg]).toInt(&ok);
    if (!ok || MailCount < 1) {
      std::fprintf(stderr, "usage: bench_receive [number of mails, default 1000]\n");
      return 2;
    }
  }
  const auto servers = MailServers::load();
  if (!servers) {
    std::fprintf(stderr, "bench_receive: %s\n", qPrintable(MailServers::loadError()));
    return 2;
  }
  QTemporaryDir work;
  if (!makeProgramFolder(*servers, work.filePath(QStringLiteral("program")))) {
    std::fprintf(stderr, "bench_receive: cannot make a program folder\n");
    return 2;
  }
  if (large)
    return largeMails(*servers, work.path());
  if (hostile)
    return hostileMails(*servers);
  if (budget)
    return budgetMails(*servers);
  if (gapsOnly)
    return eventGaps(*servers);
  if (indexed)
    return indexedPairs(*servers);
  if (peers)
    return peerRounds(*servers, work.path(), rounds);
  if (keptMode)
    return keptCopies(*servers, work.path(), argc > 2 ? QByteArray(argv[2]).toInt() : 20000);

  const QList<QByteArray> mails = makeMails();
  qint64 bytes = 0;
  for (const QByteArray &m : mails)
    bytes += m.size();
  std::printf("mails: %d, %.1f KB on average\n", int(mails.size()), bytes / 1024.0 / mails.size());

  // The main window opens the transport in its load.
  forms::mainForm().get();
  constexpr int Pairs = 5;
  QList<double> windowRates, mpopRates, mboxRates, ratios, mboxRatios;
  QList<qint64> windowCpu;
  QStringList errors;
  // Each round: the main window, mpop into a maildir (a file per mail, as
  // Korvex keeps its copies), mpop into an mbox (one file, synced once: the
  // fastest safe delivery, as Korvex's history is).
  for (int i = 0; i < Pairs; ++i) {
    if (!seedAll(*servers, mails))
      return 2;
    const Run window = receiveWithMainWindow(*servers, MailCount);
    if (!seedAll(*servers, mails))
      return 2;
    const Run mpop = receiveWithMpop(*servers, work.filePath(QStringLiteral("mpop%1").arg(i)));
    if (!seedAll(*servers, mails))
      return 2;
    const Run mbox =
        receiveWithMpop(*servers, work.filePath(QStringLiteral("mpop-mbox%1").arg(i)), true);
    for (const Run *r : {&window, &mpop, &mbox})
      if (!r->error.isEmpty())
        errors << r->error;
    std::printf("  round %d: main window %lld ms (CPU %lld ms, longest gap without events %lld "
                "ms, %d over 100 ms), mpop to a maildir %lld ms, to an mbox %lld ms\n",
                i + 1, window.ms, window.cpuMs, window.longestGapMs, window.gapsOver100Ms, mpop.ms,
                mbox.ms);
    std::fflush(stdout);
    windowCpu << window.cpuMs;
    windowRates << rate(window);
    mpopRates << rate(mpop);
    mboxRates << rate(mbox);
    ratios << (rate(mpop) > 0 ? rate(window) / rate(mpop) : 0);
    mboxRatios << (rate(mbox) > 0 ? rate(window) / rate(mbox) : 0);
  }
  std::printf("whole receive, median of %d rounds (%d mails, STLS):\n", Pairs, MailCount);
  std::printf("  korvex main window (history, attachments, viewer): %.1f mails/s\n",
              median(windowRates));
  std::printf("  mpop (to a maildir):                               %.1f mails/s\n",
              median(mpopRates));
  std::printf("  mpop (to an mbox):                                 %.1f mails/s\n",
              median(mboxRates));
  std::printf("  ratio korvex/mpop to a maildir:                    %.2f (median of the rounds)\n",
              median(ratios));
  std::printf("  ratio korvex/mpop to an mbox:                      %.2f (median of the rounds)\n",
              median(mboxRatios));
  std::printf("  korvex CPU time of a receive:                      %lld ms (median)\n",
              median(windowCpu));

  const QString folder = work.filePath(QStringLiteral("attachments"));
  QDir().mkpath(folder);

  if (!seedAll(*servers, mails))
    return 2;
  const Run korvex = receiveWithKorvex(*servers, folder);
  const int unpacked = QDir(folder).entryList(QDir::Files).size();

  if (!seedAll(*servers, mails))
    return 2;
  const Run mpop = receiveWithMpop(*servers, work.filePath(QStringLiteral("mpop")));

  std::printf("korvex (NMail operations, STLS, unpack): %d mails in %lld ms = %.1f mails/s, %d "
              "attachments\n",
              korvex.received, korvex.ms, rate(korvex), unpacked);
  std::printf("mpop   (USER/PASS, STLS, to a maildir):  %d mails in %lld ms = %.1f mails/s\n",
              mpop.received, mpop.ms, rate(mpop));
  if (rate(mpop) > 0)
    std::printf("ratio korvex/mpop: %.2f\n", rate(korvex) / rate(mpop));
  for (const Run *r : {&korvex, &mpop})
    if (!r->error.isEmpty())
      errors << r->error;
  for (const QString &e : errors)
    std::fprintf(stderr, "error: %s\n", qPrintable(e));
  return errors.isEmpty() && korvex.received == MailCount && mpop.received == MailCount ? 0 : 1;
}
