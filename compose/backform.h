// The reply window: answers a received mail.
#pragma once

#include "platform/forms.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTextEdit;

class BackForm : public QWidget {
  Q_OBJECT
public:
  explicit BackForm(QWidget *parent = nullptr);

  QLabel *ToLabel;
  QLineEdit *ToText;
  QLabel *SubjectLabel;
  QLineEdit *SubjectText;
  QLabel *AttachLabel;
  QLineEdit *AttachText;
  QPushButton *AttachCommand; // "添付"
  QPushButton *Command9;      // "追加"
  QPushButton *Command10;     // "取り消し"
  QListWidget *List2;
  QTextEdit *BodyText;
  QPushButton *Command1; // "ホーム"
  QPushButton *Command2; // "送信"
  QPushButton *Command3; // "送信中止"
  QPushButton *Command4; // "本文に貼付"

  void Form_Load();

public Q_SLOTS:
  void Command1_Click();
};

namespace forms {
platform::FormSlot<BackForm> &backForm();
}
