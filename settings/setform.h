// The settings menu: two buttons that open the account and server dialogs.
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

  void Form_Load();

public Q_SLOTS:
  void Command1_Click();
  void Command2_Click();
};

namespace forms {
platform::FormSlot<SetForm> &setForm();
}
