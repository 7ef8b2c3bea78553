// The one record of which server mail is in which history record and which
// files: the unique ids (UIDL) of the mails the receive runs stored, kept in
// a small file in the data folder until the server has confirmed each
// mail's deletion.
//
// An entry is appended before its mail is named in the Maildir's new/ and
// before its record, and names what the mail became: its history record
// (by the record's key, with its number as a hint), its copy in the
// Maildir and the files its attachments went into. A run marks its entries
// committed with one line once every file of the run is on the disk; an
// entry without that mark (the run failed, was killed or could not confirm
// its files) stands for a mail still to be fetched, and that mail, fetched
// again, goes back into the record and the files its entry names.
//
// An entry leaves the file only when the server confirmed its mail's
// deletion (its DELE accepted and the QUIT answered), or when the server no
// longer lists the mail at all; never wholesale. A record the user deleted
// keeps its entry, marked, until the server copy is gone: the next check
// deletes that mail there instead of bringing it back.
//
// Servers do not always keep ids unique (popa3d derives them from a mail's
// headers, so two mails with the same Message-ID and Date share one). An
// entry therefore counts only for a later run, only for an id that occurs
// once in that run's listing, and only while the mail's size is the same.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace mail {

// A mail an earlier run stored but could not confirm on the disk: fetched
// again, it goes into what it became then.
struct KnownMail {
  QByteArray key;          // its history record's key (recordKey)
  QString original;        // the name of its original in the Maildir
  int record = 0;          // the number its record has now, 0 when the history lost it
  QStringList attachments; // the files its attachments went into, as add() was given them
};

// A mail stored and kept on the server, as the user asked.
struct KeptCopy {
  qint64 storedAt = 0;      // when it was stored (milliseconds since 1970, UTC)
  bool deletedHere = false; // its record was deleted in the viewer since
};

class UidlJournal {
public:
  // The journal of one account (server setting and user ID). Entries whose
  // record never reached the received history are dropped, with the
  // original written for them.
  UidlJournal(const QString &server, const QString &userId);

  static QString path();

  // Whether an earlier run of this account stored the mail with this id and
  // size and committed it (or the user deleted its record since): the mail
  // is to be deleted on the server, not fetched. Entries this run adds never
  // count here. The caller asks only for ids that occur once in the
  // server's listing.
  bool storedBefore(const QString &uidl, qint64 size) const;
  // What an earlier run made of the mail with this id and size when it could
  // not confirm it on the disk (or its original went missing since).
  std::optional<KnownMail> knownMail(const QString &uidl, qint64 size) const;

  // Noted before a mail's attachments are unpacked (a hint, not synced):
  // should the run end before the mail's entry, the next check knows that
  // files of that mail may be there already, whole or cut short.
  void unpacking(const QString &uidl, qint64 size);
  // Whether an earlier run began to unpack the mail and went no further.
  bool interrupted(const QString &uidl, qint64 size) const;

  // Appended before the mail's record: `record` is the number the record
  // has or will get (a hint for finding it later), `key` its recordKey,
  // `size` the server's size of the mail, `original` the name of its copy in
  // the Maildir, `attachments` the files its attachments went into. Not
  // synced: commit() does that. False when it could not be written; the mail
  // must then stay on the server.
  // With `keepOnServer` the mail stays on the server once stored.
  bool add(int record, const QString &uidl, qint64 size, const QString &original,
           const QByteArray &key, const QStringList &attachments = {}, bool keepOnServer = false);

  // The entry this run added for the mail stands for nothing: its record
  // could not be written.
  void withdraw(const QString &uidl, qint64 size);

  // A mail an earlier run stored and left on the server.
  std::optional<KeptCopy> keptCopy(const QString &uidl, qint64 size) const;
  // The server sent the mail far past the size it listed: left there, and
  // not fetched again (noted, not synced).
  void addBeyondListing(const QString &uidl, qint64 size);
  bool beyondListing(const QString &uidl, qint64 size) const;
  // The entries this run added, on the disk (fsync) before the files they
  // name: a record that reached the disk without its entry would come a
  // second time. False when that cannot be confirmed.
  bool syncAdded();
  // Once every file of the run is on the disk, before its deletions go: the
  // entries this run added count as stored, on the disk (fsync) with the
  // journal's folder. False when that cannot be confirmed; the entries then
  // stand for mails to fetch again.
  bool commit();

  // After the session: `deleted` are the ids whose deletion the server
  // confirmed (DELE accepted and QUIT answered), `listed` every id the
  // server listed, when the listing is known whole. Their entries leave.
  void settle(const QSet<QString> &deleted, const std::optional<QSet<QString>> &listed);

  // The viewer deleted the records with these keys (every received record
  // with `all`): a mail of theirs still on the server counts as stored, and
  // is deleted there rather than brought back.
  static void recordsDeleted(const QList<QByteArray> &keys, bool all = false);

  // The states of an entry, one letter each on its line.
  static constexpr char Stored = 'S';     // stored by a run that committed
  static constexpr char Added = 'N';      // stored by a run not (yet) committed
  static constexpr char FetchAgain = 'F'; // to be fetched again into its record
  static constexpr char DeletedByUser = 'D';
  static constexpr char Committed = 'C';       // the line that commits a run's entries
  static constexpr char Unpacking = 'U';       // a mail whose unpacking began
  static constexpr char AddedToKeep = 'P';     // as Added, its copy to stay on the server
  static constexpr char Kept = 'K';            // stored by a run that committed, kept there
  static constexpr char KeptDeletedHere = 'X'; // kept there, its record deleted since
  static constexpr char BeyondListing = 'B';   // sent far past its listed size, left there
  static constexpr char Withdrawn = 'W';       // the run's entry of that mail is void

  struct Entry {
    int record = 0;
    QByteArray account;
    QByteArray uidl;
    qint64 size = -1;
    QString original;
    QByteArray key; // empty on a line of an older version
    char state = Stored;
    // When its run began (milliseconds since 1970, UTC; 0 unknown), which
    // also tells the runs apart: a commit line commits the entries of its
    // account with its time.
    qint64 time = 0;
    QStringList attachments;
  };
  // Every entry in file order, each run's entries as its commit left them:
  // Added (AddedToKeep) with a commit line of its run reads as Stored
  // (Kept), without one as FetchAgain. The commit lines themselves are not returned.
  // `appended`: whether a run appended to the file since it was last
  // written whole.
  static QList<Entry> readEntries(bool *appended = nullptr);
  static QByteArray lineOf(const Entry &e);

private:
  static bool writeEntries(const QList<Entry> &entries);

  QByteArray account_;
  // Id → size from earlier runs; -1 for an entry written without its size.
  QMultiHash<QString, qint64> stored_;
  QMultiHash<QString, std::pair<qint64, KnownMail>> known_;
  QMultiHash<QString, qint64> interrupted_;
  QMultiHash<QString, std::pair<qint64, KeptCopy>> kept_;
  QMultiHash<QString, qint64> beyond_;
  bool added_ = false;
  bool touched_ = false; // this run appended a line
  QList<Entry> entries_; // as the constructor left the file
  qint64 run_ = 0;       // this run's time, later than every entry's before it
};

} // namespace mail
