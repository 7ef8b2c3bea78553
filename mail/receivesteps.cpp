#include "mail/receivesteps.h"

#include "mail/receive.h"

#include "mail/net/nmail.h"
#include "mail/refetch.h"
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/store/receiverun.h"
#include "mail/store/uidljournal.h"
#include "mail/tyakuform.h"
#include "mail/unpack.h"
#include "platform/core/ansi.h"
#include "platform/core/clock.h"
#include "platform/core/paths.h"
#include "platform/messagebox.h"
#include "settings/config.h"
#include "settings/servercopies.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSet>

#include <algorithm>
#include <optional>

namespace mail {

namespace {

const QString AttachmentKeptText = QStringLiteral(
    "添付ファイルを添付フォルダに書き込めなかったので、このメールとまだ受信していないメールは"
    "サーバーに残してあります。添付フォルダを確認してから、もう一度受信して下さい。");

// The size the server reports only limits the body text, which receives
// the mail's text parts (as the Windows program's buffer of that size did);
// the text takes the memory it needs, not that of the mail. A size no real
// mail has (a broken or hostile server claiming gigabytes) lifts no limit;
// the text of any real mail fits well within this.
constexpr int MaxBodyBuffer = 32 * 1024 * 1024;

qsizetype bodyLengthFor(int size) {
  return std::clamp(size, 0, MaxBodyBuffer) + 1;
}

// The record the viewer's boxes hold for the mail, as the history stores it.
MailRecord recordOf(const MailRecord &staged) {
  MailRecord record;
  record.Subject = platform::trimBlanks(staged.Subject);
  record.Info1 = platform::trimBlanks(staged.Info1);
  record.Info2 = platform::trimBlanks(staged.Info2);
  record.Body = platform::trimBlanks(staged.Body);
  record.Flag = 1;
  return record;
}

// StoreReceivedMail: the record appended to the received history, linked to
// the mail's copy in the Maildir just before. The values are taken when they
// are put into the boxes: the network waits in between let the user work in
// the viewer. Not synced here: the run commits once before the connection is
// closed, which is when the server carries out the deletions.
AppendResult StoreReceivedMail(const MailRecord &record, const QByteArray &encoded,
                               const QByteArray &key, const QString &original) {
  // A link whose record never comes (killed in between) matches no record
  // and is never shown.
  if (!linkOriginal(History::Received, key, original))
    return AppendResult{0, AppendError::WriteFailed};
  return appendEncodedHistoryRecord(History::Received, record, encoded);
}

const QString ServerKeptText =
    QStringLiteral("\nこのメールとまだ受信していないメールはサーバーに残してあります。");

// Puts a stored mail into the viewer. A hidden viewer is the run's staging
// area (its rows are the mails of this run, its boxes show the last one); a
// viewer on screen keeps the history it lists whole and what the user reads,
// and gains the row of the new record when it lists the received history.
// Returns whether the mail belongs in the staging viewer's boxes, which
// showLastStored fills once at the end of the run: laying out every mail's
// body in a hidden box only to replace it cost more than storing the mail.
bool listStored(const MailRecord &staged, int record) {
  TyakuForm *viewer = forms::tyakuForm().get();
  if (viewer->isVisible()) {
    if (HistoryMode == HistoryModeReceived)
      viewer->addHistoryRow(History::Received, record, staged);
    return false;
  }
  const QString spaces(10, u' ');
  viewer->addRow(QStringLiteral("  ") + staged.Subject + spaces + staged.Info2 + spaces +
                     staged.Info1,
                 RowSource{History::Received, record});
  return true;
}

void showLastStored(const MailRecord &staged) {
  TyakuForm *viewer = forms::tyakuForm().get();
  if (viewer->isVisible())
    return;
  viewer->Text9->setText(staged.Subject);
  viewer->Text7->setText(staged.Info2);
  viewer->Text8->setText(staged.Info1);
  viewer->setBodyText(staged.Body);
}

QString storeFailureText(AppendError error) {
  return appendErrorText(History::Received, error) + ServerKeptText;
}

QString keepFailureText() {
  if (!platform::dataFolderExists())
    return storeFailureText(AppendError::NoDataFolder);
  return QStringLiteral(
             "メールを「★MAilData/"
             "Maildir」に書き込めません（ディスクの空きや書き込み権限を確認して下さい）。") +
         ServerKeptText;
}

// The size and the server's unique id of every mail, by number, from one
// call, and how often each id occurs in the listing. RFC 1939 asks for
// unique ids, but not every server keeps to it.
struct Listing {
  QList<int> sizes;
  QStringList ids;
  QHash<QString, int> occurrences;

