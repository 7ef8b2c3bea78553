#include "mail/store/maildir.h"

#include "platform/core/filesync.h"
#include "platform/core/newfile.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

namespace mail {

namespace {

const QStringList SubFolders{QStringLiteral("tmp"), QStringLiteral("new"), QStringLiteral("cur")};
// The suffix of a mail a program has seen (the "info" part, flag S).
const QString SeenInfo = QStringLiteral(":2,S");

// The Maildir convention for a host name: no "/" and no ":" in a file name,
// each written as its octal escape. Blanks and other characters that a line
// of the originals index or of the journal cannot hold are escaped the same
// way (a host named "my laptop" made every name unusable there).
QString hostPart() {
  QString host = QSysInfo::machineHostName();
  if (host.isEmpty())
    host = QStringLiteral("localhost");
  QString out;
  for (const QChar c : host) {
    const char16_t u = c.unicode();
    const bool plain = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                       (u >= u'0' && u <= u'9') || u == u'-' || u == u'.' || u == u'_';
    if (plain)
      out += c;
    else if (u < 0x80)
      out += QStringLiteral("\\%1").arg(int(u), 3, 8, QLatin1Char('0'));
    else
      out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
  }
  return out;
}

// Where a mail delivered as `path` (…/new/<name> or …/cur/<name>:2,…) is now.
QString whereNow(const QString &path) {
  const QFileInfo info(path);
  const QString root = QFileInfo(info.path()).path();
  const QString name = info.fileName().section(u':', 0, 0);
  return Maildir(root).find(name);
}

} // namespace


bool Maildir::ensure() const {
  // Made sure of once in a settled run (a receive asks for every mail). Each
  // thread keeps its own list: one that has not seen the folder yet makes
  // sure of it again, which any number of threads may do at once.
  thread_local quint64 ensuredRun = 0;
  thread_local QSet<QString> ensuredRoots;
  const quint64 run = platform::settledRun();
  if (run != 0 && run == ensuredRun && ensuredRoots.contains(root_))
    return true;
  if (!ensureNow())
    return false;
  if (run != ensuredRun) {
    ensuredRun = run;
    ensuredRoots.clear();
  }
  if (run != 0)
    ensuredRoots.insert(root_);
  return true;
}

bool Maildir::ensureNow() const {
  if (!platform::makePrivateFolder(root_))
    return false;
  for (const QString &sub : SubFolders)
    if (!platform::makePrivateFolder(root_ + u'/' + sub))
      return false;
  // A Maildir++ folder (".Sent" inside the Maildir) carries this empty file.
  if (QFileInfo(root_).fileName().startsWith(u'.')) {
    const int fd = platform::openPrivateFile(root_ + QStringLiteral("/maildirfolder"), O_WRONLY | O_CREAT);
    if (fd >= 0)
      ::close(fd);
  }
  return true;
}

QString Maildir::uniqueName(qint64 size) {
  static std::atomic<unsigned> counter{0}; // whichever thread takes a name
  struct timeval tv {};
  ::gettimeofday(&tv, nullptr);
  return QStringLiteral("%1.M%2P%3Q%4.%5,S=%6")
      .arg(qint64(tv.tv_sec))
      .arg(qint64(tv.tv_usec))
      .arg(qint64(::getpid()))
      .arg(++counter)
      .arg(hostPart())
      .arg(size);
}

bool Maildir::deliver(const QString &name, const QByteArray &bytes, bool seen, bool sync) const {
  if (name.isEmpty() || name.contains(u'/') || name.contains(u':') || !ensure())
    return false;
  const QString final =
      seen ? root_ + QStringLiteral("/cur/") + name + SeenInfo : root_ + QStringLiteral("/new/") + name;
  // Written in tmp/ (without a name where the system can) and moved into
  // new/ or cur/ whole; what a failure leaves goes with `file`.
  platform::NewFile file(root_ + QStringLiteral("/tmp/") + name);
  if (!file.write(bytes) || (sync && !file.sync()) || !file.publishAs(final))
    return false;
  if (sync) {
    platform::syncPath(QFileInfo(final).path(), true);
    return true;
  }
  deliveredMail().add(platform::PendingFile{final, false, [final] { return whereNow(final); }});
  return true;
}

namespace {
bool isMailName(const QString &name) {
  return !name.isEmpty() && !name.contains(u'/') && !name.contains(u':') && !name.startsWith(u'.');
}
} // namespace

QString Maildir::incomingPath(const QString &name) const {
  if (!isMailName(name) || !ensure())
    return {};
  return root_ + QStringLiteral("/tmp/") + name;
}

bool Maildir::deliverIncoming(const QString &incoming, const QString &name) const {
  if (!isMailName(incoming) || !isMailName(name))
    return false;
  const QString tmp = root_ + QStringLiteral("/tmp/") + incoming;
  const QString final = root_ + QStringLiteral("/new/") + name;
  return ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(final).constData()) == 0;
}

QString Maildir::find(const QString &name) const {
  if (name.isEmpty() || name.contains(u'/'))
    return {};
  const QString fresh = root_ + QStringLiteral("/new/") + name;
  if (QFileInfo::exists(fresh))
    return fresh;
  const QString cur = root_ + QStringLiteral("/cur/");
  for (const QString &info : {SeenInfo, QStringLiteral(":2,")})
    if (QFileInfo::exists(cur + name + info))
      return cur + name + info;
  // Flags another program set ("…:2,RS"): the one mail whose name starts so.
  const QStringList found =
      QDir(cur).entryList({name + QStringLiteral(":*")}, QDir::Files | QDir::System);
  return found.isEmpty() ? QString() : cur + found.first();
}

QString Maildir::findWhole(const QString &name) const {
  const QString path = find(name);
  const qsizetype at = name.lastIndexOf(QStringLiteral(",S="));
  if (path.isEmpty() || at < 0)
    return path;
  bool ok = false;
  const qint64 size = QStringView(name).mid(at + 3).split(u',').first().toLongLong(&ok);
  return !ok || QFileInfo(path).size() == size ? path : QString();
}

int Maildir::removeStaleIncoming() const {
  constexpr qint64 StaleSeconds = 36 * 3600;
  const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-StaleSeconds);
  const QDir tmp(root_ + QStringLiteral("/tmp"));
  int removed = 0;
  for (const QFileInfo &file : tmp.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
    if (file.lastModified().toUTC() < before && QFile::remove(file.filePath()))
      ++removed;
  }
  return removed;
}

bool Maildir::remove(const QString &name) const {
  if (name.isEmpty() || name.contains(u'/') || name == QLatin1String("..") || name == QLatin1String("."))
    return false;
  const QString path = find(name);
  QFile::remove(root_ + QStringLiteral("/tmp/") + name);
  // A mail removed on purpose needs no flush; one that vanished otherwise does.
  const QString fresh = root_ + QStringLiteral("/new/") + name;
  const QString seen = root_ + QStringLiteral("/cur/") + name + u':';
  deliveredMail().removeIf([&](const platform::PendingFile &f) {
    return f.path == fresh || f.path == path || f.path.startsWith(seen);
  });
  return path.isEmpty() || QFile::remove(path);
}

platform::PendingFile Maildir::pending(const QString &name) const {
  const QString path = root_ + QStringLiteral("/new/") + name;
  return platform::PendingFile{path, false, [path] { return whereNow(path); }};
}

platform::PendingFiles &deliveredMail() {
  static platform::PendingFiles files;
  return files;
}

} // namespace mail
