#include "mail/store/uidljournal.h"

#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "platform/core/filesync.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace mail {

namespace {

const QString JournalName = QStringLiteral("uidl.journal");

// The states of an entry: stored by a run, to be fetched again (its run could
// not confirm it on the disk), or stored and its record deleted by the user.
constexpr char Stored = 'S', FetchAgain = 'F', DeletedByUser = 'D';

bool isHex(const QByteArray &bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

// Writes the whole file anew and puts it on the disk before it takes the
// journal's name: a withdrawal that is not on the disk could let a later
// check delete a mail that never reached it.
bool writeDurably(const QString &path, const QByteArray &bytes) {
  const QString work = path + QStringLiteral(".new");
  QFile file(work);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate, platform::PrivateFileMode) ||
      !platform::makePrivate(work) || file.write(bytes) != bytes.size() || !file.flush() ||
      ::fsync(file.handle()) != 0) {
    file.close();
    QFile::remove(work);
    return false;
  }
  file.close();
  if (::rename(QFile::encodeName(work).constData(), QFile::encodeName(path).constData()) != 0) {
    QFile::remove(work);
    return false;
  }
  platform::syncPath(QFileInfo(path).absolutePath(), true);
  return true;
}

} // namespace

// Lines "record account uidl size original key state": the number the
// mail's record got (a hint: deletes move it), a short hash of the account,
// the server's unique id, the mail's size on the server, the name of its
// copy in the Maildir, its record's key and the entry's state. Lines of three
// fields (no size, no copy) and of five (no key, no state) come from older
// versions and are judged by their record number, as those versions did.
QList<UidlJournal::Entry> UidlJournal::readEntries() {
  QList<Entry> out;
  QFile file(path());
  if (!file.open(QIODevice::ReadOnly))
    return out;
  // At most 16 MB, and no more memory than the file's size: the journal is
  // small, and read at every check.
  const qint64 most = std::min<qint64>(file.size(), 16 * 1024 * 1024);
  for (const QByteArray &raw : file.read(most).split('\n')) {
    const QList<QByteArray> f = raw.trimmed().split(' ');
    bool ok = false, sizeOk = true;
    const int record = f.value(0).toInt(&ok);
    const qint64 size = f.size() >= 4 ? f[3].toLongLong(&sizeOk) : -1;
    // A line cut short by a crash has no id, or is dropped here as a whole.
    if ((f.size() != 3 && f.size() != 5 && f.size() != 7) || !ok || !sizeOk || size < -1 ||
        record < 1 || f[1].size() != 16 || f[2].isEmpty())
      continue;
    Entry e{record, f[1], f[2], size, {}, {}, Stored};
    if (f.size() >= 5 && f[4] != "-")
      e.original = QString::fromUtf8(f[4]);
    if (f.size() == 7) {
      if (f[5].size() != 64 || !isHex(f[5]) || f[6].size() != 1 ||
          (f[6][0] != Stored && f[6][0] != FetchAgain && f[6][0] != DeletedByUser) ||
          e.original.isEmpty())
        continue;
      e.key = f[5];
      e.state = f[6][0];
    }
    out.append(e);
  }
  return out;
}

QByteArray UidlJournal::lineOf(const Entry &e) {
  QByteArray line = QByteArray::number(e.record) + ' ' + e.account + ' ' + e.uidl;
  if (e.size < 0 && e.original.isEmpty() && e.key.isEmpty())
    return line;
  line += ' ' + QByteArray::number(e.size) + ' ' +
          (e.original.isEmpty() ? QByteArray("-") : e.original.toUtf8());
  if (!e.key.isEmpty())
    line += ' ' + e.key + ' ' + e.state;
  return line;
}

bool UidlJournal::writeEntries(const QList<Entry> &entries) {
  if (entries.isEmpty()) {
    if (!QFile::exists(path()))
      return true;
    if (!QFile::remove(path()))
      return false;
    platform::syncPath(QFileInfo(path()).absolutePath(), true);
    return true;
  }
  QByteArray out;
  for (const Entry &e : entries)
    out += lineOf(e) + "\r\n";
  return writeDurably(path(), out);
}

QString UidlJournal::path() {
  return platform::dataFile(JournalName);
}

