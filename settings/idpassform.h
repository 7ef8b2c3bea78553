// The account dialog: POP3 user ID and password, optionally saved to the
// account profile.
#pragma once

#include "platform/forms.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class IdPassForm : public QWidget {
  Q_OBJECT
public:
  explicit IdPassForm(QWidget *parent = nullptr);

  QLabel *Label1; // "ID"
  QLineEdit *IdText;
  QLabel *Label2[2]; // "Password", "IDパスワードを保存する"
  QLineEdit *PassText;
  QCheckBox *Check1; // save the account to the profile
  QPushButton *OKCommand;
  QPushButton *CancelCommand;

  void Form_Load();

public Q_SLOTS:
  void OkCommand_Click();
  void CancelCommand_Click();
};

namespace forms {
platform::FormSlot<IdPassForm> &idPassForm();
}
