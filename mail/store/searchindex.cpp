#include "mail/store/searchindex.h"

#include "mail/mime/mime.h"
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "platform/core/filesync.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"
#include "platform/core/textfold.h"
#include "platform/core/workers.h"

#include <QFile>
#include <QHash>
#include <QThread>

#include "mail/store/sqlitedb.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mail::search {

using namespace MailLayout;

namespace {

// Raised whenever the tables change shape or what they hold is taken
// otherwise (the digests, the texts); an index of another version is built
// anew.
constexpr int SchemaVersion = 5;

// The full-text tables come in shards, a mail's by its id: a delete merges
// the segments of its shard only, which leaves nothing of the mail in the
// file at a sixteenth of the work of merging the whole index.
constexpr int Shards = 16;

int shardOf(qint64 id) {
  return int(id % Shards);
}

// Queries of fewer characters than this are answered without the trigram
// index, which holds no shorter piece of text.
constexpr int TrigramLength = 3;

// A mail's text counts for search up to this many characters, and no more
// of its original than this is read: a hostile mail must not make the index
// grow without end (a letter of real people is far shorter).
constexpr int MaxTextLength = 1024 * 1024;
constexpr qint64 MaxOriginalBytes = 32 * 1024 * 1024;

// Records read from the history at a time while taking their digests.
constexpr int ReadBatch = 64;

// One update or search at a time, whichever thread asks.
std::mutex &indexMutex() {
  static std::mutex m;
  return m;
}

// The first 64 bits of the record's key (recordKey): marking a record for
// deletion does not change it, nor does the compaction that moves it. A
// collision would cost a stale text in the index, nothing more.
quint64 recordDigest(const char *data) {
  return recordKey(QByteArray::fromRawData(data, RecordLength)).left(16).toULongLong(nullptr, 16);
}

// Every character of a text with the one after it (NUL after the last), as
// words of twelve hex digits: "会議" is "004f1a008b70 008b70000000". A query
// of two characters is one such word, one of a single character the words
// that begin with its six digits. Always made the same way from the same
// text, as removing a text from this contentless table needs its words again.
QByteArray characterPairs(const QString &folded) {
  static constexpr char Hex[] = "0123456789abcdef";
  const QList<uint> c = folded.toUcs4();
  QByteArray out(c.size() * 13, Qt::Uninitialized);
  char *o = out.data();
  const auto six = [&o](uint v) {
    for (int shift = 20; shift >= 0; shift -= 4)
      *o++ = Hex[(v >> shift) & 0xf];
  };
  for (qsizetype i = 0; i < c.size(); ++i) {
    six(c[i] & 0xffffff);
    six(i + 1 < c.size() ? c[i + 1] & 0xffffff : 0u);
    *o++ = ' ';
  }
  return out;
}

QByteArray pairsQuery(const QString &folded) {
  const QList<uint> c = folded.toUcs4();
  char word[16];
  if (c.size() == 1)
    std::snprintf(word, sizeof word, "%06x*", c[0] & 0xffffff);
  else
    std::snprintf(word, sizeof word, "%06x%06x", c[0] & 0xffffff, c[1] & 0xffffff);
  return QByteArray(word);
}

// The index file exists before SQLite opens it, with the mode of the user's
// other files whatever the umask; SQLite gives its journal the same mode.
bool createPrivateFile(const QString &path) {
  const int fd = platform::openPrivateFile(path, O_RDWR | O_CREAT);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}

void removeIndexFiles(const QString &path) {
  for (const char *suffix : {"", "-journal", "-wal", "-shm"})
    QFile::remove(path + QLatin1String(suffix));
}

bool createSchema(const Database &db) {
  // The mails' texts have a table of their own, so renumbering the records
  // after a delete rewrites small rows, not every mail's text.
  QByteArray sql = "BEGIN;"
                   "CREATE TABLE mails(id INTEGER PRIMARY KEY, history INTEGER NOT NULL,"
                   " record INTEGER NOT NULL, digest INTEGER NOT NULL);"
                   "CREATE INDEX mails_by_record ON mails(history, record);"
                   "CREATE TABLE texts(id INTEGER PRIMARY KEY, text TEXT NOT NULL);"
                   "CREATE TABLE stamps(history INTEGER PRIMARY KEY, size INTEGER, mtime INTEGER,"
                   " ctime INTEGER, inode INTEGER);";
  for (int k = 0; k < Shards; ++k)
    sql += QByteArray("CREATE VIRTUAL TABLE mails_text_%1 USING fts5(text, content='texts',"
                      " content_rowid='id', tokenize='trigram case_sensitive 1');"
                      // The pairs of characters, for queries of one or two.
                      "CREATE VIRTUAL TABLE mails_pairs_%1 USING fts5(pairs, content='',"
                      " detail='none', tokenize='ascii', prefix='6');")
               .replace("%1", QByteArray::number(k));
  sql += "PRAGMA user_version = " + QByteArray::number(SchemaVersion) + ";COMMIT;";
  return db.exec(sql.constData());
}

int userVersion(const Database &db) {
  Statement st(db, "PRAGMA user_version");
  return st.step() ? int(st.integer(0)) : -1;
}

// Opens the index, making it anew when it is missing, damaged or of another
// version. Deleted text is overwritten in the file, not left in free pages.
std::unique_ptr<Database> openIndex(const QString &path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!createPrivateFile(path))
      return nullptr;
    auto db = std::make_unique<Database>(path);
    if (db->open() && db->exec("PRAGMA secure_delete = ON; PRAGMA synchronous = OFF;"
                               "PRAGMA temp_store = MEMORY; PRAGMA cache_size = -32768")) {
      sqlite3_busy_timeout(db->handle(), 60000);
      const int version = userVersion(*db);
      if (version == SchemaVersion)
        return db;
      if (version == 0 && createSchema(*db))
        return db;
    }
    db.reset();
    removeIndexFiles(path);
  }
  return nullptr;
}

