#include "mail/store/originals.h"
#include "platform/core/replacefile.h"

#include "mail/mime/mime.h"
#include "mail/store/history.h"
#include "platform/core/ansi.h"
#include "platform/core/filesync.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mail {

using namespace MailLayout;

namespace {

const QString IndexName = QStringLiteral("originals.index");
bool indexUnflushed = false;

// One line of the index: "R <key> <name>" for a received mail, "S …" for a
// sent one.
struct Link {
  History history = History::Received;
  QByteArray key;
  QString name;
  QByteArray line;
};

char tagOf(History which) {
  return which == History::Received ? 'R' : 'S';
}

QList<Link> readLinks() {
  QList<Link> out;
  QFile file(originalsIndexPath());
  if (!file.open(QIODevice::ReadOnly))
    return out;
  for (const QByteArray &raw : platform::wholeLines(file.readAll())) {
    const QByteArray line = raw.trimmed();
    const QList<QByteArray> f = line.split(' ');
    // A line cut short by a crash is dropped as a whole.
    if (f.size() != 3 || f[0].size() != 1 || (f[0][0] != 'R' && f[0][0] != 'S') ||
        f[1].size() != 64 || f[2].isEmpty())
      continue;
    out.append(Link{f[0][0] == 'R' ? History::Received : History::Sent, f[1],
                    QString::fromUtf8(f[2]), line});
  }
  return out;
}

bool writeLinks(const QList<Link> &links) {
  QByteArray out;
  for (const Link &l : links)
    out += l.line + "\r\n";
  return platform::replaceFile(originalsIndexPath(), out);
}

QHash<QByteArray, QStringList> namesByKey(History which) {
  QHash<QByteArray, QStringList> out;
  for (const Link &l : readLinks())
    if (l.history == which)
      out[l.key].append(l.name);
  return out;
}

QString existingOriginal(const mail::Maildir &folder, const QStringList &names) {
  for (const QString &name : names) {
    const QString path = folder.findWhole(name);
    if (!path.isEmpty())
      return path;
  }
  return {};
}

// The names of `key`'s links whose mails are still there, in the order the
// links were made: the first stands for the first record with that key, the
// second for the second, and so on (records with the same bytes, a mail sent
// twice, each keep their own mail).
QStringList existingNames(const mail::Maildir &folder, const QStringList &names) {
  QStringList out;
  for (const QString &name : names)
    if (!folder.findWhole(name).isEmpty())
      out.append(name);
  return out;
}

// How many records in front of record `record` have the same bytes in front
// of the Flag as `bytes`: only records whose short fields match are read
// whole and hashed.
int sameRecordsBefore(History which, int record, const QByteArray &bytes) {
  const QByteArray key = recordKey(bytes);
  const QByteArray head = bytes.left(BodyOffset);
  const QByteArray all = readHistoryHeadBytes(which);
  int same = 0;
  for (qsizetype n = 1; n < record && n * BodyOffset <= all.size(); ++n) {
    if (QByteArrayView(all.constData() + (n - 1) * BodyOffset, BodyOffset) != head)
      continue;
    if (const auto other = readHistoryRecordBytes(which, int(n)); other && recordKey(*other) == key)
      ++same;
  }
  return same;
}

// The file of the original of record `record` with these bytes.
QString originalOf(History which, int record, const QByteArray &bytes) {
  const mail::Maildir folder = originalsFolder(which);
  const QStringList names = existingNames(folder, namesByKey(which).value(recordKey(bytes)));
  if (names.isEmpty())
    return {};
  if (names.size() == 1)
    return folder.findWhole(names.first());
  const int before = sameRecordsBefore(which, record, bytes);
  return folder.findWhole(names.value(before, names.first()));
}

// Calls `each` with the number and bytes of every whole record, reading the
// file in large steps.
template <typename F> void forEachRecord(History which, F each) {
  recoverHistory(which);
  QFile file(historyPath(which));
  if (!file.open(QIODevice::ReadOnly))
    return;
  constexpr int Batch = 256;
  int n = 0;
  while (n < MaxRecords) {
    const QByteArray chunk = file.read(qint64(Batch) * RecordLength);
    const int whole = int(chunk.size() / RecordLength);
    for (int i = 0; i < whole && n < MaxRecords; ++i)
      each(++n, QByteArray::fromRawData(chunk.constData() + qsizetype(i) * RecordLength,
                                        RecordLength));
    if (whole < Batch)
      break;
  }
}

} // namespace

