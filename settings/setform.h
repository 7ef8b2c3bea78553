// The settings menu: buttons that open the account and server dialogs and
// the dialog for copies of mail kept on the server.
#pragma once

#include "platform/forms.h"

#include <QWidget>

class QPushButton;

class SetForm : public QWidget {
  Q_OBJECT
public:
  explicit SetForm(QWidget *parent = nullptr);

  QPushButton *Command1; // "ID/PASS"
  QPushButton *Command2; // "POPサーバー"
  QPushButton *Command3; // "サーバーに残す": copies kept on the server (KeepForm)

  void Form_Load();

public Q_SLOTS:
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
};

namespace forms {
platform::FormSlot<SetForm> &setForm();
}
