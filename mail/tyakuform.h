// The history viewer: one of the two histories as a list of rows, and the
// selected mail below it. The receive routine stages each mail it stores in
// this window's list and boxes, shown or not.
#pragma once

#include "mail/store/history.h"
#include "mail/historylist.h"
#include "mail/store/mailrecord.h"
#include "platform/forms.h"

#include <QList>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

namespace editor {
class EditorPane;
}


class TyakuForm : public QWidget {
  Q_OBJECT
public:
  TyakuForm();

  QWidget *Picture1;
  QWidget *Picture2;
  QLabel *Label1;
  mail::HistoryList *List1;
  QLineEdit *Text7;
  QLineEdit *Text8;
  QLineEdit *Text9;
  QTextEdit *rtfEd;
  QLabel *Label4;
  QLineEdit *Text2;
  QLineEdit *Text3;
  QTextEdit *Text4;
  QPushButton *Command1;
  QPushButton *Command5;
  QPushButton *Command4;
  QPushButton *Command3;
  QPushButton *Command2;
  // "全メール検索": lists only the mails of the shown history that hold the
  // text of the search box "検索文字".
  QPushButton *cmdAllSearch;
  // The body pane as a small editor: menus, toolbar and search box.
  editor::EditorPane *editorPane;

  // Fills the window from a history (the open commands of the main window).
  void openHistory(mail::History which);
  // The rows, boxes and count from the file, as opening does, without
  // touching the mode, the caption or the window's visibility.
  void fillFromHistory(mail::History which);
  // Tells the user about a cut-short delete that reading the history has
  // just finished (or could not). True when a box was shown.
  bool reportRecovery(mail::History which);

  // The rows of the given records of a history only (the result of a search
  // for `query`), boxes and count as opening fills them.
  void fillFromRecords(mail::History which, const QList<int> &records, const QString &query);
  // Whether the rows are a search's result rather than the whole history.
  bool listsSearchResult() const { return searchResult_; }

  // The row list with what each row stands for; the receive routine and the
  // delete commands keep the two in step through these.
  void clearRows();
  int addRow(const QString &text, mail::RowSource source);
  void setRowSource(int row, mail::RowSource source);
  void removeRow(int row);
  mail::RowSource rowSource(int row) const;

  // A record's row added at the end of a list filled from its history, as
  // filling writes it, with the count; a check that stored a mail while the
  // window lists the received history adds it so. A list of a search's
  // result gains the row only when the record holds what was searched for.
  void addHistoryRow(mail::History which, int record, const mail::MailRecord &mail);
  // The text the body box gives back for `text` (CR LF line breaks, and what
  // the box changes, such as no-break spaces to spaces).
  static QString bodyTextAsShown(const QString &text);

  // Shows a record in the detail boxes and the body box (date on the left,
  // sender or recipient in the middle, as the record's history means them).
  void showRecord(mail::History which, const mail::MailRecord &record);
  // The body box text with CR LF line breaks, as the histories store it.
  QString bodyText() const;
  void setBodyText(const QString &text);
  // Hands the body through the system clipboard, leaving it there.
  void passBodyThroughClipboard();
  // The whole text of a record's original in the body box, when the record
  // has one kept; else the box keeps the record's body.
  void showOriginal(mail::History which, int record);

public Q_SLOTS:
  void Form_Load();
  void Form_Resize();
  void List1_MouseDown();
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Command4_Click();
  void Command5_Click();
  void cmdAllSearch_Click();

protected:
  void resizeEvent(QResizeEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  // The selected row (the one pressed last, or the only one selected by
  // other means), else -1.
  int selectedRow() const;
  // The received mail of the selected row, or nothing after saying why: no
  // row ("自分宛となっています。" instead when `toMyselfWithoutRow`), or a
  // row of the sent history.
  std::optional<mail::MailRecord> selectedReceivedMail(bool toMyselfWithoutRow);
  // Whether the detail boxes show this received mail.
  bool boxesShow(const mail::MailRecord &received) const;
  // Whether row i stands for record i + 1 of `which`, for each of `count`
  // rows and no more.
  bool rowsMirror(mail::History which, int count) const;
  // The history's last record in the boxes and on the clipboard, as a fill
  // of the rows leaves them.
  void showLastRecord(mail::History which);
  // The count after a delete, and what to say when the file could not be
  // rewritten.
  void afterDelete(mail::History which, bool rewritten);
  void showHelp(const QString &text);
  void hideHelp();

  // A row for each of `records` of a history, in order; the last row's mail
  // in the boxes.
  void fillRows(mail::History which, const QList<int> &records);

  bool searchResult_ = false;
  QString searchQuery_; // folded, while the rows are a search's result
  bool searching_ = false;
};

namespace forms {
platform::FormSlot<TyakuForm> &tyakuForm();
}

namespace mail {
// Command6_Click / Command7_Click of the main window.
void openHistoryViewer(History which);

// The reply window lives with the compose window, which builds on this
// library; the program installs it at start-up. It fills the reply's
// subject, recipient and body and takes the viewer's place; `original` is
// the answered mail's file as received (empty when it has none), whose
// Message-ID the reply names.
using ReplyWindow = std::function<void(QWidget *viewer, const QString &subject, const QString &to,
                                       const QString &body, const QString &original)>;
void setReplyWindow(ReplyWindow window);

// The main window says when a receive starts and when it has ended. Meanwhile
// the receive appends to the received history between its network waits, so
// the viewer neither rewrites the history nor fills its list from a search.
void setReceiveInProgress(bool running);
bool receiveInProgress();
} // namespace mail
