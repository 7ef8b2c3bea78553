// One receive run: everything it must have on the disk before the server may
// delete. The receive routine hands it each mail it stores (the mail's file
// in the Maildir, its journal entry); the records, the originals index and
// the attachment step's files join it at the commit. The commit puts all of
// them on the disk together, through what was written (a mail another
// program moved to cur/ meanwhile is flushed where it is now), and only then
// may the session's DELE and QUIT go. A run that cannot commit withdraws its
// journal entries, on the disk, so that the next check fetches its mails
// again instead of deleting them unstored.
#pragma once

#include "platform/core/filesync.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace mail {

class UidlJournal;

class ReceiveRun {
public:
  explicit ReceiveRun(UidlJournal &journal);
  ReceiveRun(const ReceiveRun &) = delete;
  ReceiveRun &operator=(const ReceiveRun &) = delete;

  // The mail `name` was moved whole into the received Maildir's new/.
  void addMail(const QString &name);
  // A mail added that is not kept after all (its record could not be
  // stored): removed from the Maildir, and needs no flush.
  void dropMail(const QString &name);
  // Before the mail's record: its journal entry (see UidlJournal::add).
  // False when it could not be written: the mail must stay on the server.
  bool addEntry(int record, const QString &uidl, qint64 size, const QString &original,
                const QByteArray &key);
  // Whether anything was written that the server's deletes depend on.
  bool wroteAny() const { return wroteAny_; }
  void noteWritten() { wroteAny_ = true; }

  // Everything on the disk: empty, or a sentence saying what could not be
  // confirmed. Syncing many files takes a while; call it off the window's
  // thread (it touches only files).
  QString commit();
  // After a failed commit (or none): the run's journal entries are withdrawn.
  // False when even that could not be written (the journal is then removed,
  // so that no entry of the run can let a mail be deleted unstored).
  bool withdraw();

private:
  UidlJournal &journal_;
  platform::PendingFiles mails_;
  bool wroteAny_ = false;
};

} // namespace mail
