// The viewer's commands: deleting one mail or all of them, replying to the
// selected received mail and registering its sender in the address book.
//
// A row acts on the record it stands for (its RowSource), not on the history
// the window was opened on: a check that ran while the sent history was
// shown adds rows of received mail, and deleting one of those must never
// touch the sent history.
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/store/uidljournal.h"
#include "mail/store/searchindex.h"
#include "mail/tyakuform.h"
#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "platform/switchwindow.h"
#include "settings/addressbook.h"
#include "settings/friendform.h"

#include <QApplication>
#include <QLineEdit>
#include <QTextEdit>

#include <optional>

using mail::History;
using mail::RowSource;

namespace {

std::optional<History> shownHistory() {
  if (mail::HistoryMode == mail::HistoryModeReceived)
    return History::Received;
  if (mail::HistoryMode == mail::HistoryModeSent)
    return History::Sent;
  return std::nullopt;
}

// The main window's help box also shows the sent history's count after a
// delete.
void setMainHelpBox(const QString &text) {
  for (QWidget *w : QApplication::topLevelWidgets()) {
    if (w->objectName() != QLatin1String("MainForm"))
      continue;
    if (QWidget *box = w->findChild<QWidget *>(QStringLiteral("Text1")))
      box->setProperty("plainText", text);
  }
}

// A receive appends to the received history between its network waits, and
// the window takes clicks meanwhile: the file is not rewritten under it.
bool refuseWhileReceiving(QWidget *parent) {
  if (!mail::receiveInProgress())
    return false;
  platform::messageBox(parent,
                       QStringLiteral("メールを受信中です。受信が終わってから、もう一度削除して下さい。"),
                       {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  return true;
}

bool askYesNo(QWidget *parent, const QString &question) {
  return platform::messageBox(parent, question, QStringLiteral("確認"), platform::MsgButtons::YesNo,
                              platform::MsgIcon::Question) == platform::MsgAnswer::Yes;
}

} // namespace

int TyakuForm::selectedRow() const {
  const int row = List1->currentRow();
  if (row >= 0 && List1->item(row) && List1->item(row)->isSelected())
    return row;
  // A row can be selected without becoming the current one (a screen
  // reader selects through the accessibility interface): it is the
  // selected row all the same.
  const QList<mail::HistoryRow> selected = List1->selectedItems();
  return selected.size() == 1 ? List1->row(selected.first()) : -1;
}

void TyakuForm::afterDelete(History which, bool rewritten) {
  if (reportRecovery(which) || rewritten)
    return;
  // Nothing was lost: a record marked for removal stays in the file and
  // goes with the next delete that gets through.
  platform::messageBox(
      this,
      QStringLiteral(
          "%1のファイルを書き換えられなかったため、削除できませんでした。ディスクの空きや書き込み権限を確認して下さい。")
          .arg(which == History::Received ? QStringLiteral("着信履歴")
                                          : QStringLiteral("送信履歴")),
      {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
}

bool TyakuForm::rowsMirror(History which, int count) const {
  const std::vector<RowSource> &sources = List1->rows()->sources();
  if (int(sources.size()) != count)
    return false;
  for (int i = 0; i < count; ++i)
    if (sources[i].history != which || sources[i].record != i + 1)
      return false;
  return true;
}

void TyakuForm::Command1_Click() {
  const int row = selectedRow();
  const RowSource source = rowSource(row);
  if (row < 0 || source.record <= 0) {
    platform::messageBox(this, QStringLiteral("データが選択されていません。"));
    return;
  }
  const std::optional<History> shown = shownHistory();
  if (!shown)
    return;
  if (!askYesNo(this, QStringLiteral("選択された（行、青色）データを削除します。よろしいですか")))
    return;
  if (refuseWhileReceiving(this))
    return;

  const History which = source.history;
  const int before = mail::historyCount(which);
  const std::optional<QByteArray> deleted = mail::readHistoryRecordBytes(which, source.record);
  const bool marked = mail::markHistoryRecord(which, source.record);
  Text7->clear();
  Text8->clear();
  Text9->clear();
  rtfEd->clear();
  const bool rewritten = marked && mail::rewriteHistory(which);
  // The kept mail goes with its record, and only once the record is gone.
  if (rewritten && deleted) {
    mail::dropOriginals(which, source.record, *deleted);
    // A mail of an interrupted check still on the server is deleted there at
    // the next check, not brought back.
    if (which == History::Received)
      mail::UidlJournal::recordsDeleted({mail::recordKey(*deleted)});
  }

  if (which == *shown && rowsMirror(which, before) && mail::historyCount(which) == before - 1) {
    // The rows stand for the file's records one to one: the deleted one
    // goes and the later ones move up, which is what a refill shows, without
    // building tens of thousands of rows again.
    removeRow(row);
    for (int i = row; i < List1->count(); ++i)
      setRowSource(i, RowSource{which, i + 1});
    List1->setCurrentRow(-1);
    showLastRecord(which);
    Text2->setText(QString::number(List1->count()));
  } else if (which == *shown && !listsSearchResult()) {
    fillFromHistory(which);
  } else if (mail::historyCount(which) == before - 1) {
    // A row a check added over the other history, or a row of a search's
    // result: the shown rows stay, that one goes, and the rows of later
    // records of its file move up one.
    removeRow(row);
    for (int i = 0; i < List1->count(); ++i) {
      const RowSource other = rowSource(i);
      if (other.history == which && other.record > source.record)
        setRowSource(i, RowSource{which, other.record - 1});
    }
    List1->setCurrentRow(-1);
    Text2->setText(QString::number(List1->count()));
  }
  if (which == History::Sent)
    setMainHelpBox(Text2->text());
  mail::search::scheduleUpdate(which);
  afterDelete(which, rewritten);
}

void TyakuForm::Command5_Click() {
  const std::optional<History> shown = shownHistory();
  if (!shown)
    return;
  // Yes destroys every record of the history: a stray Enter answers No.
  if (platform::askDefaultNo(this, QStringLiteral("すべてのデータを削除して良いですか？"),
                             QStringLiteral("確認")) != platform::MsgAnswer::Yes)
    return;
  if (refuseWhileReceiving(this))
    return;
  const bool rewritten = mail::markAllHistoryRecords(*shown) && mail::rewriteHistory(*shown);
  if (rewritten)
    mail::dropAllOriginals(*shown);
  if (rewritten && *shown == History::Received)
    mail::UidlJournal::recordsDeleted({}, true);
  if (rewritten) {
    clearRows();
    Text2->setText(QStringLiteral("0"));
    Text7->clear();
    Text8->clear();
    Text9->clear();
    rtfEd->clear();
  } else {
    // The rows show what the file still holds.
    fillFromHistory(*shown);
  }
  mail::search::scheduleUpdate(*shown);
  afterDelete(*shown, rewritten);
}

namespace {

mail::ReplyWindow &replyWindow() {
  static mail::ReplyWindow window;
  return window;
}

bool receiving = false;

const QString NotSelected = QStringLiteral("データが選択されていません。");
const QString ToMyself = QStringLiteral("自分宛となっています。");

} // namespace

namespace mail {
void setReplyWindow(ReplyWindow window) {
  replyWindow() = std::move(window);
}

void setReceiveInProgress(bool running) {
  receiving = running;
}

bool receiveInProgress() {
  return receiving;
}
} // namespace mail

std::optional<mail::MailRecord> TyakuForm::selectedReceivedMail(bool toMyselfWithoutRow) {
  const int row = selectedRow();
  const RowSource source = rowSource(row);
  if (row < 0 || source.record <= 0) {
    platform::messageBox(this, toMyselfWithoutRow ? ToMyself : NotSelected);
    return std::nullopt;
  }
  // A mail the user sent has nobody else to answer or register.
  if (source.history != History::Received) {
    platform::messageBox(this, ToMyself);
    return std::nullopt;
  }
  // Reading it leaves it in the received buffer, whose body the reply
  // window's paste puts under the new text.
  const std::optional<mail::MailRecord> record =
      mail::readHistoryRecord(History::Received, source.record);
  if (!record)
    platform::messageBox(this, NotSelected);
  return record;
}

bool TyakuForm::boxesShow(const mail::MailRecord &received) const {
  return Text8->text() == platform::trimBlanks(received.Info1) &&
         Text9->text() == platform::trimBlanks(received.Subject) &&
         Text7->text() == platform::trimBlanks(received.Info2);
}

void TyakuForm::Command4_Click() {
  if (mail::HistoryMode != mail::HistoryModeReceived && mail::HistoryMode != mail::HistoryModeSent)
    return;
  const std::optional<mail::MailRecord> mail =
      selectedReceivedMail(mail::HistoryMode == mail::HistoryModeSent);
  if (!mail)
    return;
  // The boxes normally show the selected mail (a press fills them); a row
  // chosen with the keyboard has not filled them, and then the mail itself
  // is answered. The body box may carry the user's edits.
  const bool shown = boxesShow(*mail);
  const QString subject = shown ? Text9->text() : mail->Subject;
  const QString to = shown ? Text8->text() : mail->Info1;
  const QString body = shown ? rtfEd->toPlainText() : mail->Body;
  if (replyWindow())
    replyWindow()(this, QStringLiteral("Re:  ") + platform::trimBlanks(subject),
                  platform::trimBlanks(to), platform::trimBlanks(body),
                  mail::originalPath(History::Received, rowSource(selectedRow()).record));
}

void TyakuForm::Command3_Click() {
  if (mail::HistoryMode != mail::HistoryModeReceived &&
      mail::HistoryMode != mail::HistoryModeSent) {
    platform::messageBox(this, ToMyself);
    return;
  }
  const std::optional<mail::MailRecord> mail =
      selectedReceivedMail(mail::HistoryMode == mail::HistoryModeSent);
  if (!mail)
    return;
  // The address box holds 60 characters: a longer sender text goes in with
  // its address whole and without the name beside it, never cut.
  const QString sender = boxesShow(*mail) ? Text8->text() : mail->Info1;
  const std::optional<QString> address = settings::addressForField(sender);
  if (!address) {
    platform::messageBox(this, settings::addressTooLongText(), QString(), platform::MsgButtons::Ok,
                         platform::MsgIcon::Exclamation);
    return;
  }
  FriendForm *book = forms::friendForm().get();
  book->Text4->setText(*address);
  platform::SwitchWindow(book, this);
}