UidlJournal::UidlJournal(const QString &server, const QString &userId) {
  account_ = QCryptographicHash::hash((server + u'\n' + userId).toUtf8(),
                                      QCryptographicHash::Sha256)
                 .toHex()
                 .left(16);
  QList<Entry> entries = readEntries();
  if (entries.isEmpty())
    return;
  // A record cut short by a crash is dropped by the recovery.
  recoverHistory(History::Received);
  const int count = historyCount(History::Received);
  QSet<QByteArray> keys;
  for (const Entry &e : std::as_const(entries))
    if (!e.key.isEmpty() && e.state != DeletedByUser)
      keys.insert(e.key);
  const QHash<QByteArray, int> found = findRecords(History::Received, keys);
  const mail::Maildir folder = originalsFolder(History::Received);

  QList<Entry> kept;
  bool changed = false;
  for (Entry &e : entries) {
    const bool ours = e.account == account_;
    if (e.key.isEmpty()) {
      // An older version's line: its record number is all it has.
      if (e.record > count) {
        if (!e.original.isEmpty())
          folder.remove(e.original);
        changed = true;
        continue;
      }
      kept.append(e);
      if (ours)
        stored_.insert(QString::fromLatin1(e.uidl), e.size);
      continue;
    }
    if (e.state == DeletedByUser) {
      kept.append(e);
      if (ours)
        stored_.insert(QString::fromLatin1(e.uidl), e.size);
      continue;
    }
    const int at = found.value(e.key);
    const bool hasOriginal = !folder.find(e.original).isEmpty();
    if (at == 0) {
      // The record never came (killed just before it) or was lost with a
      // disk that failed: the mail stays on the server and comes again, and
      // so does its copy.
      folder.remove(e.original);
      unlinkOriginal(History::Received, e.key, e.original);
      changed = true;
      continue;
    }
    if (e.record != at) {
      e.record = at;
      changed = true;
    }
    if (e.state == Stored && !hasOriginal) {
      // The record is there, its mail whole is not: fetch it again.
      e.state = FetchAgain;
      changed = true;
    }
    kept.append(e);
    if (!ours)
      continue;
    if (e.state == Stored)
      stored_.insert(QString::fromLatin1(e.uidl), e.size);
    else
      known_.insert(QString::fromLatin1(e.uidl), {e.size, KnownMail{e.key, e.original, at}});
  }
  if (changed)
    writeEntries(kept);
}

bool UidlJournal::storedBefore(const QString &uidl, qint64 size) const {
  for (auto it = stored_.constFind(uidl); it != stored_.constEnd() && it.key() == uidl; ++it)
    if (*it == size || *it == -1)
      return true;
  return false;
}

std::optional<KnownMail> UidlJournal::knownMail(const QString &uidl, qint64 size) const {
  for (auto it = known_.constFind(uidl); it != known_.constEnd() && it.key() == uidl; ++it)
    if (it->first == size)
      return it->second;
  return std::nullopt;
}

bool UidlJournal::add(int record, const QString &uidl, qint64 size, const QString &original,
                      const QByteArray &key) {
  const QByteArray id = uidl.toLatin1();
  const QByteArray name = original.toUtf8();
  if (record < 1 || size < 0 || id.isEmpty() || id.contains(' ') || id.contains('\n') ||
      name.isEmpty() || name.contains(' ') || name.contains('\n') || key.size() != 64)
    return false;
  const Entry e{record, account_, id, size, original, key, Stored};
  const QByteArray line = lineOf(e) + "\r\n";
  const int fd = platform::openPrivateFile(path(), O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0)
    return false;
  const bool ok = ::write(fd, line.constData(), size_t(line.size())) == line.size();
  ::close(fd);
  if (ok)
    added_.append(e);
  return ok;
}

bool UidlJournal::sync() {
  const platform::Synced synced = platform::syncPath(path());
  if (synced == platform::Synced::Gone)
    return added_.isEmpty();
  return synced == platform::Synced::Done &&
         platform::syncPath(QFileInfo(path()).absolutePath(), true) != platform::Synced::Failed;
}

bool UidlJournal::withdraw() {
  if (added_.isEmpty())
    return true;
  QSet<QByteArray> lines;
  for (const Entry &e : std::as_const(added_))
    lines.insert(lineOf(e));
  QList<Entry> all = readEntries();
  for (Entry &e : all)
    if (e.state == Stored && lines.contains(lineOf(e)))
      e.state = FetchAgain;
  added_.clear();
  return writeEntries(all);
}

void UidlJournal::clear() {
  QList<Entry> others;
  for (const Entry &e : readEntries())
    if (e.account != account_)
      others.append(e);
  writeEntries(others);
  stored_.clear();
  known_.clear();
  added_.clear();
}

void UidlJournal::recordsDeleted(const QList<QByteArray> &keys, bool all) {
  if (!QFile::exists(path()))
    return;
  const QSet<QByteArray> gone(keys.begin(), keys.end());
  QList<Entry> entries = readEntries();
  bool changed = false;
  for (Entry &e : entries) {
    if (e.key.isEmpty() || e.state == DeletedByUser || !(all || gone.contains(e.key)))
      continue;
    e.state = DeletedByUser;
    changed = true;
  }
  if (changed)
    writeEntries(entries);
}

} // namespace mail