int historyNumber(History which) {
  return which == History::Sent ? 1 : 0;
}

FileStamp storedStamp(const Database &db, History which) {
  Statement st(db, "SELECT size, mtime, ctime, inode FROM stamps WHERE history = ?");
  st.bind(1, historyNumber(which));
  FileStamp s;
  s.size = -2; // never equal to a file's stamp: nothing indexed yet
  if (st.step())
    s = FileStamp{st.integer(0), st.integer(1), st.integer(2), st.integer(3)};
  return s;
}

bool saveStamp(const Database &db, History which, const FileStamp &s) {
  Statement st(db, "INSERT OR REPLACE INTO stamps(history, size, mtime, ctime, inode)"
                   " VALUES(?, ?, ?, ?, ?)");
  return st.bind(1, historyNumber(which))
      .bind(2, s.size)
      .bind(3, s.mtimeNs)
      .bind(4, s.ctimeNs)
      .bind(5, s.inode)
      .run();
}

// The digests of every whole record of the history file, or nothing when it
// can't be read. A missing file is an empty history.
std::optional<QList<quint64>> readDigests(int fd, qint64 size) {
  QList<quint64> digests;
  if (fd < 0)
    return digests;
  const qint64 count = std::min<qint64>(size / RecordLength, MaxRecords);
  digests.resize(count);
  quint64 *const out = digests.data();
  // Hashing a full history is most of an update's work: the records are
  // taken in parts at once, one a core, each part into its own places.
  const int parts =
      int(std::clamp<qint64>(count / 1024, 1, std::max(1, QThread::idealThreadCount())));
  std::atomic<bool> failed{false};
  platform::runInParallel(parts, [&](int part) {
    const qint64 from = count * part / parts;
    const qint64 to = count * (part + 1) / parts;
    QByteArray buffer(ReadBatch * RecordLength, Qt::Uninitialized);
    for (qint64 first = from; first < to && !failed; first += ReadBatch) {
      const qint64 n = std::min<qint64>(ReadBatch, to - first);
      if (platform::readAt(fd, buffer.data(), n * RecordLength, first * RecordLength) !=
          n * RecordLength) {
        failed = true;
        return;
      }
      for (qint64 i = 0; i < n; ++i)
        out[first + i] = recordDigest(buffer.constData() + i * RecordLength);
    }
  });
  if (failed)
    return std::nullopt;
  return digests;
}

// One prepared statement per shard, made when first used; "%1" in the text
// stands for the shard's number.
class ShardStatements {
public:
  ShardStatements(const Database &db, const char *sql) : db_(db), sql_(sql), st_(Shards) {}
  Statement &at(int shard) {
    if (!st_[shard])
      st_[shard] = std::make_unique<Statement>(
          db_, QByteArray(sql_).replace("%1", QByteArray::number(shard)).constData());
    return *st_[shard];
  }

private:
  const Database &db_;
  const char *sql_;
  std::vector<std::unique_ptr<Statement>> st_;
};

