// The two mail histories: fixed-record files of MailRecord, the program-wide
// record buffers and the viewer's HistoryMode.
//
// Every operation opens the file, works and closes it. An interrupted rewrite
// is finished (from its .TMP work file) before any other access, so a history
// never loses its live records to a crash in the middle of a delete.
#pragma once

#include "mail/store/mailrecord.h"

#include <QList>
#include <QString>
#include <functional>
#include <optional>

namespace mail {

// 0 before the viewer was opened, 1 received history shown, 2 sent history.
extern qint16 HistoryMode;
inline constexpr qint16 HistoryModeNone = 0, HistoryModeReceived = 1, HistoryModeSent = 2;

// The record each history's procedures last read or wrote. The reply window
// pastes the received buffer's Body.
extern MailRecord ReceivedRecord;
extern MailRecord SentRecord;
MailRecord &recordBuffer(History which);

// Finishes a rewrite that was cut short. True when nothing was pending or the
// records were recovered.
bool recoverHistory(History which);

// What the last recoveries of a history came to, kept until the user has
// been told. Every access recovers quietly; the windows the user looks at
// (the main window at start, the viewer) take the notice and say it.
enum class RecoveryNotice {
  None,
  Recovered, // a cut-short rewrite was finished from its work file
  Failed,    // the work file is there but could not be brought back
};
RecoveryNotice takeRecoveryNotice(History which);
// The sentence for the user, empty for None.
QString recoveryNoticeText(History which, RecoveryNotice notice);

// Whole records in the file; a partial tail does not count.
int historyCount(History which);
// Every whole record in file order (Flag not looked at).
QList<MailRecord> readHistory(History which);
// Record n (1-based), or nothing when it does not lie whole in the file. A
// record read goes into the history's record buffer.
std::optional<MailRecord> readHistoryRecord(History which, int n);

// Record n's bytes as they lie in the file, or nothing when it does not lie
// whole in the file.
std::optional<QByteArray> readHistoryRecordBytes(History which, int n);
// The bytes in front of the body (Subject, Info1, Info2) of every whole
// record as they lie in the file, BodyOffset bytes a record.
QByteArray readHistoryHeadBytes(History which);

// The three short fields of every record, for the viewer's rows, read with
// one pass over the file without reading the bodies; or of only the records
// numbered in `records` (a search's hits), in that order, leaving out any
// that does not lie whole in the file.
struct HistoryHeading {
  int record = 0; // 1-based
  QString Subject;
  QString Info1;
  QString Info2;
};
QList<HistoryHeading> readHistoryHeadings(History which, const QList<int> *records = nullptr);
// The Subject (trimmed) of the whole records from record `first` (1-based)
// on, at most `most` of them, for the main window's tree. Reads only those
// 100 bytes of each record: a full history is some 400 MB, of which all its
// subjects are about 3 MB.
QList<QString> readHistorySubjects(History which, int first = 1,
                                   int most = MailLayout::MaxRecords);

// The subjects of a history as its file held them when this was made, read
// when asked for: the main window's tree shows the start's histories for the
// whole run without reading 32,766 subjects at start. It keeps that file
// open. Every change to the records already there replaces the file (a
// delete marks Flags, which lie after the subject, and then writes the live
// records to a new file renamed over it), and appends lie past count(), so
// the open file keeps what the start saw.
class HistorySubjects {
public:
  explicit HistorySubjects(History which);
  ~HistorySubjects();
  HistorySubjects(const HistorySubjects &) = delete;
  HistorySubjects &operator=(const HistorySubjects &) = delete;
  // Whole records at that moment, at most MaxRecords.
  int count() const { return count_; }
  // The trimmed Subjects of records `first` (1-based) on, at most `most`.
  QList<QString> read(int first, int most) const;

private:
  int fd_ = -1;
  int count_ = 0;
};

enum class AppendError {
  None,
  NoDataFolder, // the data folder is missing
  Full,         // the history already holds MaxRecords records
  WriteFailed,  // file can't be opened or the disk is full
};

struct AppendResult {
  int number = 0; // the new record's number, 0 on failure
  AppendError error = AppendError::None;
  bool ok() const { return number > 0; }
};

// Writes `record` at count + 1 with Flag 1 and CR LF; it becomes the record
// buffer of that history. With `sync` the data is on the disk before return.
AppendResult appendHistoryRecord(History which, const MailRecord &record, bool sync = false);
// The same for a record already encoded (encodeMailRecord, with Flag 1),
// when the caller needed its bytes first.
AppendResult appendEncodedHistoryRecord(History which, const MailRecord &record,
                                        const QByteArray &encoded, bool sync = false);
// Flushes the history file to the disk.
bool syncHistory(History which);
// A sentence for the user saying why an append failed.
QString appendErrorText(History which, AppendError error);

// Sets Flag 0 on record n, leaving its other bytes as they are (a record
// marked by an interrupted delete still shows its own mail).
bool markHistoryRecord(History which, int n);
// Writes record n again as it is, so that the next flush puts it on the
// disk even where an earlier failed flush left the cached copy marked clean.
bool rewriteHistoryRecord(History which, int n);
// Puts `record` (encoded as `encoded`, with Flag 1) in the place of record
// n: a mail fetched again goes back into the record it had.
bool replaceHistoryRecord(History which, int n, const MailRecord &record,
                          const QByteArray &encoded);
// Undoing a receive run whose journal entries did not reach the disk: record
// n gets back the bytes it had, and the records after the first `count` go.
bool putBackHistoryRecord(History which, int n, const QByteArray &bytes);
bool cutHistoryAfter(History which, int count);
// Sets Flag 0 on every record of the history, in one pass over the file.
bool markAllHistoryRecords(History which);
// Drops every record with Flag 0, keeping the order of the others.
bool rewriteHistory(History which);

} // namespace mail