mail::Maildir originalsFolder(History which) {
  const QString root = platform::dataFile(QStringLiteral("Maildir"));
  return mail::Maildir(which == History::Received ? root : root + QStringLiteral("/.Sent"));
}

QString originalsIndexPath() {
  return platform::dataFile(IndexName);
}

QString newOriginalName(qint64 size) {
  return mail::Maildir::uniqueName(size);
}

QString keepOriginal(History which, const QByteArray &bytes, bool sync, const QString &chosen) {
  if (!platform::dataFolderExists())
    return {};
  if (which == History::Sent && !originalsFolder(History::Received).ensure())
    return {};
  const mail::Maildir folder = originalsFolder(which);
  const QString name = chosen.isEmpty() ? newOriginalName(bytes.size()) : chosen;
  return folder.deliver(name, bytes, which == History::Sent, sync) ? name : QString();
}

QString incomingOriginalPath(const QString &incoming) {
  if (!platform::dataFolderExists())
    return {};
  return originalsFolder(History::Received).incomingPath(incoming);
}

QString keepOriginalFile(History which, const QString &path) {
  const QByteArray from = QFile::encodeName(path);
  struct stat st {};
  if (!platform::dataFolderExists() || ::stat(from.constData(), &st) != 0)
    return {};
  const mail::Maildir folder = originalsFolder(which);
  const QString name = newOriginalName(qint64(st.st_size));
  const QString incoming = folder.incomingPath(name);
  if (incoming.isEmpty())
    return {};
  const QByteArray to = QFile::encodeName(incoming);
  if (::rename(from.constData(), to.constData()) != 0) {
    // Another file system: copied a piece at a time, never whole in memory.
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    const int out = in < 0 ? -1 : platform::openPrivateFile(incoming, O_WRONLY | O_CREAT | O_EXCL);
    bool ok = in >= 0 && out >= 0;
    std::vector<char> piece(256 * 1024);
    while (ok) {
      const ssize_t n = ::read(in, piece.data(), piece.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      ok = platform::writeWhole(out, piece.data(), n);
    }
    if (in >= 0)
      ::close(in);
    if (out >= 0 && ::close(out) != 0)
      ok = false;
    if (!ok) {
      ::unlink(to.constData());
      return {};
    }
    ::unlink(from.constData());
  }
  return folder.deliverIncoming(name, name) ? name : QString();
}

bool keepIncomingOriginal(const QString &incoming, const QString &name) {
  return originalsFolder(History::Received).deliverIncoming(incoming, name);
}

bool linkOriginal(History which, const QByteArray &key, const QString &name) {
  if (key.size() != 64 || name.isEmpty() || name.contains(u' ') || name.contains(u'\n'))
    return false;
  const QByteArray line = QByteArray(1, tagOf(which)) + ' ' + key + ' ' + name.toUtf8() + "\r\n";
  const bool ok = platform::appendLine(originalsIndexPath(), line);
  indexUnflushed = indexUnflushed || ok;
  return ok;
}

bool relinkOriginal(History which, const QByteArray &oldKey, const QString &oldName,
                    const QByteArray &key, const QString &name) {
  if (key.size() != 64 || name.isEmpty() || name.contains(u' ') || name.contains(u'\n'))
    return false;
  QList<Link> links = readLinks();
  for (Link &l : links)
    if (l.history == which && l.key == oldKey && l.name == oldName) {
      // In the old link's place: of records with the same bytes, the n-th
      // finds the n-th link of their key.
      l.key = key;
      l.name = name;
      l.line = QByteArray(1, tagOf(which)) + ' ' + key + ' ' + name.toUtf8();
      indexUnflushed = true;
      return writeLinks(links);
    }
  return linkOriginal(which, key, name);
}

bool flushOriginals(QString *failure) {
  QString failed;
  if (!mail::deliveredMail().flush(&failed)) {
    if (failure)
      *failure = QStringLiteral("メール「%1」をディスクに書き込めたか確認できません。").arg(failed);
    return false;
  }
  if (!indexUnflushed)
    return true;
  const QByteArray path = QFile::encodeName(originalsIndexPath());
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0)
    ::close(fd);
  if (!ok) {
    if (failure)
      *failure = QStringLiteral("「%1」をディスクに書き込めたか確認できません。").arg(IndexName);
    return false;
  }
  indexUnflushed = false;
  return true;
}

