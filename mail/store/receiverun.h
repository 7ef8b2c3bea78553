// One receive run: everything it must have on the disk before the server may
// delete. The receive routine hands it each mail it stores (the mail's file
// in the Maildir, its journal entry); the records, the originals index and
// the attachment step's files join it at the commit. The commit puts all of
// them on the disk together, through what was written (a mail another
// program moved to cur/ meanwhile is flushed where it is now), and only then
// may the session's DELE and QUIT go. A run that cannot commit leaves its
// journal entries uncommitted, which makes the next check fetch its mails
// again (into the records and files they became) instead of deleting them
// unstored.
#pragma once

#include "platform/core/filesync.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

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
                const QByteArray &key, const QStringList &attachments = {},
                bool keepOnServer = false);
  // The files the attachment step wrote for the mail in hand, taken from it
  // to be flushed with the run.
  QList<platform::PendingFile> takeWrittenFiles();
  // The mail's entry added before stands for nothing: its record could not
  // be written.
  void withdrawEntry(const QString &uidl, qint64 size);
  void addWrittenFiles(const QList<platform::PendingFile> &files);
  // What undoing the run takes, should its journal entries not reach the
  // disk: the received history's count before it, each record it replaced
  // with its bytes then, and the files of the attachments of the mails it
  // stored new (absolute paths).
  void startsAt(int historyCount) { startCount_ = historyCount; }
  void replaces(int record, const QByteArray &bytes) { replaced_.append({record, bytes}); }
  void storedNew(const QString &mail, const QStringList &attachments) {
    newMails_.append(mail);
    newFiles_ += attachments;
  }

  // Whether anything was written that the server's deletes depend on.
  bool wroteAny() const { return wroteAny_; }
  void noteWritten() { wroteAny_ = true; }

  // Everything on the disk: empty, or a sentence saying what could not be
  // confirmed. Syncing many files takes a while; call it off the window's
  // thread (it touches only files).
  // Any sync of any of its files that failed, early (a large file synced
  // on a worker as soon as it was whole) or now, fails it.
  QString commit();

private:
  UidlJournal &journal_;
  platform::PendingFiles mails_;
  QList<platform::PendingFile> written_;
  int startCount_ = -1;
  QList<std::pair<int, QByteArray>> replaced_;
  QStringList newMails_, newFiles_;
  // The run as if it had not been: its new records and the copies and files
  // of their mails removed, the records it replaced as they were.
  void undo();
  bool wroteAny_ = false;
};

} // namespace mail
