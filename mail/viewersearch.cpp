// "全メール検索": the viewer lists only the mails of the shown history that
// hold the text of the search box, or every mail again when the box is empty.
//
// The search (and, the first time, building the index) runs on a worker;
// the window keeps painting while it waits. Whatever the user does meanwhile
// is allowed: a receive or a delete that changes the history makes the
// result stale, and then the search is asked again.
#include "editor/editorpane.h"
#include "mail/store/searchindex.h"
#include "mail/tyakuform.h"
#include "platform/core/wait.h"
#include "platform/messagebox.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

using mail::History;

namespace {

const QString IndexFailedText = QStringLiteral(
    "全メール検索の索引を作れませんでした。データフォルダの空きや書き込み権限を確認して下さい。");
const QString ReceivingText =
    QStringLiteral("メールを受信中です。受信が終わってから、もう一度検索して下さい。");

// Runs the search on a worker while the caller's events go on.
mail::search::SearchResult searchWaiting(History which, const QString &query) {
  const mail::search::Paths paths = mail::search::pathsFor(which);
  mail::search::SearchResult result;
  platform::runAndWait([&] { result = mail::search::searchHistory(paths, which, query); });
  return result;
}

} // namespace

void TyakuForm::cmdAllSearch_Click() {
  if (searching_ ||
      (mail::HistoryMode != mail::HistoryModeReceived && mail::HistoryMode != mail::HistoryModeSent))
    return;
  const History which =
      mail::HistoryMode == mail::HistoryModeReceived ? History::Received : History::Sent;
  const QString query = editorPane->Text1->text();
  if (mail::search::foldText(query).trimmed().isEmpty()) {
    fillFromHistory(which);
    return;
  }
  // A check fills this list with the rows of its mails as it stores them.
  if (mail::receiveInProgress()) {
    platform::messageBox(this, ReceivingText);
    return;
  }

  QPointer<TyakuForm> self(this);
  searching_ = true;
  cmdAllSearch->setEnabled(false);
  setCursor(Qt::BusyCursor);
  std::optional<mail::search::SearchResult> found;
  // The numbers are those of the file as the search saw it; a file changed
  // since (a delete, a receive) is searched again.
  for (int attempt = 0; attempt < 3 && !found; ++attempt) {
    mail::search::SearchResult result = searchWaiting(which, query);
    if (!self)
      return;
    if (!result.ok || result.stamp == mail::search::stampOf(mail::historyPath(which)))
      found = std::move(result);
  }
  searching_ = false;
  cmdAllSearch->setEnabled(true);
  unsetCursor();

  if (!found || !found->ok) {
    platform::messageBox(this, IndexFailedText, {}, platform::MsgButtons::Ok,
                         platform::MsgIcon::Exclamation);
    return;
  }
  // The window may have been switched to the other history meanwhile, or a
  // check may be filling the list now.
  if (mail::receiveInProgress() ||
      mail::HistoryMode != (which == History::Received ? mail::HistoryModeReceived
                                                       : mail::HistoryModeSent))
    return;
  fillFromRecords(which, found->records, query);
}
