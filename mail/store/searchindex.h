// Finding any mail of a history: a full-text index of every record's text,
// kept in one SQLite file in the data folder ("qlmsearch.db", 0600).
//
// The index is derived data. Each record is known by its key (recordKey),
// which the compaction of a delete does not change, so a rewrite only
// renumbers what is indexed; a record the index does not know is indexed, and
// what no record holds any more is removed. Whether a history changed at all
// is seen from its file (size, times, inode); a missing, damaged or foreign
// index file is built anew.
//
// Texts and queries are compared folded (NFKC, then case folded): ＡＢＣ, abc
// and ABC are one word, and so are ｶｲｷﾞ and カイギ. Queries of three
// characters or more are answered by FTS5's trigram index; one or two
// characters, which no trigram holds, by a second index of the pairs of
// characters that follow each other.
#pragma once

#include "mail/store/mailrecord.h"

#include <QList>
#include <QString>

namespace mail::search {

inline constexpr char16_t IndexFileName[] = u"qlmsearch.db";

// Where a search or an update reads and writes. Taken on the window's thread
// and handed to a worker, which then touches no program-wide value.
struct Paths {
  QString history; // the history file
  QString index;   // the index file
};
Paths pathsFor(History which);

// The folded form of a text, as the index holds it and queries are matched.
QString foldText(const QString &text);

// The text a search looks through for a record: subject, sender or
// recipient, date, and its whole text as the viewer shows it (recordText:
// its original, the mail as it came or went, when it has one, else the
// record's body).
QString searchText(const MailRecord &record, const QString &originalPath);

// A history file as it stood when it was read.
struct FileStamp {
  qint64 size = -1; // -1: no file
  qint64 mtimeNs = 0;
  qint64 ctimeNs = 0;
  qint64 inode = 0;
  bool operator==(const FileStamp &) const = default;
};
FileStamp stampOf(const QString &path);

struct SyncResult {
  bool ok = false;
  int records = 0; // records of the history
  int indexed = 0; // records whose text was read and indexed
  int removed = 0; // index entries of records that are gone
};
// Brings the index of one history in step with its file; nothing to do when
// the file is as the index last saw it. Safe from any thread: one update
// runs at a time.
SyncResult syncIndex(const Paths &paths, History which);

struct SearchResult {
  bool ok = false;
  QList<int> records; // ascending record numbers
  FileStamp stamp;    // the history file the numbers belong to
};
// The records whose folded text contains the folded `query`, after bringing
// the index in step. An empty query finds nothing (the caller lists all).
SearchResult searchHistory(const Paths &paths, History which, const QString &query);

// After mail was received, sent or deleted: brings an existing index in step
// on a worker thread, so nobody waits for it. A history that was never
// searched gets no index until it is.
void scheduleUpdate(History which);
// Waits until the updates started by scheduleUpdate have ended.
void waitForUpdates();

} // namespace mail::search
