#include "tests/mail/receivefixture.h"

#include "mail/certpins.h"
#include "mail/store/originals.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
std::mutex fsyncMutex;
QStringList fsyncFlushed;
QString fsyncFailing;
QString fsyncFailingOnce;

// What the disk holds of each file and folder as of its last flush that
// succeeded: a file's size, a folder's names. A flush that fails loses what
// was written since (Linux drops the pages it could not write and marks them
// clean), which loseUnflushedWrites() then does to the files themselves.
using FileId = std::pair<dev_t, ino_t>;
std::map<FileId, qint64> flushedSizes;
std::map<FileId, QStringList> flushedNames;
struct LostWrite {
  int fd = -1;        // a copy of the file's descriptor, for a file
  qint64 size = 0;    // what it held at its last good flush
  QString folder;     // a folder, whose names since its last good flush go
  std::optional<QStringList> names;
};
std::vector<LostWrite> lostWrites;

QString pathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n > 0 ? QString::fromLocal8Bit(target, int(n)) : QString();
}

QStringList namesIn(const QString &folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                QDir::NoDotAndDotDot);
}

// Whether the flush of `fd` fails, as the test set it; notes it.
bool flushFails(int fd) {
  const QString path = pathOf(fd);
  // A receive run as a child of the crash test dies where the history is
  // flushed: every mail is stored and deleted, and QUIT never comes.
  static const bool dieAtFlush = qEnvironmentVariableIsSet("KORVEX_RECEIVE_DIE_AT_FLUSH");
  if (dieAtFlush && path.contains(QStringLiteral("qlmdata2"), Qt::CaseInsensitive))
    ::raise(SIGKILL);
  std::lock_guard<std::mutex> lock(fsyncMutex);
  fsyncFlushed.append(path);
  // "dir:" before the part names folders only.
  struct stat st {};
  const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  auto matches = [&](const QString &part) {
    if (part.startsWith(QStringLiteral("dir:")))
      return folder && path.contains(part.mid(4));
    return !part.isEmpty() && path.contains(part);
  };
  bool fails = false;
  if (matches(fsyncFailingOnce)) {
    fsyncFailingOnce.clear();
    fails = true;
  }
  fails = fails || matches(fsyncFailing);
  if (fails) {
    const FileId id{st.st_dev, st.st_ino};
    if (S_ISDIR(st.st_mode)) {
      const auto it = flushedNames.find(id);
      lostWrites.push_back({-1, 0, path,
                            it == flushedNames.end() ? std::nullopt
                                                     : std::optional<QStringList>(it->second)});
    } else {
      const auto it = flushedSizes.find(id);
      lostWrites.push_back({::fcntl(fd, F_DUPFD_CLOEXEC, 0),
                            it == flushedSizes.end() ? 0 : it->second, {}, {}});
    }
  }
  return fails;
}

void noteFlushed(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return;
  const FileId id{st.st_dev, st.st_ino};
  const QStringList names = S_ISDIR(st.st_mode) ? namesIn(pathOf(fd)) : QStringList();
  std::lock_guard<std::mutex> lock(fsyncMutex);
  if (S_ISDIR(st.st_mode))
    flushedNames[id] = names;
  else
    flushedSizes[id] = st.st_size;
}

int flushed(int fd, long result) {
  if (result == 0)
    noteFlushed(fd);
  return int(result);
}

} // namespace

// fsync and fdatasync as the program calls them, seen by the test: every
// flushed path is recorded, and the flush of a path the test names fails.
extern "C" int fsync(int fd) {
  if (flushFails(fd)) {
    errno = EIO;
    return -1;
  }
  return flushed(fd, ::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  if (flushFails(fd)) {
    errno = EIO;
    return -1;
  }
  return flushed(fd, ::syscall(SYS_fdatasync, fd));
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

void diskHoldsNow(const QString &root) {
  std::map<FileId, qint64> sizes;
  std::map<FileId, QStringList> names;
  QList<QString> folders{root};
  while (!folders.isEmpty()) {
    const QString folder = folders.takeLast();
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
      continue;
    names[{st.st_dev, st.st_ino}] = namesIn(folder);
    for (const QFileInfo &entry :
         QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                    QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
      if (entry.isDir()) {
        folders.append(entry.filePath());
      } else if (::stat(QFile::encodeName(entry.filePath()).constData(), &st) == 0) {
        sizes[{st.st_dev, st.st_ino}] = st.st_size;
      }
    }
  }
  std::lock_guard<std::mutex> lock(fsyncMutex);
  flushedSizes = std::move(sizes);
  flushedNames = std::move(names);
}

void loseUnflushedWrites(bool lose) {
  std::lock_guard<std::mutex> lock(fsyncMutex);
  for (const LostWrite &w : lostWrites) {
    if (w.fd >= 0) {
      if (lose) {
        // The copy may be read-only (a flush opens for reading); the file
        // is opened again for writing through it.
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", w.fd);
        const int writable = ::open(link, O_WRONLY | O_CLOEXEC);
        if (writable < 0 || ::ftruncate(writable, w.size) != 0)
          ADD_FAILURE() << "could not cut a file back";
        if (writable >= 0)
          ::close(writable);
      }
      ::close(w.fd);
    } else if (lose && w.names) {
      for (const QString &name : namesIn(w.folder))
        if (!w.names->contains(name))
          QFile::remove(w.folder + u'/' + name);
    }
  }
  lostWrites.clear();
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