QList<RecordOriginal> recordOriginals(History which) {
  const QHash<QByteArray, QStringList> names = namesByKey(which);
  const mail::Maildir folder = originalsFolder(which);
  QList<RecordOriginal> out;
  QHash<QByteArray, int> seen;
  QHash<QByteArray, QStringList> existing;
  forEachRecord(which, [&](int n, const QByteArray &bytes) {
    RecordOriginal o{n, recordKey(bytes), {}};
    if (const auto it = names.constFind(o.key); it != names.constEnd()) {
      if (!existing.contains(o.key))
        existing.insert(o.key, existingNames(folder, *it));
      const QStringList &own = existing[o.key];
      const int before = seen[o.key]++;
      if (!own.isEmpty())
        o.path = folder.findWhole(own.value(before, own.first()));
    }
    out.append(o);
  });
  return out;
}

OriginalFinder::OriginalFinder(History which)
    : folder_(originalsFolder(which)), names_(namesByKey(which)) {}

QString OriginalFinder::pathFor(const QByteArray &recordBytes) const {
  if (names_.isEmpty())
    return {};
  const auto it = names_.constFind(recordKey(recordBytes));
  return it == names_.constEnd() ? QString() : existingOriginal(folder_, *it);
}

QString originalPath(History which, int record) {
  const auto bytes = readHistoryRecordBytes(which, record);
  if (!bytes)
    return {};
  return originalOf(which, record, *bytes);
}

QString recordText(const MailRecord &record, const QString &originalPath, qint64 maxBytes) {
  QFile file(originalPath);
  if (originalPath.isEmpty() || !file.open(QIODevice::ReadOnly))
    return record.Body;
  QString text = platform::trimBlanks(
      nmail::mime::readableBody(maxBytes < 0 ? file.readAll() : file.read(maxBytes)));
  // The line the receive routine added under the record's body stays under
  // the whole text too.
  if (record.Body.endsWith(AttachmentNotice) && !text.endsWith(AttachmentNotice))
    text += QStringLiteral("\r\n") + AttachmentNotice;
  return text;
}

std::optional<QString> recordText(History which, int record) {
  const auto bytes = readHistoryRecordBytes(which, record);
  if (!bytes)
    return std::nullopt;
  return recordText(decodeMailRecord(*bytes), originalOf(which, record, *bytes));
}

const QString SentCopyFailureText = QStringLiteral(
    "メールは送信しましたが、送ったメールの全文を「★MAilData/Maildir/.Sent」に保存できませんでした"
    "（ディスクの空きや書き込み権限を確認して下さい）。");

bool keepSentOriginal(const QByteArray &sent, const MailRecord *record) {
  if (sent.isEmpty())
    return false;
  const QString name = keepOriginal(History::Sent, sent, true);
  if (name.isEmpty())
    return false;
  if (!record)
    return true;
  return linkOriginal(History::Sent, recordKey(*record), name) && flushOriginals();
}

