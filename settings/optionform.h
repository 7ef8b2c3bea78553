// The server dialog: SMTP and POP3 server, own address, APOP. Stays above
// every other window while it is open.
#pragma once

#include "platform/forms.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class OptionForm : public QWidget {
  Q_OBJECT
public:
  explicit OptionForm(QWidget *parent = nullptr);

  QLabel *Label1; // "SMTPサーバー名(&S)"
  QLineEdit *SmtpText;
  QLabel *Label2; // "POP3サーバー名(&P)"
  QLineEdit *Pop3Text;
  QLabel *Label3; // "メールアドレス(&M)"
  QLineEdit *MailText;
  QCheckBox *ApopCheck;
  QPushButton *OkCommand;     // "設定"
  QPushButton *CancelCommand; // "中止"

  void Form_Load();

public Q_SLOTS:
  void OkCommand_Click();
  void CancelCommand_Click();
};

namespace forms {
platform::FormSlot<OptionForm> &optionForm();
}
