// The unique ids (UIDL) of the mails a receive stored, kept in a small file
// in the data folder until the server has deleted them at QUIT. A receive
// that died before its QUIT (a crash, a kill, a lost line) leaves them on the
// server; the next check deletes those there instead of storing them again.
//
// An entry names what the mail became: the key of its history record and the
// name of its original in the Maildir. It is judged by those, never by a
// record number, so deletes in the viewer between two checks never misjudge
// it: the mail counts as stored while its record and its original are both
// there (or the user deleted its record since), and comes again otherwise.
//
// A run whose files could not be confirmed on the disk withdraws its entries:
// they stay, marked, so that the next check fetches those mails again and
// knows them, and puts each into the record it already has instead of adding
// a second one.
//
// Servers do not always keep ids unique (popa3d derives them from a mail's
// headers, so two mails with the same Message-ID and Date share one). An
// entry therefore counts only for a later run, only for an id that occurs
// once in that run's listing, and only while the mail's size is the same.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace mail {

// A mail an earlier run stored but could not confirm on the disk: fetched
// again, it goes into what it became then.
struct KnownMail {
  QByteArray key;   // its history record's key (recordKey)
  QString original; // the name of its original in the Maildir
  int record = 0;   // the number its record has now, 0 when the history lost it
};

class UidlJournal {
public:
  // The journal of one account (server setting and user ID). Entries whose
  // record never reached the received history are dropped, with the
  // original written for them.
  UidlJournal(const QString &server, const QString &userId);

  static QString path();

  // Whether an earlier run of this account stored the mail with this id and
  // size. Entries this run adds never count here. The caller asks only for
  // ids that occur once in the server's listing.
  bool storedBefore(const QString &uidl, qint64 size) const;
  // What an earlier run made of the mail with this id and size when it could
  // not confirm it on the disk (or its original went missing since).
  std::optional<KnownMail> knownMail(const QString &uidl, qint64 size) const;

  // Written before the mail's record: `record` is the number the record will
  // get (a hint for finding it later), `key` its recordKey, `size` the
  // server's size of the mail, `original` the name of its copy in the Maildir.
  // Not synced: sync() does that before QUIT. False when it could not be
  // written; the mail must then stay on the server.
  bool add(int record, const QString &uidl, qint64 size, const QString &original,
           const QByteArray &key);
  // On the disk (fsync), before QUIT.
  bool sync();
  // The run could not confirm its files on the disk and ends without QUIT:
  // the entries it added are marked to be fetched again, on the disk.
  bool withdraw();
  // After a successful QUIT: the server deleted every mail of the session.
  void clear();

  // The viewer deleted the records with these keys (every received record
  // with `all`): a mail of theirs still on the server counts as stored, and
  // is deleted there rather than brought back.
  static void recordsDeleted(const QList<QByteArray> &keys, bool all = false);

private:
  struct Entry {
    int record = 0;
    QByteArray account;
    QByteArray uidl;
    qint64 size = -1;
    QString original;
    QByteArray key; // empty on a line of an older version
    char state = 'S';
  };
  static QList<Entry> readEntries();
  static bool writeEntries(const QList<Entry> &entries);
  static QByteArray lineOf(const Entry &e);

  QByteArray account_;
  // Id → size from earlier runs; -1 for an entry written without its size.
  QMultiHash<QString, qint64> stored_;
  QMultiHash<QString, std::pair<qint64, KnownMail>> known_;
  // Lines this run appended, for withdraw().
  QList<Entry> added_;
};

} // namespace mail
