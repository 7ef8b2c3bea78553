#include "mail/receive.h"

#include "mail/receivesteps.h"

#include "mail/certpins.h"
#include "mail/net/nmail.h"
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

const QString NoServerText =
    QStringLiteral("POP3サーバーが設定されていないため、メールを受信できません。"
                   "「設定」の「サーバー設定」でPOP3サーバーを入力して下さい。");

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

const QString CheckFailedText = QStringLiteral("チェックに失敗しました。");

// Why a scheduled check could not connect or log in, as it was told, and in
// which minute. The next passes of that minute (every four seconds) meet the
// same cause: it is told once, unless a check got past its login or the
// user clicked meanwhile; the next registered time tells it again.
QString toldFailure;
qint64 toldMinute = -1;

void tellFailure(ReceiveHost &host, const QString &text) {
  const qint64 minute = platform::utcNow().toSecsSinceEpoch() / 60;
  if (host.unattended() && text == toldFailure && minute == toldMinute)
    return;
  toldFailure = host.unattended() ? text : QString();
  toldMinute = minute;
  tell(host, text, QStringLiteral("エラー"), platform::MsgIcon::None);
}

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
        if (count >= 0)
          toldFailure.clear();
        if (count >= 0 && (count > 0 || QFile::exists(UidlJournal::path()))) {
          journal.emplace(settings::Pop3Server, id);
          run.emplace(*journal);
        }
        if (count > 0) {
          outcome = receiveMessages(
              host, handle, count, *journal, *run, [] { return stopRequest != StopRequest::None; },
              &listed);
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
            tellFailure(host, nmail::lastErrorText());
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
      tellFailure(host, reason);
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
