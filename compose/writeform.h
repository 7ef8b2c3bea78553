// The compose window: a new mail with attachments, greeting, fortune footer
// and the address-book panel.
#pragma once

#include "platform/forms.h"

#include <QWidget>

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
  QLineEdit *ToText;
  QLabel *SubjectLabel;
  QLineEdit *SubjectText;
  QLabel *Combo1Label;
  QComboBox *Combo1; // greeting phrases
  QLineEdit *AttachText;
  QPushButton *AttachCommand; // "添付File"
  QPushButton *Command9;      // "追加"
  QPushButton *Command10;     // "取り消し"
  QListWidget *List2;         // attachment list, hidden
  QPlainTextEdit *BodyText;
  QCheckBox *Check1;      // "占い添付"
  QLabel *Label7;         // send progress
  QPlainTextEdit *Text14; // help box
  QPushButton *Command1;  // "送信"
  QPushButton *Command3;  // "送信中止"
  QPushButton *Command4;  // "アドレス帳"
  QPushButton *Command5;  // "本文に貼付"
  QPushButton *Command6;  // "元のサイズ"
  QPushButton *Command7;  // "宛先に貼付"
  QPushButton *Command8;  // "ホーム"
  QPushButton *Command11; // "クリア"

  // Address-book panel, beyond the right edge until the window is widened.
  QWidget *Picture5;
  QLabel *Picture5Label; // "アドレス帳"
  QListWidget *List1;
  QLabel *Text1Label; // "件数"
  QLineEdit *Text1;
  QRadioButton *Option2; // "一括送信"
  QRadioButton *Option1; // "取消"

  void Form_Load();

public Q_SLOTS:
  void Command1_Click();
  void Command3_Click();
  void Command8_Click();
};

namespace forms {
platform::FormSlot<WriteForm> &writeForm();
}
