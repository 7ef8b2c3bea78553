// A Maildir writer: every mail kept whole as a file of its own, in the
// layout every other mail program (mutt, notmuch, Dovecot, Python's mailbox)
// reads.
//
// A mail is written under a unique name into tmp/ and then renamed into new/
// (or cur/ when it is marked seen), so no reader ever sees half a mail and a
// crash leaves at most a stray file in tmp/. Writing many mails does not wait
// for the disk once per mail: the files delivered since the last flush are
// put on the disk together from deliveredMail(), which the receive run
// flushes before the server is told to delete anything.
#pragma once

#include "platform/core/filesync.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace mail {

class Maildir {
public:
  explicit Maildir(QString root) : root_(std::move(root)) {}

  const QString &root() const { return root_; }

  // Creates the folder with tmp/, new/ and cur/ (0700) when they are not
  // there; its parent must exist. False when one cannot be made. Within a
  // settled run (platform::SettledFolders) a folder is made sure of once.
  bool ensure() const;

  // A name no other delivery uses: "<seconds>.M<usec>P<pid>Q<count>.<host>",
  // with ",S=<size>" as Dovecot writes it.
  static QString uniqueName(qint64 size);

  // Writes `bytes` as the mail `name` (a uniqueName()), into new/, or into
  // cur/ with the seen flag (":2,S"). The file is 0600. With `sync` it is on
  // the disk before return; without, it waits in deliveredMail(). True
  // when the mail is in place.
  bool deliver(const QString &name, const QByteArray &bytes, bool seen, bool sync) const;

  // Where a mail that is written as it arrives goes first: tmp/<name>.
  // Empty for a name that could leave the folder or when the folder cannot
  // be made.
  QString incomingPath(const QString &name) const;
  // Moves the mail written whole into tmp/<incoming> into new/ as `name`
  // (the two differ when its size turned out other than announced). Not
  // flushed: the caller puts pending(name) on the disk with the rest of its
  // run. True when the mail is in place.
  bool deliverIncoming(const QString &incoming, const QString &name) const;
  // The mail `name` delivered into new/, to be flushed where it is then.
  platform::PendingFile pending(const QString &name) const;

  // Removes what a delivery cut short left in tmp/: files not touched for 36
  // hours, as the Maildir convention allows (a delivery in progress writes
  // its file all the time). The number removed.
  int removeStaleIncoming() const;

  // Where the mail `name` is now: new/<name>, or cur/<name> with whatever
  // flags a mail program has given it since. Empty when it is gone.
  QString find(const QString &name) const;
  // The same, only when the mail there is whole: a name from uniqueName()
  // carries the mail's size (",S="), which a file that a lost write-back or
  // a power cut left empty or short does not have.
  QString findWhole(const QString &name) const;
  // Removes the mail `name` (and a copy of it left in tmp/). True when it is
  // gone.
  bool remove(const QString &name) const;

private:
  bool ensureNow() const;
  QString root_;
};

// Every mail delivered without `sync` and not flushed yet, each to be flushed
// where it is then: under the name it was written with, or where a mail
// program has moved it since (new/ to cur/). A mail that is nowhere any more
// cannot be flushed. Mails removed through remove() are off the list.
platform::PendingFiles &deliveredMail();

} // namespace mail