  Listing(int handle) {
    if (nmail::NMailPop3GetListing(handle, sizes, ids) < 0)
      return; // each size is then asked for on its own, and meets the failure
    for (const QString &id : ids)
      if (!id.isEmpty())
        ++occurrences[id];
  }
  int size(int handle, int n) const {
    return n <= sizes.size() ? sizes[n - 1] : nmail::NMailPop3GetMailSize(handle, n);
  }
  // The id to go by: none for a mail without one or with one listed twice.
  QString uidl(int n) const {
    const QString id = ids.value(n - 1);
    return !id.isEmpty() && occurrences.value(id) == 1 ? id : QString();
  }
};

// One mail as the transport gave it, cut at its NULs.
struct FetchedMail {
  QString incoming; // its file in the Maildir's tmp/
  QString subject, date, from, header, body;
  qint64 size = 0; // as it came
};

// The steps of one run over the maildrop: for each mail, delete it when an
// earlier run stored it, else fetch it, unpack it, store it, and hand its
// deletion over.
class RunSteps {
public:
  RunSteps(ReceiveHost &host, int handle, int count, UidlJournal &journal, ReceiveRun &run,
           const settings::ServerCopies &copies, const std::function<bool()> &stopRequested)
      : host_(host), handle_(handle), count_(count), journal_(journal), run_(run), listing_(handle),
        copies_(copies), stopRequested_(stopRequested),
        nextRecord_(historyCount(History::Received) + 1),
        home_(QFileInfo(platform::attachmentFolder()).canonicalFilePath()) {
    run_.startsAt(nextRecord_ - 1);
  }

  RunOutcome run() {
    const UnpackRun unpackRun;
    // The transport fetches ahead only what this run will ask for.
    QList<int> skipped;
    for (int n = 1; n <= count_; ++n)
      if (whatToDo(n) != Do::Fetch)
        skipped.append(n);
    if (!skipped.isEmpty())
      nmail::NMailPop3SkipMails(handle_, skipped);
    for (int n = 1; n <= count_; ++n) {
      if (stopRequested_()) {
        outcome_.cancelled = true;
        break;
      }
      showProgress(n);
      const QString uidl = listing_.uidl(n);
      const int size = listing_.size(handle_, n);
      const Do what = whatToDo(n);
      if (what == Do::Leave) {
        ++outcome_.leftOnServer;
        continue;
      }
      if (what == Do::Delete) {
        // A mail stored before is deleted on the server, not stored a second
        // time: one a check that ended before its QUIT stored, or one kept
        // there whose time has come.
        if (nmail::NMailPop3DeleteStoredMail(handle_, n, uidl) == 0) {
          ++outcome_.storedBefore;
          outcome_.deleting.insert(n, uidl);
        }
        continue;
      }
      FetchedMail mail;
      const Step fetched = fetch(n, uidl, size, mail);
      if (fetched == Step::Next)
        continue;
      if (fetched == Step::Stop || store(uidl, size, mail) == Step::Stop)
        break;
      if (keepsCopy(uidl))
        continue;
      // Stored: its DELE is queued without a wait (the server deletes at QUIT).
      nmail::NMailPop3DeleteMailLater(handle_, n);
      outcome_.deleting.insert(n, uidl);
    }
    if (lastStaged_)
      showLastStored(*lastStaged_);
    return outcome_;
  }

  // Whether the server gave its mails ids (UIDL).
  bool hasIds() const {
    return std::any_of(listing_.ids.cbegin(), listing_.ids.cend(),
                       [](const QString &id) { return !id.isEmpty(); });
  }

  // Every id the server listed, when it listed one for each mail.
  std::optional<QSet<QString>> listedIds() const {
    if (listing_.ids.size() != count_ || listing_.ids.contains(QString()))
      return std::nullopt;
    return QSet<QString>(listing_.ids.cbegin(), listing_.ids.cend());
  }

private:
  enum class Step { Done, Next, Stop };
  enum class Do { Fetch, Delete, Leave };