namespace {

// Removes the links of `which`, and their mails, that no record stands for
// any more: `left` counts the records per key still there; a key it doesn't
// hold stays when `othersStay`, and goes otherwise.
void dropUnbacked(History which, QHash<QByteArray, int> left, bool othersStay) {
  const mail::Maildir folder = originalsFolder(which);
  QList<Link> kept;
  QStringList gone;
  for (const Link &l : readLinks()) {
    const auto it = l.history == which ? left.find(l.key) : left.end();
    if (l.history != which || (it == left.end() ? othersStay : *it > 0)) {
      if (it != left.end())
        --*it;
      kept.append(l);
    } else {
      gone.append(l.name);
    }
  }
  if (gone.isEmpty())
    return;
  // The links go first: a crash in between leaves unlinked files, never a
  // link that could show another record's mail.
  writeLinks(kept);
  for (const QString &name : gone)
    folder.remove(name);
}

} // namespace

void dropOriginals(History which, int record, const QByteArray &bytes) {
  const QByteArray key = recordKey(bytes);
  const QList<Link> links = readLinks();
  const mail::Maildir folder = originalsFolder(which);
  QStringList names;
  for (const Link &l : links)
    if (l.history == which && l.key == key)
      names.append(l.name);
  names = existingNames(folder, names);
  if (names.isEmpty())
    return;
  // The records in front of the deleted one kept their numbers: as many of
  // them with the same bytes, so many mails of that key come before its own.
  QString gone = names.first();
  if (names.size() > 1)
    gone = names.value(sameRecordsBefore(which, record, bytes), names.last());
  // The link goes first: a crash in between leaves an unlinked file, never a
  // link that could show another record's mail.
  QList<Link> kept;
  bool dropped = false;
  for (const Link &l : links) {
    if (!dropped && l.history == which && l.key == key && l.name == gone) {
      dropped = true;
      continue;
    }
    kept.append(l);
  }
  writeLinks(kept);
  folder.remove(gone);
}

bool unlinkOriginal(History which, const QByteArray &key, const QString &name) {
  QList<Link> links = readLinks();
  const qsizetype before = links.size();
  links.removeIf(
      [&](const Link &l) { return l.history == which && l.key == key && l.name == name; });
  return links.size() == before || writeLinks(links);
}

QHash<QByteArray, int> findRecords(History which, const QSet<QByteArray> &keys) {
  QHash<QByteArray, int> found;
  if (keys.isEmpty())
    return found;
  recoverHistory(which);
  QFile file(historyPath(which));
  if (!file.open(QIODevice::ReadOnly))
    return found;
  // From the last record back: the records a receive wrote lie at the end.
  const int count = int(std::min<qint64>(file.size() / RecordLength, MaxRecords));
  constexpr int Batch = 64;
  for (int last = count; last >= 1 && found.size() < keys.size(); last -= Batch) {
    const int first = std::max(1, last - Batch + 1);
    if (!file.seek(qint64(first - 1) * RecordLength))
      break;
    const QByteArray chunk = file.read(qint64(last - first + 1) * RecordLength);
    for (int n = last; n >= first; --n) {
      const qsizetype at = qsizetype(n - first) * RecordLength;
      if (at + RecordLength > chunk.size())
        continue;
      const QByteArray key = recordKey(QByteArray::fromRawData(chunk.constData() + at, RecordLength));
      if (keys.contains(key) && !found.contains(key))
        found.insert(key, n);
    }
  }
  return found;
}

void dropOrphanedOriginals(History which) {
  QHash<QByteArray, int> records;
  forEachRecord(which, [&](int, const QByteArray &bytes) { ++records[recordKey(bytes)]; });
  dropUnbacked(which, records, false);
}

void dropAllOriginals(History which) {
  dropUnbacked(which, {}, false);
}

} // namespace mail