// Gives each matched entry its record's number. Record i + 1 was matched to
// the entry numbered oldNumber[i] (0: a new record). Consecutive records
// whose entries were consecutive move by one statement. When every move is
// down (records only deleted), the runs are done in order and a run never
// meets rows an earlier one moved; otherwise each run goes to negative
// numbers first, and all of them are turned back at the end.
bool renumber(const Database &db, History which, const QList<qint64> &matched,
              const QList<int> &oldNumber) {
  struct Run {
    int from, to, shift; // old numbers from..to move by shift
  };
  QList<Run> runs;
  bool allDown = true;
  for (int i = 0; i < matched.size(); ++i) {
    if (!matched[i] || oldNumber[i] == i + 1)
      continue;
    const int shift = i + 1 - oldNumber[i];
    if (!runs.isEmpty() && runs.last().shift == shift && runs.last().to + 1 == oldNumber[i]) {
      runs.last().to = oldNumber[i];
      continue;
    }
    runs.append(Run{oldNumber[i], oldNumber[i], shift});
    allDown = allDown && shift < 0;
  }
  if (runs.isEmpty())
    return true;
  Statement move(db, allDown ? "UPDATE mails SET record = record + ?4"
                               " WHERE history = ?1 AND record BETWEEN ?2 AND ?3"
                             : "UPDATE mails SET record = -(record + ?4)"
                               " WHERE history = ?1 AND record BETWEEN ?2 AND ?3");
  for (const Run &r : runs)
    if (!move.bind(1, historyNumber(which)).bind(2, r.from).bind(3, r.to).bind(4, r.shift).run())
      return false;
  if (allDown)
    return true;
  Statement back(db, "UPDATE mails SET record = -record WHERE history = ? AND record < 0");
  return back.bind(1, historyNumber(which)).run();
}

struct Entry {
  qint64 id;
  int record;
  bool used = false;
};

enum class Outcome { Done, Changed, Failed };

