// The unique ids (UIDL) of the mails a receive stored, kept in a small file
// in the data folder until the server has deleted them at QUIT. A receive
// that died before its QUIT (a crash, a kill, a lost line) leaves them on the
// server; the next check deletes those there instead of storing them again.
#pragma once

#include <QSet>
#include <QString>

namespace mail {

class UidlJournal {
public:
  // The journal of one account (server setting and user ID). Entries whose
  // record never reached the received history are dropped.
  UidlJournal(const QString &server, const QString &userId);

  static QString path();

  bool contains(const QString &uidl) const { return stored_.contains(uidl); }
  // Written before the mail's record: `record` is the number the record will
  // get, so an entry counts only once the history holds that many records.
  bool add(int record, const QString &uidl);
  // On the disk (fsync), before QUIT.
  bool sync();
  // After a successful QUIT: the server deleted every mail of the session.
  void clear();

private:
  QString account_;
  QSet<QString> stored_;
};

} // namespace mail
