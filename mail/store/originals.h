// Every mail kept whole beside its history record.
//
// A history record holds 12,000 bytes of CP932 text, which is all the
// Windows program can read. The mail itself, as it came from the server or
// as it was sent, is kept in a Maildir in the data folder:
//   ★MAilData/Maildir        received mails
//   ★MAilData/Maildir/.Sent  sent mails (a Maildir++ folder)
// A record finds its original through a key that a delete's rewrite does not
// change: the SHA-256 of the record's stored bytes in front of its Flag. The
// small index "originals.index" in the data folder maps keys to mail names.
// Records without an original (brought over from Windows, or older) show
// their record as before.
#pragma once

#include "mail/store/mailrecord.h"
#include "mail/store/maildir.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QList>
#include <QString>
#include <optional>

namespace mail {

// The Maildir of a history's originals.
mail::Maildir originalsFolder(History which);
QString originalsIndexPath();

// Keeps `bytes` as a new mail of the history's Maildir, flushed later with
// flushOriginals() (or at once with `sync`), under `name` when one was
// chosen before (newOriginalName). The mail's name, empty when it could not
// be written.
QString keepOriginal(History which, const QByteArray &bytes, bool sync = false,
                     const QString &name = {});
// A name for a mail of `size` bytes that no other mail has.
QString newOriginalName(qint64 size);
// Where a received mail is written while it arrives (the Maildir's tmp/),
// under a name from newOriginalName(); empty when that folder can't be had.
QString incomingOriginalPath(const QString &incoming);
// Moves that mail, written whole, into the received Maildir as `name`
// (flushed later, as by keepOriginal). False when it could not be moved.
bool keepIncomingOriginal(const QString &incoming, const QString &name);
// Moves the mail in the file `path` (a split mail joined on the disk) into
// the history's Maildir under a new name, to be flushed by the caller's run.
// Its name, empty when it could not be kept (the file then stays).
QString keepOriginalFile(History which, const QString &path);
// Records that the record with `key` has the mail `name` as its original.
bool linkOriginal(History which, const QByteArray &key, const QString &name);
// The record that had `oldKey` and the mail `oldName` has `key` and the mail
// `name` now (a mail fetched again into its record): the link changes in
// its place.
bool relinkOriginal(History which, const QByteArray &oldKey, const QString &oldName,
                    const QByteArray &key, const QString &name);
// Every mail kept and every link made since the last flush, on the disk.
// False with a sentence for the user when that cannot be confirmed.
bool flushOriginals(QString *failure = nullptr);

// `sent`, the mail the last successful send handed to the server, kept in .Sent and
// linked to its sent-history record when it has one (the reply window sends
// without). A copy that cannot be kept loses nothing the user had: the mail
// went out, and the record keeps its text. False when the copy could not be
// kept (the caller tells the user, see SentCopyFailureText).
bool keepSentOriginal(const QByteArray &sent, const MailRecord *record);
extern const QString SentCopyFailureText;

// One record of a history with its original.
struct RecordOriginal {
  int record = 0;   // 1-based record number
  QByteArray key;   // recordKey of the record
  QString path;     // the mail's file, empty when the record has none
};
// Every record of the history in file order, each with its original.
QList<RecordOriginal> recordOriginals(History which);
// The file of record n's original, empty when it has none.
QString originalPath(History which, int record);
// Finds the originals of records by their bytes, the links read once: for
// looking up some records of a history without hashing all of them.
class OriginalFinder {
public:
  explicit OriginalFinder(History which);
  // The file of the original of the record with these bytes (as they lie
  // in the file), empty when it has none.
  QString pathFor(const QByteArray &recordBytes) const;

private:
  mail::Maildir folder_;
  QHash<QByteArray, QStringList> names_;
};
// The whole text of a record as a person reads it: its original at
// `originalPath` decoded (every character, HTML read as text, attachments
// listed; no more than `maxBytes` of the mail read when that is not -1) when
// it has one, else the record's Body.
QString recordText(const MailRecord &record, const QString &originalPath, qint64 maxBytes = -1);
// The same of record n, with the original it has. Nothing when the history
// has no record n.
std::optional<QString> recordText(History which, int record);

// After a delete's rewrite succeeded: removes the original of the record that
// was number `record` and had `bytes`. Of records with the same bytes, each
// has its own original (the first such record the first linked mail, and so
// on), and only the deleted record's goes.
void dropOriginals(History which, int record, const QByteArray &bytes);
// Removes the link of `key` to the mail `name` (whose record never came).
bool unlinkOriginal(History which, const QByteArray &key, const QString &name);
// The number of the last record with each of `keys`, for those the history
// holds; read from its end, stopping once every key is found.
QHash<QByteArray, int> findRecords(History which, const QSet<QByteArray> &keys);
// After every record of the history was deleted.
void dropAllOriginals(History which);
// After a delete that a crash cut short was finished from its work file:
// the deleted records are no longer known, so every original whose record is
// gone goes (as many stay per key as records with it remain). Not while a
// receive runs (the caller makes sure), whose newest link comes just before
// its record.
void dropOrphanedOriginals(History which);

} // namespace mail
