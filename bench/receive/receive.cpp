// Receiving 1,000 mails of about 5 KB from a local Dovecot: through the NMail
// operations in the receive routine's order, and with mpop into a maildir,
// in one run. Prints both rates and their ratio; never fails on time.
//
// Run by bench/receive/run.sh, which starts the servers of tests/servers and
// points KORVEX_SERVERS_DIR at them. An optional argument sets the number of
// mails (default 1000).
#include "mail/nmail/nmail.h"
#include "tests/support/servers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace nmail;
using testsupport::MailServers;

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
  QString error;
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

Run receiveWithMpop(const MailServers &servers, const QString &work) {
  Run run;
  const auto u = servers.user(QStringLiteral("alice"));
  const QString maildir = work + QStringLiteral("/Maildir");
  for (const char *sub : {"/cur", "/new", "/tmp"})
    QDir().mkpath(maildir + QLatin1String(sub));
  QString colons;
  for (int i = 0; i < servers.certSha256.size(); i += 2)
    colons += (i ? QStringLiteral(":") : QString()) + servers.certSha256.mid(i, 2);
  const QString conf = work + QStringLiteral("/mpoprc");
  {
    QFile f(conf);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral(
                "defaults\ntls on\ntls_starttls on\ntls_fingerprint %1\nkeep off\nonly_new off\n"
                "uidls_file %2/uidls\naccount bench\nhost %3\nport %4\nuser %5\npassword %6\n"
                "auth user\ndelivery maildir %7\n")
                .arg(colons, work, servers.host)
                .arg(servers.pop3Port)
                .arg(u.name, u.password, maildir)
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
  run.received = QDir(maildir + QStringLiteral("/new")).entryList(QDir::Files).size() +
                 QDir(maildir + QStringLiteral("/cur")).entryList(QDir::Files).size();
  return run;
}

double rate(const Run &r) {
  return r.ms > 0 ? r.received * 1000.0 / r.ms : 0;
}

} // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  if (argc > 1) {
    bool ok = false;
    MailCount = QByteArray(argv[1]).toInt(&ok);
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
  const QList<QByteArray> mails = makeMails();
  qint64 bytes = 0;
  for (const QByteArray &m : mails)
    bytes += m.size();
  std::printf("mails: %d, %.1f KB on average\n", int(mails.size()), bytes / 1024.0 / mails.size());

  NMailInitializeWinSock();
  QTemporaryDir work;
  const QString folder = work.filePath(QStringLiteral("attachments"));
  QDir().mkpath(folder);

  servers->clear(QStringLiteral("alice"));
  if (!servers->seed(QStringLiteral("alice"), mails))
    return 2;
  const Run korvex = receiveWithKorvex(*servers, folder);
  const int unpacked = QDir(folder).entryList(QDir::Files).size();

  servers->clear(QStringLiteral("alice"));
  if (!servers->seed(QStringLiteral("alice"), mails))
    return 2;
  const Run mpop = receiveWithMpop(*servers, work.filePath(QStringLiteral("mpop")));
  NMailEndWinSock();

  std::printf("korvex (NMail operations, STLS, unpack): %d mails in %lld ms = %.1f mails/s, %d "
              "attachments\n",
              korvex.received, korvex.ms, rate(korvex), unpacked);
  std::printf("mpop   (USER/PASS, STLS, to a maildir):  %d mails in %lld ms = %.1f mails/s\n",
              mpop.received, mpop.ms, rate(mpop));
  if (rate(mpop) > 0)
    std::printf("ratio korvex/mpop: %.2f\n", rate(korvex) / rate(mpop));
  for (const Run *r : {&korvex, &mpop})
    if (!r->error.isEmpty())
      std::fprintf(stderr, "error: %s\n", qPrintable(r->error));
  return korvex.received == MailCount && mpop.received == MailCount ? 0 : 1;
}
