#include "mail/uidljournal.h"

#include "mail/history.h"
#include "mail/originals.h"
#include "platform/core/paths.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <QList>
#include "platform/core/privatefiles.h"

#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

namespace mail {

namespace {

const QString JournalName = QStringLiteral("uidl.journal");

// Lines "record account uidl size original": the record number the mail's
// history record got, a short hash of the account, the server's unique id,
// the mail's size on the server and the name of its copy in the Maildir.
// Lines of three fields (no size, no copy) come from older versions.
struct Entry {
  int record = 0;
  QByteArray account;
  QByteArray uidl;
  qint64 size = -1;
  QString original;
  QByteArray line;
};

QList<Entry> readEntries() {
  QList<Entry> out;
  QFile file(UidlJournal::path());
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
    if ((f.size() != 3 && f.size() != 5) || !ok || !sizeOk || size < -1 || record < 1 ||
        f[1].size() != 16 || f[2].isEmpty())
      continue;
    out.append(Entry{record, f[1], f[2], size, f.size() == 5 && f[4] != "-" ? QString::fromUtf8(f[4]) : QString(),
                     raw.trimmed()});
  }
  return out;
}

bool writeEntries(const QList<Entry> &entries) {
  if (entries.isEmpty())
    return !QFile::exists(UidlJournal::path()) || QFile::remove(UidlJournal::path());
  QByteArray out;
  for (const Entry &e : entries)
    out += e.line + "\r\n";
  QSaveFile file(UidlJournal::path());
  return file.open(QIODevice::WriteOnly) && file.setPermissions(platform::PrivateFileMode) &&
         file.write(out) == out.size() && file.commit();
}

} // namespace

QString UidlJournal::path() {
  return platform::dataFile(JournalName);
}

UidlJournal::UidlJournal(const QString &server, const QString &userId) {
  account_ = QString::fromLatin1(
      QCryptographicHash::hash((server + u'\n' + userId).toUtf8(), QCryptographicHash::Sha256)
          .toHex()
          .left(16));
  const QList<Entry> entries = readEntries();
  if (entries.isEmpty())
    return;
  // A record cut short by a crash is dropped by the recovery; an entry whose
  // record is not in the history was written just before a crash, and its
  // mail must be stored again.
  recoverHistory(History::Received);
  const int count = historyCount(History::Received);
  QList<Entry> kept;
  for (const Entry &e : entries) {
    if (e.record > count) {
      // The mail stays on the server and comes again; so does its copy.
      if (!e.original.isEmpty())
        originalsFolder(History::Received).remove(e.original);
      continue;
    }
    kept.append(e);
    if (e.account == account_.toLatin1())
      stored_.insert(QString::fromLatin1(e.uidl), e.size);
  }
  if (kept.size() != entries.size())
    writeEntries(kept);
}

bool UidlJournal::storedBefore(const QString &uidl, qint64 size) const {
  for (auto it = stored_.constFind(uidl); it != stored_.constEnd() && it.key() == uidl; ++it)
    if (*it == size || *it == -1)
      return true;
  return false;
}

bool UidlJournal::add(int record, const QString &uidl, qint64 size, const QString &original) {
  const QByteArray id = uidl.toLatin1();
  const QByteArray name = original.isEmpty() ? QByteArray("-") : original.toUtf8();
  if (record < 1 || size < 0 || id.isEmpty() || id.contains(' ') || name.contains(' ') ||
      name.contains('\n'))
    return false;
  QFile file(path());
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append, platform::PrivateFileMode))
    return false;
  const QByteArray line = QByteArray::number(record) + ' ' + account_.toLatin1() + ' ' + id + ' ' +
                          QByteArray::number(size) + ' ' + name + "\r\n";
  return file.write(line) == line.size() && file.flush();
}

bool UidlJournal::sync() {
  QFile file(path());
  if (!file.exists())
    return true;
  if (!file.open(QIODevice::ReadOnly))
    return false;
  return ::fsync(file.handle()) == 0;
}

void UidlJournal::clear() {
  QList<Entry> others;
  for (const Entry &e : readEntries())
    if (e.account != account_.toLatin1())
      others.append(e);
  writeEntries(others);
  stored_.clear();
}

} // namespace mail