  // What the run does with mail n. Without an id (a server without UIDL, an
  // id listed twice) every mail is new, and deleted once stored.
  Do whatToDo(int n) const {
    const QString uidl = listing_.uidl(n);
    if (uidl.isEmpty())
      return Do::Fetch;
    const int size = listing_.size(handle_, n);
    if (const auto kept = journal_.keptCopy(uidl, size)) {
      const qint64 age = platform::utcNow().toMSecsSinceEpoch() - kept->storedAt;
      const bool due = !copies_.keep || (kept->deletedHere && copies_.deleteWithRecord) ||
                       (copies_.deleteAfterDays > 0 &&
                        age >= qint64(copies_.deleteAfterDays) * 24 * 60 * 60 * 1000);
      return due ? Do::Delete : Do::Leave;
    }
    if (journal_.beyondListing(uidl, size))
      return Do::Leave;
    return journal_.storedBefore(uidl, size) ? Do::Delete : Do::Fetch;
  }

  // Whether a mail stored now stays on the server: only one the server
  // gives an id that no other mail has, by which later checks know it.
  bool keepsCopy(const QString &uidl) const { return copies_.keep && !uidl.isEmpty(); }

  Step stop(const QString &text, platform::MsgIcon icon) {
    outcome_.stopped = true;
    tell(host_, text, {}, icon);
    return Step::Stop;
  }

  void showProgress(int n) {
    // Every step of a short run is shown; a long one moves at the screen's
    // pace (laying the line out again for each of a thousand mails cost
    // more than storing some of them).
    if (count_ <= 100 || n == 1 || n == count_ || !statusShown_.isValid() ||
        statusShown_.elapsed() >= 16) {
      host_.setStatusText(QStringLiteral("受信中 %1/%2").arg(n).arg(count_));
      statusShown_.start();
    }
  }

  // The subject, date, sender and header come with the mail itself (the
  // Windows program asked for them first; that was a second round trip).
  // The mail goes, as it arrives, into the Maildir's tmp/ and is read from
  // there: a large one is never held whole in memory. The next mail's file
  // is named now: the transport fetches it into that file while this one is
  // stored (one stored before is only deleted).
  Step fetch(int n, const QString &uidl, int size, FetchedMail &mail) {
    mail.incoming = namedNumber_ == n ? namedIncoming_ : newOriginalName(size);
    const QString incomingPath = incomingOriginalPath(mail.incoming);
    if (incomingPath.isEmpty())
      return stop(keepFailureText(), platform::MsgIcon::Critical);
    nmail::NMailPop3SetMailFile(handle_, n, incomingPath);
    namedNumber_ = 0;
    if (const int next = n + 1; next <= count_) {
      const int nextSize = listing_.size(handle_, next);
      if (nextSize >= 0 && whatToDo(next) == Do::Fetch) {
        namedIncoming_ = newOriginalName(nextSize);
        const QString path = incomingOriginalPath(namedIncoming_);
        if (!path.isEmpty() && nmail::NMailPop3SetMailFile(handle_, next, path) == 0)
          namedNumber_ = next;
      }
    }
    const int got = nmail::NMailPop3GetMailText(handle_, n, subject_, date_, from_, header_, body_,
                                                bodyLengthFor(size));
    if (got == nmail::NMailMailFileError)
      return stop(keepFailureText(), platform::MsgIcon::Critical);
    if (got == nmail::NMailMailBeyondListing) {
      // Fetched again it would meet the same: left on the server, and
      // passed by from now on.
      originalsFolder(History::Received).remove(mail.incoming);
      if (!uidl.isEmpty())
        journal_.addBeyondListing(uidl, size);
      ++outcome_.beyondListing;
      outcome_.beyondReason = nmail::lastErrorText();
      return Step::Next;
    }
    mail.body = nmail::cutAtNul(body_);
    mail.header = nmail::cutAtNul(header_);
    // A mail we could not read is left on the server for the next check.
    // A mail whose body is really empty still brings its header along.
    if (size < 0 || got < 0 || (size > 0 && mail.body.isEmpty() && mail.header.isEmpty())) {
      originalsFolder(History::Received).remove(mail.incoming);
      ++outcome_.unread;
      if (size < 0 || got < 0)
        outcome_.unreadReason = nmail::lastErrorText();
      return Step::Next;
    }
    mail.size = nmail::NMailPop3GetMailFetchedSize(handle_, n);
    mail.subject = nmail::cutAtNul(subject_);
    mail.date = nmail::cutAtNul(date_);
    mail.from = nmail::cutAtNul(from_);
    return Step::Done;
  }

