#include "tests/mail/receivefixture.h"

#include "mail/certpins.h"
#include "mail/store/originals.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
std::mutex fsyncMutex;
QStringList fsyncFlushed;
QString fsyncFailing;
QString fsyncFailingOnce;

// Whether the flush of `fd` fails, as the test set it; notes it.
bool flushFails(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  const QString path = n > 0 ? QString::fromLocal8Bit(target, int(n)) : QString();
  // A receive run as a child of the crash test dies where the history is
  // flushed: every mail is stored and deleted, and QUIT never comes.
  static const bool dieAtFlush = qEnvironmentVariableIsSet("KORVEX_RECEIVE_DIE_AT_FLUSH");
  if (dieAtFlush && path.contains(QStringLiteral("qlmdata2"), Qt::CaseInsensitive))
    ::raise(SIGKILL);
  std::lock_guard<std::mutex> lock(fsyncMutex);
  fsyncFlushed.append(path);
  if (!fsyncFailingOnce.isEmpty() && path.contains(fsyncFailingOnce)) {
    fsyncFailingOnce.clear();
    return true;
  }
  return !fsyncFailing.isEmpty() && path.contains(fsyncFailing);
}

} // namespace

// fsync and fdatasync as the program calls them, seen by the test: every
// flushed path is recorded, and the flush of a path the test names fails.
extern "C" int fsync(int fd) {
  if (flushFails(fd)) {
    errno = EIO;
    return -1;
  }
  return int(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  if (flushFails(fd)) {
    errno = EIO;
    return -1;
  }
  return int(::syscall(SYS_fdatasync, fd));
}

namespace receivetest {

QStringList flushedSince() {
  std::lock_guard<std::mutex> lock(fsyncMutex);
  return std::exchange(fsyncFlushed, {});
}

QStringList flushedSoFar() {
  std::lock_guard<std::mutex> lock(fsyncMutex);
  return fsyncFlushed;
}

void failFlushesOf(const QString &part) {
  std::lock_guard<std::mutex> lock(fsyncMutex);
  fsyncFailing = part;
}

void failFirstFlushOf(const QString &part) {
  std::lock_guard<std::mutex> lock(fsyncMutex);
  fsyncFailingOnce = part;
}

QByteArray plainMail(const QByteArray &subject, const QByteArray &body) {
  return "From: Taro <taro@example.jp>\r\n"
         "To: alice@korvex.test\r\n"
         "Subject: " + subject + "\r\n"
         "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\n"
         "Message-ID: <" + subject + "@example.jp>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n"
         "\r\n" + body + "\r\n";
}

// A server without TLS (a scripted one, popa3d) is logged in to in the clear
// only by the user's agreement, kept in the data folder as a user's would be.
void agreeToPlainLogin(quint16 port) {
  mail::useStoredCertificatePins();
  ASSERT_TRUE(mail::storePlaintextAgreement(QStringLiteral("127.0.0.1"), port));
}

QByteArray originalOfRecord(int record) {
  QFile f(originalPath(History::Received, record));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool killedReceive(const QString &folder, const QString &server, bool dieAtFlush,
                   const std::function<bool()> &killWhen) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("KORVEX_RECEIVE_CHILD"), folder);
  env.insert(QStringLiteral("KORVEX_RECEIVE_SERVER"), server);
  if (dieAtFlush)
    env.insert(QStringLiteral("KORVEX_RECEIVE_DIE_AT_FLUSH"), QStringLiteral("1"));
  QProcess child;
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  child.start(QCoreApplication::applicationFilePath(),
              {QStringLiteral("--gtest_filter=ReceiveChild.Run")});
  if (!child.waitForStarted())
    return false;
  QElapsedTimer waited;
  waited.start();
  while (!child.waitForFinished(1) && waited.elapsed() < 30000)
    if (killWhen && killWhen())
      break;
  if (child.state() != QProcess::NotRunning) {
    child.kill(); // SIGKILL
    child.waitForFinished(10000);
  }
  return child.exitStatus() == QProcess::CrashExit;
}

} // namespace receivetest