// One pass of the update inside a transaction; Changed when the history file
// moved under it (a receive or a delete meanwhile), and it is to be run again.
Outcome update(const Database &db, const QString &historyPath, History which, SyncResult &result) {
  const FileStamp before = stampOf(historyPath);
  if (before == storedStamp(db, which)) {
    Statement count(db, "SELECT count(*) FROM mails WHERE history = ?");
    count.bind(1, historyNumber(which));
    result.records = count.step() ? int(count.integer(0)) : 0;
    return Outcome::Done;
  }

  const QByteArray name = QFile::encodeName(historyPath);
  const int fd = before.size >= 0 ? ::open(name.constData(), O_RDONLY | O_CLOEXEC) : -1;
  struct FdCloser {
    int fd;
    ~FdCloser() {
      if (fd >= 0)
        ::close(fd);
    }
  } closer{fd};
  if (before.size >= 0 && fd < 0)
    return Outcome::Failed;
  const std::optional<QList<quint64>> digests = readDigests(fd, before.size);
  if (!digests)
    return Outcome::Changed;

  if (!db.exec("BEGIN IMMEDIATE"))
    return Outcome::Failed;
  struct Rollback {
    const Database &db;
    bool armed = true;
    ~Rollback() {
      if (armed)
        db.exec("ROLLBACK");
    }
  } rollback{db};

  // What the index holds, by digest.
  QHash<quint64, QList<Entry>> known;
  {
    Statement st(db, "SELECT id, record, digest FROM mails WHERE history = ?");
    st.bind(1, historyNumber(which));
    while (st.step())
      known[quint64(st.integer(2))].append(Entry{st.integer(0), int(st.integer(1))});
    if (!st.done())
      return Outcome::Failed;
  }

  // Each record takes an entry of its digest, the one already at its number
  // first (two records of the same bytes keep their own entries).
  const int count = int(digests->size());
  QList<qint64> matched(count, 0);
  QList<int> oldNumber(count, 0); // the matched entry's record number before
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < count; ++i) {
      if (matched[i])
        continue;
      auto it = known.find((*digests)[i]);
      if (it == known.end())
        continue;
      for (Entry &e : *it) {
        if (!e.used && (pass == 1 || e.record == i + 1)) {
          e.used = true;
          matched[i] = e.id;
          oldNumber[i] = e.record;
          break;
        }
      }
    }
  }

  // What no record holds any more leaves the index; the shards it was in
  // are merged below.
  std::vector<bool> touched(Shards, false);
  {
    Statement text(db, "SELECT text FROM texts WHERE id = ?");
    Statement removeText(db, "DELETE FROM texts WHERE id = ?");
    Statement remove(db, "DELETE FROM mails WHERE id = ?");
    ShardStatements unindex(db, "INSERT INTO mails_text_%1(mails_text_%1, rowid, text)"
                                " VALUES('delete', ?, ?)");
    ShardStatements unpair(db, "INSERT INTO mails_pairs_%1(mails_pairs_%1, rowid, pairs)"
                               " VALUES('delete', ?, ?)");
    for (const QList<Entry> &entries : std::as_const(known))
      for (const Entry &e : entries)
        if (!e.used) {
          text.bind(1, e.id);
          if (!text.step())
            return Outcome::Failed;
          const QString folded = text.string(0);
          text.reset();
          const int k = shardOf(e.id);
          if (!unindex.at(k).bind(1, e.id).bind(2, folded.toUtf8()).run() ||
              !unpair.at(k).bind(1, e.id).bind(2, characterPairs(folded)).run() ||
              !removeText.bind(1, e.id).run() || !remove.bind(1, e.id).run())
            return Outcome::Failed;
          touched[k] = true;
          ++result.removed;
        }
  }

  // The records that moved take their new numbers, a run of records that
  // moved alike with one statement (a delete moves every later record up
  // one).
  if (!renumber(db, which, matched, oldNumber))
    return Outcome::Failed;

  // The records the index does not know yet, with their originals where
  // the mails are kept whole.
  if (matched.contains(0)) {
    // Only the new records' originals are looked up.
    std::optional<OriginalFinder> originals;
    if (QFile::exists(originalsIndexPath()))
      originals.emplace(which);
    Statement insert(db, "INSERT INTO mails(history, record, digest) VALUES(?, ?, ?)");
    Statement insertText(db, "INSERT INTO texts(id, text) VALUES(?, ?)");
    ShardStatements index(db, "INSERT INTO mails_text_%1(rowid, text) VALUES(?, ?)");
    ShardStatements pair(db, "INSERT INTO mails_pairs_%1(rowid, pairs) VALUES(?, ?)");
    QByteArray bytes(RecordLength, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
      if (matched[i])
        continue;
      if (platform::readAt(fd, bytes.data(), RecordLength, qint64(i) * RecordLength) !=
              RecordLength ||
          recordDigest(bytes.constData()) != (*digests)[i])
        return Outcome::Changed;
      const QString original = originals ? originals->pathFor(bytes) : QString();
      const QString folded = foldText(searchText(decodeMailRecord(bytes), original));
      const QByteArray text = folded.toUtf8();
      if (!insert.bind(1, historyNumber(which)).bind(2, i + 1).bind(3, qint64((*digests)[i])).run())
        return Outcome::Failed;
      const qint64 id = sqlite3_last_insert_rowid(db.handle());
      const int k = shardOf(id);
      // The pairs are made from the text as stored, as removing it makes
      // them again from there (a lone surrogate does not survive UTF-8).
      if (!insertText.bind(1, id).bind(2, text).run() || !index.at(k).bind(1, id).bind(2, text).run() ||
          !pair.at(k).bind(1, id).bind(2, characterPairs(QString::fromUtf8(text))).run())
        return Outcome::Failed;
      ++result.indexed;
    }
  }

  // A removed mail's trigrams and pairs stay in the older segments of its
  // shard until they are merged: merging them all within the same
  // transaction leaves nothing of it in the file (the freed pages are
  // overwritten) once the update is committed.
  for (int k = 0; k < Shards; ++k) {
    if (!touched[k])
      continue;
    const QByteArray merge =
        QByteArray("INSERT INTO mails_text_%1(mails_text_%1) VALUES('optimize');"
                   "INSERT INTO mails_pairs_%1(mails_pairs_%1) VALUES('optimize')")
            .replace("%1", QByteArray::number(k));
    if (!db.exec(merge.constData()))
      return Outcome::Failed;
  }

  if (!(stampOf(historyPath) == before))
    return Outcome::Changed;
  if (!saveStamp(db, which, before) || !db.exec("COMMIT"))
    return Outcome::Failed;
  rollback.armed = false;
  result.records = count;
  return Outcome::Done;
}

