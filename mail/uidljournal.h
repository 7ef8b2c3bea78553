// The unique ids (UIDL) of the mails a receive stored, kept in a small file
// in the data folder until the server has deleted them at QUIT. A receive
// that died before its QUIT (a crash, a kill, a lost line) leaves them on the
// server; the next check deletes those there instead of storing them again.
//
// Servers do not always keep ids unique (popa3d derives them from a mail's
// headers, so two mails with the same Message-ID and Date share one). An
// entry therefore counts only for a later run, only for an id that occurs
// once in that run's listing, and only while the mail's size is the same.
#pragma once

#include <QMultiHash>
#include <QString>

namespace mail {

class UidlJournal {
public:
  // The journal of one account (server setting and user ID). Entries whose
  // record never reached the received history are dropped.
  UidlJournal(const QString &server, const QString &userId);

  static QString path();

  // Whether an earlier run of this account stored the mail with this id and
  // size. Entries this run adds never count here. The caller asks only for
  // ids that occur once in the server's listing.
  bool storedBefore(const QString &uidl, qint64 size) const;
  // Written before the mail's record: `record` is the number the record will
  // get, so an entry counts only once the history holds that many records.
  // `size` is the server's size of the mail, `original` the name of its copy
  // in the Maildir (removed again when the record never came).
  bool add(int record, const QString &uidl, qint64 size, const QString &original = {});
  // On the disk (fsync), before QUIT.
  bool sync();
  // After a successful QUIT: the server deleted every mail of the session.
  void clear();

private:
  QString account_;
  // Id → size from earlier runs; -1 for an entry written without its size.
  QMultiHash<QString, qint64> stored_;
};

} // namespace mail
