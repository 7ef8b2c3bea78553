#include "mail/receive.h"

#include "mail/certpins.h"
#include "mail/net/nmail.h"
#include "mail/refetch.h"
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/store/receiverun.h"
#include "mail/store/searchindex.h"
#include "mail/store/uidljournal.h"
#include "mail/tyakuform.h"
#include "mail/unpack.h"
#include "platform/core/ansi.h"
#include "platform/core/clock.h"
#include "platform/core/notify.h"
#include "platform/core/paths.h"
#include "platform/core/wait.h"
#include "platform/messagebox.h"
#include "settings/config.h"
#include "settings/idpassform.h"
#include "settings/servercopies.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSet>
#include <QTextEdit>

#include <algorithm>
#include <optional>

namespace mail {

namespace {

bool running = false;

// What the user asked of the receive in progress.
enum class StopRequest { None, Stop, Abandon };
StopRequest stopRequest = StopRequest::None;

const QString AttachmentKeptText = QStringLiteral(
    "添付ファイルを添付フォルダに書き込めなかったので、このメールとまだ受信していないメールは"
    "サーバーに残してあります。添付フォルダを確認してから、もう一度受信して下さい。");

const QString NoServerText =
    QStringLiteral("POP3サーバーが設定されていないため、メールを受信できません。"
                   "「設定」の「サーバー設定」でPOP3サーバーを入力して下さい。");

// The size the server reports only limits the body text, which receives
// the mail's text parts (as the Windows program's buffer of that size did);
// the text takes the memory it needs, not that of the mail. A size no real
// mail has (a broken or hostile server claiming gigabytes) lifts no limit;
// the text of any real mail fits well within this.
constexpr int MaxBodyBuffer = 32 * 1024 * 1024;

qsizetype bodyLengthFor(int size) {
  return std::clamp(size, 0, MaxBodyBuffer) + 1;
}

struct RunGuard {
  RunGuard() {
    running = true;
    stopRequest = StopRequest::None;
    nmail::setWaitsInterrupted(false);
  }
  ~RunGuard() {
    running = false;
    stopRequest = StopRequest::None;
    nmail::setWaitsInterrupted(false);
  }
};

// A box of the routine. When nobody watches the check (a scheduled one), it
// is shown without waiting, so that it never holds back the next check.
void tell(ReceiveHost &host, const QString &text, const QString &title, platform::MsgIcon icon) {
  std::optional<platform::UnattendedBoxes> unattended;
  if (host.unattended())
    unattended.emplace();
  platform::messageBox(host.hostWindow(), text, title, platform::MsgButtons::Ok, icon);
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

const QString CheckFailedText = QStringLiteral("チェックに失敗しました。");

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

struct RunOutcome {
  int stored = 0;
  int storedBefore = 0;         // stored by an earlier run, deleted on the server now
  bool stopped = false;         // a mail could not be stored; the rest stay on the server
  bool cancelled = false;       // the user stopped the run; the rest stay on the server
  int unread = 0;               // mails whose fetch failed; left on the server
  QString unreadReason;         // the transport's text for the last of them
  QStringList subjects;         // of the stored mails, for the desktop notification
  int overBudget = 0;           // stored with what was read of them within their budget
  QHash<int, QString> deleting; // number → id of each mail whose deletion was asked for
  int leftOnServer = 0;         // stored before and kept there as the user asked
  int beyondListing = 0;        // sent far past their listed size, left on the server
  QString beyondReason;
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
           const settings::ServerCopies &copies)
      : host_(host), handle_(handle), count_(count), journal_(journal), run_(run), listing_(handle),
        copies_(copies), nextRecord_(historyCount(History::Received) + 1),
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
      if (stopRequest != StopRequest::None) {
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

// The mails left on the server that the user should hear of. The mail under
// way when the user stopped is no failure to tell.
void tellUnread(ReceiveHost &host, const RunOutcome &outcome) {
  if (outcome.unread > 0 && !outcome.stopped && stopRequest == StopRequest::None)
    tell(host,
         QStringLiteral("%1件のメールを受信できませんでした。"
                        "サーバーに残してあるので、次のチェックで受信します。")
                 .arg(outcome.unread) +
             (outcome.unreadReason.isEmpty() ? QString()
                                             : QStringLiteral("\n\n") + outcome.unreadReason),
         {}, platform::MsgIcon::Exclamation);
  if (outcome.beyondListing > 0 && stopRequest == StopRequest::None)
    tell(
        host,
        QStringLiteral(
            "%1件のメールは、サーバーが知らせた大きさをはるかに超えて送られてきたため、受信せずにサーバーに残してあります。次のチェックからも受信しません。")
                .arg(outcome.beyondListing) +
            (outcome.beyondReason.isEmpty() ? QString()
                                            : QStringLiteral("\n\n") + outcome.beyondReason),
        {}, platform::MsgIcon::Exclamation);
}

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

bool receiveRunning() {
  return running;
}

void stopReceive() {
  if (running && stopRequest == StopRequest::None) {
    stopRequest = StopRequest::Stop;
    nmail::stopReceiving(); // the mail under way ends now, not once it has come whole
  }
}

void abandonReceive() {
  if (!running)
    return;
  stopRequest = StopRequest::Abandon;
  nmail::setWaitsInterrupted(true);
}

void ReceiveMail(ReceiveHost &host) {
  if (running)
    return;
  RunGuard guard;
  const platform::SettledFolders settledFolders;
  // A receive or a send killed while writing a mail leaves its part in tmp/.
  for (History which : {History::Received, History::Sent})
    originalsFolder(which).removeStaleIncoming();

  int count = 0;
  QStringList storedSubjects;
  bool cancelled = false;
  // Nothing was checked, or nothing could be kept: the status line must not
  // read as if the server had been found empty.
  bool checkFailed = false;
  bool commitFailed = false;
  bool newMail = false; // a mail was stored and committed
  int overBudget = 0;
  if (settings::Pop3Server.isEmpty()) {
    checkFailed = true;
    tell(host, NoServerText, QStringLiteral("エラー"), platform::MsgIcon::None);
  } else {
    int handle = nmail::NMailPop3Connect(settings::Pop3Server);
    host.setHelpText(QStringLiteral("メールのチェックをしています。"));
    bool declined = false;
    bool askLater = false;
    // A certificate no authority vouches for (a self-signed one), or a
    // server without encryption: the user decides, and a yes is kept for
    // this server from now on. One question may lead to the other.
    for (int question = 0; handle == -1 && question < 2 && !declined && !askLater &&
                           stopRequest != StopRequest::Abandon;
         ++question) {
      const TrustQuestion pending = pendingTrustQuestion();
      if (pending == TrustQuestion::None)
        break;
      if (host.unattended())
        askLater = true;
      else if (askTrustQuestion(host.hostWindow(), pending))
        handle = nmail::NMailPop3Connect(settings::Pop3Server);
      else
        declined = true;
    }
    if (handle != -1) {
      const settings::Account inUse = settings::accountInUse();
      const QString id = inUse.id;
      const QString password = inUse.password;
      settings::AccountId = id;
      settings::AccountPassword = password;
      IdPassForm *account = forms::idPassForm().get();
      account->IdText->setText(id);
      account->PassText->setText(password);

      std::optional<UidlJournal> journal;
      std::optional<ReceiveRun> run;
      std::optional<QSet<QString>> listed;
      RunOutcome outcome;
      if (id.isEmpty() || (password.isEmpty() && !inUse.signsInWithToken)) {
        forms::idPassForm().show();
        checkFailed = true;
      } else {
        // A viewer on screen keeps the history it lists; a hidden one is
        // this run's staging area.
        TyakuForm *viewer = forms::tyakuForm().get();
        if (!viewer->isVisible())
          viewer->clearRows();
        count = nmail::NMailPop3Authenticate(handle, id, password, settings::UseApop != 0 ? -1 : 0);
        if (count >= 0 && (count > 0 || QFile::exists(UidlJournal::path()))) {
          journal.emplace(settings::Pop3Server, id);
          run.emplace(*journal);
        }
        if (count > 0) {
          const settings::ServerCopies copies = settings::serverCopies();
          RunSteps steps(host, handle, count, *journal, *run, copies);
          if (copies.keep && !steps.hasIds())
            tellCopiesNotKept(host);
          outcome = steps.run();
          listed = steps.listedIds();
          if (outcome.storedBefore > 0)
            run->noteWritten();
          storedSubjects = outcome.subjects;
          cancelled = outcome.cancelled;
          overBudget = outcome.overBudget;
          newMail = outcome.stored > 0;
          checkFailed = outcome.stored == 0 && (outcome.stopped || outcome.unread > 0);
          tellUnread(host, outcome);
        } else if (count == 0) {
          listed.emplace(); // an empty maildrop: no mail of an entry is left there
        } else {
          checkFailed = true;
          if (stopRequest != StopRequest::Abandon)
            tell(host, nmail::lastErrorText(), QStringLiteral("エラー"), platform::MsgIcon::None);
        }
      }
      // The server deletes at QUIT: the run commits first, so the records of
      // this run, the mails kept whole, their journal entries and every file
      // it unpacked are on the disk before the connection is closed. When
      // that can't be confirmed, the session ends without QUIT and the run's
      // journal entries stay uncommitted: every mail stays on the server and
      // the next check fetches them again into what they became.
      // Syncing a thousand files takes a while: it runs aside, and the window
      // goes on meanwhile (nothing else writes these files during a receive).
      QString unsynced;
      if (run && run->wroteAny())
        platform::runAndWait([&] { unsynced = run->commit(); });
      if (stopRequest == StopRequest::Abandon) {
        // The window is closing in the middle of the run: what was stored is
        // on the disk, and the session ends without QUIT, so the server
        // deletes nothing; the next check deletes the stored mails there
        // through the journal instead of storing them again.
        nmail::NMailPop3Abandon(handle);
        return;
      }
      if (!unsynced.isEmpty()) {
        nmail::NMailPop3Abandon(handle);
        checkFailed = commitFailed = true;
        newMail = false;
        tell(host, unsynced + QStringLiteral("受信したメールはサーバーに残してあります。"), {},
             platform::MsgIcon::Exclamation);
      } else {
        // An entry leaves the journal once the server confirmed its mail's
        // deletion, or no longer lists the mail at all.
        QList<int> deletedNumbers;
        QSet<QString> deleted;
        if (nmail::NMailPop3Close(handle, &deletedNumbers) == 0)
          for (const int n : std::as_const(deletedNumbers))
            if (const QString uidl = outcome.deleting.value(n); !uidl.isEmpty())
              deleted.insert(uidl);
        if (journal)
          journal->settle(deleted, listed);
      }
    } else if (stopRequest == StopRequest::Abandon) {
      return;
    } else if (declined) {
      checkFailed = true;
    } else {
      checkFailed = true;
      // No connection (host not found, refused, a certificate refused): the
      // transport's reason, as for a refused login.
      QString reason = nmail::lastErrorText();
      const auto certificate = nmail::rejectedCertificate();
      const auto plaintext = nmail::plaintextLoginRefused();
      if (askLater)
        reason +=
            QStringLiteral("\n\n次に「受信」をクリックしたときに、続けるかどうかを確認します。");
      else if (certificate && certificate->changed)
        reason += QStringLiteral("\n\n") + changedCertificateAdvice();
      else if (plaintext && plaintext->downgrade)
        reason += QStringLiteral("\n\n") + lostEncryptionAdvice();
      tell(host, reason, QStringLiteral("エラー"), platform::MsgIcon::None);
    }
  }

  // Told once, where the result of a stopped check is told: the status line
  // keeps the three texts the check cycle goes by.
  if (overBudget > 0 && !commitFailed)
    host.setHelpText(
        QStringLiteral(
            "%1件のメールは読み終えるのに時間がかかりすぎたため、途中までを着信履歴に保存しました。メール全体はデータフォルダ「%2」の「Maildir」に残してあります。")
            .arg(overBudget)
            .arg(QFileInfo(platform::dataFolder()).fileName()));
  // 中止 ends the session without QUIT: what was stored goes from the server
  // at the next check, through the journal.
  if (cancelled)
    host.setHelpText(QStringLiteral(
        "受信を中止しました。受信したメールは次のチェックでサーバーから削除し、残りはサーバーに残してあります。"));
  // Only a run that stored a mail reports new mail: one whose every fetch
  // failed or that stopped before storing any says it failed, and one that
  // only deleted mails stored before found nothing new.
  if (checkFailed && !newMail) {
    host.setStatusText(CheckFailedText);
  } else if (!newMail) {
    host.setStatusText(QStringLiteral("新着メール無し。"));
  } else {
    host.setStatusText(QStringLiteral("新着メール有り。"));
    host.restoreWindow();
  }
  // The search index takes the new records after the run, on a worker.
  if (!storedSubjects.isEmpty())
    search::scheduleUpdate(History::Received);
  platform::notifyNewMail(commitFailed ? QStringList() : storedSubjects);
  if (host.hangUpMode())
    host.hangUp();
}

} // namespace mail
