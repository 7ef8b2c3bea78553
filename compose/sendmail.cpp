#include "compose/sendmail.h"

#include "compose/fortune.h"
#include "mail/certpins.h"
#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/store/originals.h"
#include "mail/receive.h"
#include "mail/store/searchindex.h"
#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "settings/addressbook.h"
#include "settings/config.h"

namespace compose {
namespace {

std::function<QString()> &dateSource() {
  static std::function<QString()> source;
  return source;
}

// The Windows program kept the body's lines with CR LF; so does the history.
QString withCrLf(const QString &text) {
  QString out = text;
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  out.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return out;
}

void showSendError(QWidget *window) {
  QString text = nmail::lastErrorText();
  const auto plaintext = nmail::plaintextLoginRefused();
  if (plaintext && plaintext->downgrade)
    text += QStringLiteral("\n\n") + mail::lostEncryptionAdvice();
  platform::messageBox(window, text, QStringLiteral("送信エラー"));
}

// Drops record `number` of the sent history, the way the viewer's delete
// does: Flag 0, then the rewrite through the work file.
bool withdrawSentRecord(int number) {
  return mail::markHistoryRecord(mail::History::Sent, number) &&
         mail::rewriteHistory(mail::History::Sent);
}

} // namespace

namespace {
int sendsRunning = 0;
} // namespace

SendGuard::SendGuard() { ++sendsRunning; }
SendGuard::~SendGuard() { --sendsRunning; }
bool sendRunning() { return sendsRunning > 0; }

bool refuseWhileReceiving(QWidget *window) {
  if (!mail::receiveRunning())
    return false;
  platform::messageBox(window,
                       QStringLiteral("メールを受信中です。受信が終わってから、もう一度送信して下さい。"
                                      "入力した内容はそのまま残しています。"),
                       QString(), platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  return true;
}

void setSentDateSource(std::function<QString()> source) {
  dateSource() = std::move(source);
}

QString sentDateText() {
  return dateSource() ? dateSource()() : QString();
}

mail::MailRecord sentRecordOf(const Draft &draft, const QString &dateText) {
  mail::MailRecord record;
  record.Subject = platform::trimBlanks(draft.subject);
  record.Info1 = dateText;
  record.Info2 = platform::trimBlanks(draft.to);
  record.Body = withCrLf(platform::trimBlanks(draft.body));
  record.Flag = 1;
  return record;
}

SendOutcome sendDraft(QWidget *window, const Draft &draft, bool bulk, const QList<int> &bulkRecords,
                      const std::function<void()> &showProgress) {
  SendOutcome outcome;
  int copiesLost = 0; // mails sent whose copy could not be kept in the Maildir
  const SendGuard guard;
  bool declinedTrust = false; // asked once per click, not once per recipient
  const int passes = bulk ? int(bulkRecords.size()) : 1;
  for (int k = 0; k < passes; ++k) {
    ++outcome.passes;
    QString recipient = draft.to;
    if (bulk) {
      const auto entry = settings::readAddressBookRecord(bulkRecords[k]);
      // Nothing goes out, and nothing is recorded, for an entry that can't
      // be read: sending to a guessed address would be worse than not at all.
      if (!entry) {
        platform::messageBox(
            window,
            QStringLiteral(
                "アドレス帳の%1件目を読み込めませんでした。この宛先には送信していません。")
                .arg(bulkRecords[k]),
            QString(), platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
        ++outcome.skipped;
        outcome.notDelivered << k;
        continue;
      }
      recipient = settings::addressOf(*entry);
    }
    if (showProgress)
      showProgress();

    // The record is written before the mail goes out; a mail that can't be
    // recorded is not sent either.
    const mail::MailRecord record = sentRecordOf(draft, sentDateText());
    const mail::AppendResult saved = mail::appendHistoryRecord(mail::History::Sent, record);
    if (!saved.ok()) {
      platform::messageBox(window,
                           mail::appendErrorText(mail::History::Sent, saved.error) +
                               QStringLiteral("\nメールは送信していません。"),
                           QString(), platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
      ++outcome.skipped;
      outcome.notDelivered << k;
      continue;
    }

    // Each recipient gets the body with one footer of its own draw; the
    // window's body is left as typed for the next pass.
    const QString body =
        draft.fortune ? draft.body + fortuneFooter(fortuneDraw().next()) : draft.body;

    ++outcome.handed;
    // A server without encryption or with a certificate no authority vouches
    // for: the mail goes out only when the user agrees, and then the same
    // mail goes out once more.
    const int result = mail::sendAskingAboutTrust(
        window,
        [&] {
          return nmail::NMailSmtpSendMail(settings::SmtpServer, recipient, QString(), QString(),
                                          settings::MailAddress, draft.subject, body, QString(),
                                          draft.attachments, 0);
        },
        &declinedTrust);
    if (result < 0) {
      ++outcome.refused;
      outcome.notDelivered << k;
      showSendError(window);
      // The record was written for a mail that did not go out: the sent
      // history must not show it among the sent mails.
      if (!withdrawSentRecord(saved.number))
        platform::messageBox(window,
                             QStringLiteral("送信できなかったメールの記録を送信履歴から取り除けま"
                                            "せんでした。"),
                             QString(), platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    } else if (!mail::keepSentOriginal(nmail::lastSentMail(), &record)) {
      ++copiesLost;
    }
  }
  if (copiesLost > 0)
    platform::messageBox(window, mail::SentCopyFailureText, QString(), platform::MsgButtons::Ok,
                         platform::MsgIcon::Exclamation);
  // The search index takes the new records after the sending, on a worker.
  if (outcome.handed > 0)
    mail::search::scheduleUpdate(mail::History::Sent);
  return outcome;
}

} // namespace compose