  // Unpacks the mail and stores it: its journal entry, its copy moved whole
  // into the Maildir's new/ (under a name with its true size, should the
  // server have announced another), and its record, in that order. Killed
  // before the entry, only a file in tmp/ is left; killed before the record,
  // the entry counts for nothing, the copy is removed and the mail is stored
  // at the next check. A mail an earlier run stored but could not confirm on
  // the disk goes back into the record and the files it became then.
  Step store(const QString &uidl, int size, const FetchedMail &mail) {
    const qint64 listedSize = size;
    const std::optional<KnownMail> known =
        uidl.isEmpty() ? std::nullopt : journal_.knownMail(uidl, listedSize);
    const bool interrupted = !uidl.isEmpty() && journal_.interrupted(uidl, listedSize);
    if (!uidl.isEmpty())
      journal_.unpacking(uidl, listedSize);
    int unpacked = 0;
    {
      std::optional<platform::UnattendedBoxes> unattended;
      if (host_.unattended())
        unattended.emplace();
      unpacked =
          unpackMail(UnpackInput{mail.subject, mail.date, mail.from, mail.header, body_, mail.body},
                     host_.hostWindow());
    }
    const bool overBudget = nmail::NMailLastMailOverBudget();
    QList<platform::PendingFile> written = run_.takeWrittenFiles();
    const QStringList attachments =
        attachmentsOfMail(written, home_, known ? known->attachments : QStringList(), interrupted);
    run_.addWrittenFiles(written);
    if (unpacked == nmail::NMailAttachmentOpenError) {
      // The attachment never reached the folder, and the server copy is the
      // only one left: keep it (and every later mail) there for the next
      // check, which writes its files again.
      originalsFolder(History::Received).remove(mail.incoming);
      if (!(known && known->record > 0))
        dropAttachments(home_, attachments);
      return stop(AttachmentKeptText, platform::MsgIcon::Exclamation);
    }
    // A split mail whose last part came: the joined mail is kept as a mail
    // of its own. Its content is in the attachment folder and its parts in
    // the Maildir already, so a failure here loses nothing. It comes as a
    // file, never whole in memory.
    QString joined;
    const bool joinedSet = nmail::NMailAttachmentTakeJoinedMailFile(joined) == 0;
    joinedSet_ = joinedSet;
    if (joinedSet) {
      if (const QString name = keepOriginalFile(History::Received, joined); !name.isEmpty())
        run_.addMail(name);
      else
        QFile::remove(joined);
    }

    // The record as the viewer's boxes show it: subject, sender, date and the
    // body as the body box gives it back.
    MailRecord staged;
    staged.Subject = mail.subject;
    staged.Info1 = mail.from;
    staged.Info2 = mail.date;
    staged.Body = TyakuForm::bodyTextAsShown(mail.body);
    if (mail.body.contains(QStringLiteral("attachment"), Qt::CaseSensitive))
      staged.Body =
          TyakuForm::bodyTextAsShown(staged.Body + QStringLiteral("\r\n") + AttachmentNotice);
    const MailRecord record = recordOf(staged);
    const QByteArray encoded = encodeMailRecord(record);
    const QByteArray key = recordKey(encoded);
    const QString original = mail.size == listedSize ? mail.incoming : newOriginalName(mail.size);
    const AppendResult stored =
        known && known->record > 0
            ? storeAgain(*known, uidl, listedSize, mail, original, record, encoded, key,
                         attachments)
            : storeNew(uidl, listedSize, mail, original, record, encoded, key, attachments);
    if (!stored.ok()) {
      originalsFolder(History::Received).remove(mail.incoming);
      run_.dropMail(original);
      if (!uidl.isEmpty())
        run_.withdrawEntry(uidl, listedSize);
      // Its files come again with the mail (a joined set's never would).
      if (!(known && known->record > 0) && !joinedSet)
        dropAttachments(home_, attachments);
      return stop(stored.error == AppendError::None ? keepFailureText()
                                                    : storeFailureText(stored.error),
                  platform::MsgIcon::Critical);
    }
    run_.noteWritten();
    nextRecord_ = std::max(nextRecord_, stored.number + 1);
    if (listStored(staged, stored.number))
      lastStaged_ = staged;
    ++outcome_.stored;
    outcome_.overBudget += overBudget ? 1 : 0;
    outcome_.subjects.append(mail.subject);
    return Step::Done;
  }

  // Moves the fetched mail into new/ under `original`.
  bool keep(const FetchedMail &mail, const QString &original) {
    if (mail.size <= 0 || !keepIncomingOriginal(mail.incoming, original))
      return false;
    run_.addMail(original);
    return true;
  }