SyncResult syncLocked(std::unique_ptr<Database> &db, const Paths &paths, History which) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (!db)
      db = openIndex(paths.index);
    if (!db)
      return {};
    SyncResult result;
    const Outcome outcome = update(*db, paths.history, which, result);
    if (outcome == Outcome::Done) {
      result.ok = true;
      return result;
    }
    if (outcome == Outcome::Failed && db->damaged()) {
      db.reset();
      removeIndexFiles(paths.index);
    }
  }
  return {};
}

// Updates run one at a time and in the order asked, on the pool (which the
// application waits for when it ends). Never destroyed: a job may still be
// queued when static objects go.
platform::SerialQueue &updates() {
  static platform::SerialQueue *const queue = new platform::SerialQueue;
  return *queue;
}

} // namespace

Paths pathsFor(History which) {
  return Paths{historyPath(which), platform::dataFile(QString::fromUtf16(IndexFileName))};
}

QString foldText(const QString &text) {
  return platform::foldText(text);
}

QString searchText(const MailRecord &record, const QString &originalPath) {
  QString body = mail::recordText(record, originalPath, MaxOriginalBytes);
  if (body.size() > MaxTextLength)
    body.truncate(MaxTextLength);
  return record.Subject + u'\n' + record.Info1 + u'\n' + record.Info2 + u'\n' + body;
}

FileStamp stampOf(const QString &path) {
  struct stat st {};
  const QByteArray name = QFile::encodeName(path);
  if (::stat(name.constData(), &st) != 0)
    return FileStamp{};
  return FileStamp{qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                   qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec,
                   qint64(st.st_ino)};
}

SyncResult syncIndex(const Paths &paths, History which) {
  std::lock_guard<std::mutex> lock(indexMutex());
  std::unique_ptr<Database> db;
  return syncLocked(db, paths, which);
}

SearchResult searchHistory(const Paths &paths, History which, const QString &query) {
  SearchResult result;
  const QString folded = foldText(query).trimmed();
  std::lock_guard<std::mutex> lock(indexMutex());
  std::unique_ptr<Database> db;
  result.stamp = stampOf(paths.history);
  if (!syncLocked(db, paths, which).ok)
    return result;
  if (folded.isEmpty()) {
    result.ok = true;
    return result;
  }
  const bool shortQuery = folded.toUcs4().size() < TrigramLength;
  // A quoted FTS5 string is one phrase: the query's trigrams in a row, which
  // is the query as a piece of the text.
  const QByteArray term =
      shortQuery ? pairsQuery(folded)
                 : (QLatin1Char('"') + QString(folded).replace(u'"', QStringLiteral("\"\"")) +
                    QLatin1Char('"'))
                       .toUtf8();
  // CROSS JOIN keeps the index first: the other way round SQLite walks every
  // mail in record order and asks the index about each one.
  ShardStatements find(*db, shortQuery
                                ? "SELECT m.record FROM mails_pairs_%1 CROSS JOIN mails m"
                                  " ON m.id = mails_pairs_%1.rowid"
                                  " WHERE mails_pairs_%1 MATCH ?2 AND m.history = ?1"
                                : "SELECT m.record FROM mails_text_%1 CROSS JOIN mails m"
                                  " ON m.id = mails_text_%1.rowid"
                                  " WHERE mails_text_%1 MATCH ?2 AND m.history = ?1");
  for (int k = 0; k < Shards; ++k) {
    Statement &st = find.at(k);
    st.bind(1, historyNumber(which)).bind(2, term);
    while (st.step())
      result.records.append(int(st.integer(0)));
    if (!st.done())
      return result;
  }
  std::sort(result.records.begin(), result.records.end());
  result.ok = true;
  return result;
}

void scheduleUpdate(History which) {
  const Paths paths = pathsFor(which);
  if (!QFile::exists(paths.index))
    return;
  updates().post([paths, which] { syncIndex(paths, which); });
}

void waitForUpdates() {
  updates().waitForDone();
}

} // namespace mail::search
