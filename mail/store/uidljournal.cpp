#include "mail/store/uidljournal.h"

#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "platform/core/clock.h"
#include "platform/core/filesync.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"
#include "platform/core/replacefile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

#include <unistd.h>

namespace mail {

namespace {

const QString JournalName = QStringLiteral("uidl.journal");

// A mail kept on the server needs no more than its id, its size, when it
// came and its record's key, of which 16 digits tell it among the records:
// twenty thousand of them fit in well under 2 MB.
bool isKept(char s) {
  return s == UidlJournal::Kept || s == UidlJournal::KeptDeletedHere;
}
constexpr int KeptKeyDigits = 16;

// One mail of one account on the server: its id and its size.
QByteArray mailOf(const UidlJournal::Entry &e) {
  return e.account + ' ' + e.uidl + ' ' + QByteArray::number(e.size);
}

bool isHex(QByteArrayView bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool knownState(char s) {
  return s == UidlJournal::Stored || s == UidlJournal::Added || s == UidlJournal::FetchAgain ||
         s == UidlJournal::DeletedByUser || s == UidlJournal::Committed ||
         s == UidlJournal::Unpacking || s == UidlJournal::AddedToKeep || s == UidlJournal::Kept ||
         s == UidlJournal::KeptDeletedHere || s == UidlJournal::BeyondListing ||
         s == UidlJournal::Withdrawn;
}

QByteArray attachmentsField(const QStringList &attachments) {
  if (attachments.isEmpty())
    return "-";
  QByteArray out;
  for (const QString &a : attachments)
    out += (out.isEmpty() ? "" : ",") + a.toUtf8().toPercentEncoding();
  return out;
}

QStringList attachmentsOf(const QByteArray &field) {
  QStringList out;
  if (field == "-")
    return out;
  for (const QByteArray &a : field.split(','))
    if (!a.isEmpty())
      out.append(QString::fromUtf8(QByteArray::fromPercentEncoding(a)));
  return out;
}

} // namespace

// Lines "record account uidl size original key state time attachments": the
// number the mail's record got (a hint: deletes move it), a short hash of
// the account, the server's unique id, the mail's size on the server, the
// name of its copy in the Maildir, its record's key, the entry's state, when
// it was stored and the files of its attachments (percent-encoded, by
// commas, "-" for none). A commit line has the state C, its account and
// time, and "0" or "-" elsewhere. Lines of three fields (no size, no copy)
// and of five (no key, no state) come from older versions and are judged by
// their record number, as those versions did; those of seven lack the time
// and the attachments. A line without its line break was cut short and is
// left out.
QList<UidlJournal::Entry> UidlJournal::readEntries(bool *appended) {
  QList<Entry> out;
  if (appended)
    *appended = false;
  QFile file(path());
  if (!file.open(QIODevice::ReadOnly))
    return out;
  // At most 16 MB, and no more memory than the file's size: the journal is
  // small, and read at every check.
  const qint64 most = std::min<qint64>(file.size(), 16 * 1024 * 1024);
  // Entries of a run not yet committed, by account and run.
  QHash<QByteArray, QList<qsizetype>> open;
  auto runOf = [](const Entry &e) { return e.account + ' ' + QByteArray::number(e.time); };
  const QByteArray bytes = file.read(most);
  // Twenty thousand lines are read at every check: split in place, each
  // field a view into the bytes read.
  QByteArray account; // shared by the entries of one account
  for (qsizetype start = 0, end; (end = bytes.indexOf('\n', start)) >= 0; start = end + 1) {
    const QByteArrayView raw = QByteArrayView(bytes).sliced(start, end - start).trimmed();
    QByteArrayView f[10];
    qsizetype n = 0;
    for (qsizetype at = 0; at <= raw.size() && n < 10;) {
      qsizetype next = raw.indexOf(' ', at);
      if (next < 0)
        next = raw.size();
      f[n++] = raw.sliced(at, next - at);
      at = next + 1;
    }
    if (n == 10)
      continue;
    bool ok = false, sizeOk = true, timeOk = true;
    const int record = f[0].toInt(&ok);
    const qint64 size = n >= 4 ? f[3].toLongLong(&sizeOk) : -1;
    const qint64 time = n >= 9 ? f[7].toLongLong(&timeOk) : 0;
    if ((n != 3 && n != 5 && n != 7 && n != 9) || !ok || !sizeOk || !timeOk || size < -1 ||
        record < 0 || f[1].size() != 16 || f[2].isEmpty())
      continue;
    if (account != f[1])
      account = f[1].toByteArray();
    Entry e{record, account, f[2].toByteArray(), size, {}, {}, Stored, time, {}};
    if (n >= 7) {
      if (f[6].size() != 1 || !knownState(f[6][0]))
        continue;
      e.state = f[6][0];
    }
    if (e.state == Committed) {
      for (const qsizetype at : open.take(runOf(e)))
        out[at].state = out[at].state == AddedToKeep ? Kept : Stored;
      if (appended)
        *appended = true;
      continue;
    }
    if (e.state == Withdrawn) {
      // The run's entry of that mail stands for nothing: its record could
      // not be written.
      for (const qsizetype at : open.value(runOf(e)))
        if (out[at].uidl == e.uidl && out[at].size == e.size)
          out[at].state = Withdrawn;
      continue;
    }
    if (e.state == Unpacking || e.state == BeyondListing) {
      // A mail whose unpacking began, or that the server sent far past its
      // listed size: it names nothing.
      if (n == 9 && record == 0)
        out.append(e);
      continue;
    }
    if (n >= 5 && f[4] != "-")
      e.original = QString::fromUtf8(f[4]);
    // Only a mail to fetch again whose record was lost has neither a
    // record nor a copy (see the constructor).
    const bool recordLost = n == 9 && e.state == FetchAgain && record == 0;
    const bool kept = n == 9 && isKept(e.state);
    if (record < 1 && !recordLost && !kept)
      continue;
    if (n >= 7) {
      if ((f[5].size() != 64 && !(kept && f[5].size() >= KeptKeyDigits && f[5].size() < 64)) ||
          !isHex(f[5]) || (e.original.isEmpty() && !recordLost && !kept))
        continue;
      e.key = f[5].toByteArray();
    }
    if (n == 9 && f[8] != "-")
      e.attachments = attachmentsOf(f[8].toByteArray());
    if (e.state == Added || e.state == AddedToKeep)
      open[runOf(e)].append(out.size());
    out.append(e);
  }
  // A run that never committed: its mails are still on the server, and
  // come again into what they became.
  for (const QList<qsizetype> &ats : std::as_const(open))
    for (const qsizetype at : ats)
      if (out[at].state != Withdrawn)
        out[at].state = FetchAgain;
  out.removeIf([](const Entry &e) { return e.state == Withdrawn; });
  // An unpacking that an entry of its mail follows is over.
  QHash<QByteArray, qsizetype> lastNamed;
  for (qsizetype i = 0; i < out.size(); ++i)
    if (out[i].state != Unpacking && !out[i].key.isEmpty())
      lastNamed[mailOf(out[i])] = i;
  QList<Entry> left;
  for (qsizetype i = 0; i < out.size(); ++i)
    if (out[i].state != Unpacking || lastNamed.value(mailOf(out[i]), -1) < i)
      left.append(out[i]);
  return left;
}

QByteArray UidlJournal::lineOf(const Entry &given) {
  Entry e = given;
  if (isKept(e.state)) {
    e.record = 0;
    e.original.clear();
    e.key = e.key.left(KeptKeyDigits);
    e.attachments.clear();
  }
  QByteArray line = QByteArray::number(e.record) + ' ' + e.account + ' ' + e.uidl;
  if (e.size < 0 && e.original.isEmpty() && e.key.isEmpty())
    return line;
  line += ' ' + QByteArray::number(e.size) + ' ' +
          (e.original.isEmpty() ? QByteArray("-") : e.original.toUtf8());
  if (!e.key.isEmpty() || e.state == Committed || e.state == Unpacking ||
      e.state == BeyondListing || e.state == Withdrawn)
    line += ' ' + (e.key.isEmpty() ? QByteArray("-") : e.key) + ' ' + e.state + ' ' +
            QByteArray::number(e.time) + ' ' + attachmentsField(e.attachments);
  return line;
}

bool UidlJournal::writeEntries(const QList<Entry> &entries) {
  if (entries.isEmpty()) {
    if (!QFile::exists(path()))
      return true;
    if (!QFile::remove(path()))
      return false;
    return platform::syncPath(QFileInfo(path()).absolutePath(), true) != platform::Synced::Failed;
  }
  QByteArray out;
  for (const Entry &e : entries)
    out += lineOf(e) + "\r\n";
  // Whole and on the disk before it takes the journal's name: an entry
  // dropped or changed must never come back.
  return platform::replaceFile(path(), out);
}

QString UidlJournal::path() {
  return platform::dataFile(JournalName);
}

UidlJournal::UidlJournal(const QString &server, const QString &userId) {
  run_ = platform::utcNow().toMSecsSinceEpoch();
  account_ =
      QCryptographicHash::hash((server + u'\n' + userId).toUtf8(), QCryptographicHash::Sha256)
          .toHex()
          .left(16);
  QList<Entry> entries = readEntries();
  if (entries.isEmpty())
    return;
  // A record cut short by a crash is dropped by the recovery.
  recoverHistory(History::Received);
  const int count = historyCount(History::Received);
  const mail::Maildir folder = originalsFolder(History::Received);

  // Each entry's record: the one its number names when that record still
  // has its key (records with the same bytes each keep their own entry),
  // else the last record with the key.
  QList<int> at(entries.size(), 0);
  QSet<int> taken;
  QSet<QByteArray> lookFor;
  for (qsizetype i = 0; i < entries.size(); ++i) {
    const Entry &e = entries[i];
    if (e.key.isEmpty() || e.state == DeletedByUser || isKept(e.state))
      continue;
    if (e.record <= count && !taken.contains(e.record))
      if (const auto bytes = readHistoryRecordBytes(History::Received, e.record);
          bytes && recordKey(*bytes) == e.key) {
        at[i] = e.record;
        taken.insert(e.record);
        continue;
      }
    lookFor.insert(e.key);
  }
  const QHash<QByteArray, int> found = findRecords(History::Received, lookFor);
  for (qsizetype i = 0; i < entries.size(); ++i)
    if (at[i] == 0 && lookFor.contains(entries[i].key))
      at[i] = found.value(entries[i].key);

  // The newest entry of each mail stands for it: a mail fetched again adds
  // one for what it became then. One whose record is there comes before
  // one whose record is not.
  QHash<QByteArray, qsizetype> newest;
  for (qsizetype i = 0; i < entries.size(); ++i) {
    if (entries[i].key.isEmpty())
      continue;
    auto isThere = [&](qsizetype k) {
      return entries[k].state == DeletedByUser || isKept(entries[k].state) || at[k] > 0;
    };
    const bool there = isThere(i);
    const auto it = newest.constFind(mailOf(entries[i]));
    const bool thereBefore = it != newest.constEnd() && isThere(*it);
    if (there || !thereBefore)
      newest[mailOf(entries[i])] = i;
  }

  QList<Entry> kept;
  bool changed = false;
  for (qsizetype i = 0; i < entries.size(); ++i) {
    Entry &e = entries[i];
    const bool ours = e.account == account_;
    const QString id = QString::fromLatin1(e.uidl);
    if (e.state == BeyondListing) {
      kept.append(e);
      if (ours)
        beyond_.insert(id, e.size);
      continue;
    }
    if (e.state == Unpacking) {
      // Its run went no further with that mail: what it wrote of the mail's
      // attachments may be there, whole or cut short.
      kept.append(e);
      if (ours)
        interrupted_.insert(id, e.size);
      continue;
    }
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
        stored_.insert(id, e.size);
      continue;
    }
    const qsizetype latest = newest.value(mailOf(e), i);
    if (isKept(e.state) && latest == i) {
      // Stored, and its copy left on the server as the user asked.
      kept.append(e);
      if (ours)
        kept_.insert(id, {e.size, KeptCopy{e.time, e.state == KeptDeletedHere}});
      continue;
    }
    if (e.state != DeletedByUser && !isKept(e.state) && at[i] == 0) {
      // The record never came (killed just before it) or was lost with a
      // disk that failed: the mail stays on the server and comes again, and
      // so does its copy. The files of its attachments are still there:
      // the entry stays, without record and copy, so that the mail fetched
      // again writes them in their place instead of beside them.
      if (!e.original.isEmpty()) {
        unlinkOriginal(History::Received, e.key, e.original);
        folder.remove(e.original);
      }
      changed = changed || e.record != 0 || !e.original.isEmpty() || e.state != FetchAgain;
      if (latest != i || e.attachments.isEmpty()) {
        changed = true;
        continue;
      }
      e.record = 0;
      e.original.clear();
      e.state = FetchAgain;
      kept.append(e);
      if (ours)
        known_.insert(id, {e.size, KnownMail{e.key, {}, 0, e.attachments}});
      continue;
    }
    if (latest != i) {
      // Superseded by the entry of the same mail fetched again; its copy
      // gave way to the one fetched then.
      const Entry &now = entries[latest];
      if (!e.original.isEmpty() && e.original != now.original) {
        unlinkOriginal(History::Received, e.key, e.original);
        folder.remove(e.original);
      }
      changed = true;
      continue;
    }
    if (e.state == DeletedByUser) {
      kept.append(e);
      if (ours)
        stored_.insert(id, e.size);
      continue;
    }
    if (e.record != at[i]) {
      e.record = at[i];
      changed = true;
    }
    if (e.state == Stored && folder.findWhole(e.original).isEmpty()) {
      // The record is there, its mail whole is not: fetch it again.
      e.state = FetchAgain;
      changed = true;
    }
    kept.append(e);
    if (!ours)
      continue;
    if (e.state == Stored)
      stored_.insert(id, e.size);
    else
      known_.insert(id, {e.size, KnownMail{e.key, e.original, e.record, e.attachments}});
  }
  if (changed)
    writeEntries(kept);
  entries_ = kept;
  // This run's entries carry a time no earlier entry has: its commit line
  // commits them and no others.
  run_ = platform::utcNow().toMSecsSinceEpoch();
  for (const Entry &e : std::as_const(entries))
    run_ = std::max(run_, e.time + 1);
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
                      const QByteArray &key, const QStringList &attachments, bool keepOnServer) {
  const QByteArray id = uidl.toLatin1();
  const QByteArray name = original.toUtf8();
  if (record < 1 || size < 0 || id.isEmpty() || id.contains(' ') || id.contains('\n') ||
      name.isEmpty() || name.contains(' ') || name.contains('\n') || key.size() != 64)
    return false;
  const Entry e{record, account_,   id, size, original, key, keepOnServer ? AddedToKeep : Added,
                run_,   attachments};
  const bool ok = platform::appendLine(path(), lineOf(e) + "\r\n");
  added_ = added_ || ok;
  touched_ = true;
  return ok;
}

std::optional<KeptCopy> UidlJournal::keptCopy(const QString &uidl, qint64 size) const {
  for (auto it = kept_.constFind(uidl); it != kept_.constEnd() && it.key() == uidl; ++it)
    if (it->first == size)
      return it->second;
  return std::nullopt;
}

bool UidlJournal::beyondListing(const QString &uidl, qint64 size) const {
  for (auto it = beyond_.constFind(uidl); it != beyond_.constEnd() && it.key() == uidl; ++it)
    if (*it == size)
      return true;
  return false;
}

void UidlJournal::addBeyondListing(const QString &uidl, qint64 size) {
  const QByteArray id = uidl.toLatin1();
  if (size < 0 || id.isEmpty() || id.contains(' ') || id.contains('\n') ||
      beyondListing(uidl, size))
    return;
  Entry e;
  e.account = account_;
  e.uidl = id;
  e.size = size;
  e.state = BeyondListing;
  e.time = run_;
  touched_ = true;
  platform::appendLine(path(), lineOf(e) + "\r\n");
}

bool UidlJournal::interrupted(const QString &uidl, qint64 size) const {
  for (auto it = interrupted_.constFind(uidl); it != interrupted_.constEnd() && it.key() == uidl;
       ++it)
    if (*it == size)
      return true;
  return false;
}

void UidlJournal::unpacking(const QString &uidl, qint64 size) {
  const QByteArray id = uidl.toLatin1();
  if (size < 0 || id.isEmpty() || id.contains(' ') || id.contains('\n') || interrupted(uidl, size))
    return;
  Entry e;
  e.account = account_;
  e.uidl = id;
  e.size = size;
  e.state = Unpacking;
  e.time = run_;
  touched_ = true;
  platform::appendLine(path(), lineOf(e) + "\r\n");
}

void UidlJournal::withdraw(const QString &uidl, qint64 size) {
  Entry e;
  e.account = account_;
  e.uidl = uidl.toLatin1();
  e.size = size;
  e.state = Withdrawn;
  e.time = run_;
  touched_ = true;
  platform::appendLine(path(), lineOf(e) + "\r\n");
}

bool UidlJournal::syncAdded() {
  return !added_ ||
         (platform::syncPath(path()) == platform::Synced::Done &&
          platform::syncPath(QFileInfo(path()).absolutePath(), true) != platform::Synced::Failed);
}

bool UidlJournal::commit() {
  if (!added_)
    return true;
  Entry mark;
  mark.account = account_;
  mark.uidl = "-";
  mark.size = 0;
  mark.state = Committed;
  mark.time = run_;
  return platform::appendLine(path(), lineOf(mark) + "\r\n") &&
         platform::syncPath(path()) == platform::Synced::Done &&
         platform::syncPath(QFileInfo(path()).absolutePath(), true) != platform::Synced::Failed;
}

void UidlJournal::settle(const QSet<QString> &deleted, const std::optional<QSet<QString>> &listed) {
  // A run that wrote nothing here (nothing new came) settles what the
  // constructor read, and writes only when an entry leaves.
  bool appended = false;
  const QList<Entry> entries = touched_ ? readEntries(&appended) : entries_;
  // A mail whose newest entry is committed is that entry alone: the older
  // ones were of checks that ended before it.
  // (The constructor left one entry per mail: only lines appended since
  // can add another.)
  QHash<QByteArray, qsizetype> newest;
  for (qsizetype i = 0; touched_ && i < entries.size(); ++i)
    if (!entries[i].key.isEmpty())
      newest[mailOf(entries[i])] = i;
  QList<Entry> kept;
  for (qsizetype i = 0; i < entries.size(); ++i) {
    const Entry &e = entries[i];
    const qsizetype latest = e.key.isEmpty() || !touched_ ? i : newest.value(mailOf(e));
    if (latest != i && entries[latest].state != FetchAgain)
      continue;
    const QString id = QString::fromLatin1(e.uidl);
    if (e.account == account_ && (deleted.contains(id) || (listed && !listed->contains(id))))
      continue;
    kept.append(e);
  }
  // Written anew once a run appended to it: its lines then take the short
  // form of what they are now.
  if (kept.size() != entries.size() || appended)
    writeEntries(kept);
}

void UidlJournal::recordsDeleted(const QList<QByteArray> &keys, bool all) {
  if (!QFile::exists(path()))
    return;
  const QSet<QByteArray> gone(keys.begin(), keys.end());
  QList<Entry> entries = readEntries();
  bool changed = false;
  for (Entry &e : entries) {
    if (e.key.isEmpty() || e.state == DeletedByUser || e.state == KeptDeletedHere)
      continue;
    // A kept mail's entry holds the start of its record's key.
    const bool deleted =
        all || gone.contains(e.key) ||
        (isKept(e.state) && std::any_of(gone.cbegin(), gone.cend(),
                                        [&](const QByteArray &k) { return k.startsWith(e.key); }));
    if (!deleted)
      continue;
    e.state = isKept(e.state) ? KeptDeletedHere : DeletedByUser;
    changed = true;
  }
  if (changed)
    writeEntries(entries);
}

} // namespace mail