  // A failure to keep the mail itself has no AppendError (None).
  AppendResult storeNew(const QString &uidl, qint64 listedSize, const FetchedMail &mail,
                        const QString &original, const MailRecord &record,
                        const QByteArray &encoded, const QByteArray &key,
                        const QStringList &attachments) {
    if (!uidl.isEmpty() &&
        !run_.addEntry(nextRecord_, uidl, listedSize, original, key, attachments, keepsCopy(uidl)))
      return AppendResult{0, AppendError::WriteFailed};
    if (!keep(mail, original))
      return AppendResult{0, AppendError::None};
    const AppendResult stored = StoreReceivedMail(record, encoded, key, original);
    if (stored.ok()) {
      QStringList files;
      if (!joinedSet_)
        for (const QString &a : attachments)
          files.append(home_ + u'/' + a);
      run_.storedNew(original, files);
    }
    return stored;
  }

  // The mail goes into the record its entry names, whatever it reads like
  // now; its copy from then gives way to the one just fetched.
  AppendResult storeAgain(const KnownMail &known, const QString &uidl, qint64 listedSize,
                          const FetchedMail &mail, const QString &original,
                          const MailRecord &record, const QByteArray &encoded,
                          const QByteArray &key, const QStringList &attachments) {
    if (!run_.addEntry(known.record, uidl, listedSize, original, key, attachments, keepsCopy(uidl)))
      return AppendResult{0, AppendError::WriteFailed};
    if (!keep(mail, original))
      return AppendResult{0, AppendError::None};
    if (const auto bytes = readHistoryRecordBytes(History::Received, known.record))
      run_.replaces(known.record, *bytes);
    if (!relinkOriginal(History::Received, known.key, known.original, key, original) ||
        !replaceHistoryRecord(History::Received, known.record, record, encoded))
      return AppendResult{0, AppendError::WriteFailed};
    if (known.original != original)
      originalsFolder(History::Received).remove(known.original);
    return AppendResult{known.record, AppendError::None};
  }

  ReceiveHost &host_;
  const int handle_;
  const int count_;
  UidlJournal &journal_;
  ReceiveRun &run_;
  const Listing listing_;
  const settings::ServerCopies copies_;
  const std::function<bool()> stopRequested_;
  RunOutcome outcome_;
  // Reused for every mail without being cleared, as the transport expects.
  QString subject_ = nmail::newTextBuffer();
  QString date_ = nmail::newTextBuffer();
  QString from_ = nmail::newTextBuffer();
  QString header_ = nmail::newTextBuffer();
  QString body_;
  std::optional<MailRecord> lastStaged_; // for the staging viewer's boxes
  // The Maildir name chosen for the next mail while this one was fetched.
  int namedNumber_ = 0;
  QString namedIncoming_;
  // The number the next record gets: only this run appends to the history
  // while it goes (a delete in the viewer is refused meanwhile).
  int nextRecord_;
  const QString home_;        // the attachment folder
  bool joinedSet_ = false;    // the mail in hand completed a split set
  QElapsedTimer statusShown_; // when "受信中" last changed
};

// Copies are kept on the server by their ids; a server without UIDL gives
// none, and its mails are deleted as before. Told once a program run.
void tellCopiesNotKept(ReceiveHost &host) {
  static QSet<QString> told;
  if (told.contains(settings::Pop3Server))
    return;
  told.insert(settings::Pop3Server);
  tell(
      host,
      QStringLiteral(
          "POP3サーバーがメールの識別子（UIDL）に対応していないため、メールをサーバーに残せません。受信したメールはこれまでどおりサーバーから削除します。"),
      {}, platform::MsgIcon::Exclamation);
}

} // namespace

void tell(ReceiveHost &host, const QString &text, const QString &title, platform::MsgIcon icon) {
  std::optional<platform::UnattendedBoxes> unattended;
  if (host.unattended())
    unattended.emplace();
  platform::messageBox(host.hostWindow(), text, title, platform::MsgButtons::Ok, icon);
}

RunOutcome receiveMessages(ReceiveHost &host, int handle, int count, UidlJournal &journal,
                           ReceiveRun &run, const std::function<bool()> &stopRequested,
                           std::optional<QSet<QString>> *listed) {
  const settings::ServerCopies copies = settings::serverCopies();
  RunSteps steps(host, handle, count, journal, run, copies, stopRequested);
  if (copies.keep && !steps.hasIds())
    tellCopiesNotKept(host);
  RunOutcome outcome = steps.run();
  *listed = steps.listedIds();
  return outcome;
}

} // namespace mail
