// The compose window: a new mail with attachments, greeting, fortune footer
// and the address-book panel.
#pragma once

#include "compose/attachmentrow.h"
#include "platform/forms.h"

#include <QList>
#include <QWidget>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

class WriteForm : public QWidget {
  Q_OBJECT
public:
  explicit WriteForm(QWidget *parent = nullptr);

  QLabel *ToLabel;
  QLineEdit *ToText; // recipient
  QLabel *SubjectLabel;
  QLineEdit *SubjectText;
  QLabel *Combo1Label;
  QComboBox *Combo1;          // greeting phrases; a phrase chosen goes on top of the body
  QLineEdit *AttachText;      // attachment path, or paths joined with ","
  QPushButton *AttachCommand; // "添付File": first attachment
  QPushButton *Command9;      // "追加": further attachment
  QPushButton *Command10;     // "取り消し": drop the attachments
  QListWidget *List2;         // chosen attachments, hidden until "追加"
  QPlainTextEdit *BodyText;
  QCheckBox *Check1;      // "占い添付": fortune footer at the send
  QLabel *Check1Note;     // what the fortune option is for
  QLabel *Label7;         // send progress
  QPlainTextEdit *Text14; // help box, shown while the mouse is over a button
  QPushButton *Command1;  // "送信"
  QPushButton *Command3;  // "送信中止": close without sending
  QPushButton *Command4;  // "アドレス帳": widen the window to show the panel
  QPushButton *Command5;  // "本文に貼付": clipboard onto the end of the body
  QPushButton *Command6;  // "元のサイズ": narrow the window again
  QPushButton *Command7;  // "宛先に貼付": clipboard into ToText
  QPushButton *Command8;  // "ホーム": close the window
  QPushButton *Command11; // "クリア": reset the fields

  // Address-book panel, beyond the right edge until the window is widened.
  QWidget *Picture5;
  QLabel *Picture5Label; // "アドレス帳"
  QListWidget *List1;    // names; green while bulk sending is on
  QLabel *Text1Label;    // "件数"
  QLineEdit *Text1;      // number of names in List1
  QRadioButton *Option2; // "一括送信": send to every name of List1
  QRadioButton *Option1; // "取消": bulk sending off

  // Address-book record number of each List1 entry, in list order.
  QList<int> RecordNumbers;
  // After a bulk send that did not reach every entry: the List1 rows whose
  // mail did not go out, the only ones the next "送信" in bulk mode sends
  // to. Empty: every row. Filling the list or leaving bulk mode forgets it.
  QList<int> BulkUndelivered;

  void Form_Load();

public Q_SLOTS:
  void Command1_Click();
  void Command3_Click();
  void Command4_Click();
  void Command5_Click();
  void Command6_Click();
  void Command7_Click();
  void Command8_Click();
  void Command11_Click();
  void AttachCommand_Click();
  void Command9_Click();
  void Command10_Click();
  void Option1_Click();
  void Option2_Click();
  void List1_MouseDown();
  void Combo1_LostFocus();

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  // Fills List1, RecordNumbers and Text1 from a file of address records.
  void fillAddressList(const QString &path);
  void setListColour(bool bulk);
  void setWidthTwips(double width);
  void centreOnScreen();

  std::optional<compose::AttachmentRow> attachments_;
  QString greetingOnEntry_; // the greeting box's text when it was last entered
};

namespace forms {
platform::FormSlot<WriteForm> &writeForm();
}
