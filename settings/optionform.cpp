#include "settings/optionform.h"

#include "platform/messagebox.h"
#include "platform/textbox.h"
#include "platform/twips.h"
#include "settings/config.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
QLabel *boxLabel(const QString &name, const QString &caption, QWidget *parent) {
  auto *label = new QLabel(caption, parent);
  label->setObjectName(name);
  return label;
}
QLineEdit *box(const QString &name, QWidget *parent) {
  auto *edit = new QLineEdit(parent);
  edit->setObjectName(name);
  return edit;
}
} // namespace

OptionForm::OptionForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("OptionForm"));
  setWindowTitle(QStringLiteral("サーバー設定"));

  Label1 = boxLabel(QStringLiteral("Label1"), QStringLiteral("SMTPサーバー名(&S)"), this);
  SmtpText = box(QStringLiteral("SmtpText"), this);
  Label1->setBuddy(SmtpText);
  Label2 = boxLabel(QStringLiteral("Label2"), QStringLiteral("POP3サーバー名(&P)"), this);
  Pop3Text = box(QStringLiteral("Pop3Text"), this);
  Label2->setBuddy(Pop3Text);
  Label3 = boxLabel(QStringLiteral("Label3"), QStringLiteral("メールアドレス(&M)"), this);
  MailText = box(QStringLiteral("MailText"), this);
  Label3->setBuddy(MailText);
  ApopCheck = new QCheckBox(QStringLiteral("APOP を使用する(&A)"), this);
  ApopCheck->setObjectName(QStringLiteral("ApopCheck"));
  OkCommand = new QPushButton(QStringLiteral("設定"), this);
  OkCommand->setObjectName(QStringLiteral("OkCommand"));
  CancelCommand = new QPushButton(QStringLiteral("中止"), this);
  CancelCommand->setObjectName(QStringLiteral("CancelCommand"));

  platform::setTwipsGeometry(Label1, 240, 180, 4200, 255);
  platform::setTwipsGeometry(SmtpText, 240, 450, 4200, 330);
  platform::setTwipsGeometry(Label2, 240, 900, 4200, 255);
  platform::setTwipsGeometry(Pop3Text, 240, 1170, 4200, 330);
  platform::setTwipsGeometry(Label3, 240, 1620, 4200, 255);
  platform::setTwipsGeometry(MailText, 240, 1890, 4200, 330);
  platform::setTwipsGeometry(ApopCheck, 240, 2360, 4200, 300);
  platform::setTwipsGeometry(OkCommand, 240, 2820, 1215, 375);
  platform::setTwipsGeometry(CancelCommand, 3225, 2820, 1215, 375);
  setFixedSize(platform::twipsToPixelsX(4680), platform::twipsToPixelsY(3400));

  platform::showTextFromStart(this);

  connect(OkCommand, &QPushButton::clicked, this, &OptionForm::OkCommand_Click);
  connect(CancelCommand, &QPushButton::clicked, this, &OptionForm::CancelCommand_Click);
}

void OptionForm::Form_Load() {
  // Above all other windows, the program's own included, until it closes.
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  SmtpText->setText(settings::SmtpServer);
  Pop3Text->setText(settings::Pop3Server);
  MailText->setText(settings::MailAddress);
  ApopCheck->setChecked(settings::UseApop != 0);
}

void OptionForm::OkCommand_Click() {
  settings::SmtpServer = SmtpText->text();
  settings::Pop3Server = Pop3Text->text();
  settings::MailAddress = MailText->text();
  settings::UseApop = ApopCheck->isChecked() ? 1 : 0;
  // The new values are in use at once either way; a file that could not be
  // written must not look saved, or the next start would silently lose them.
  if (!settings::SaveServerSettings())
    platform::messageBox(this, QStringLiteral("サーバー設定を保存できませんでした。"), {},
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  forms::optionForm().unload();
}

void OptionForm::CancelCommand_Click() {
  forms::optionForm().unload();
}

namespace forms {
platform::FormSlot<OptionForm> &optionForm() {
  static platform::FormSlot<OptionForm> slot;
  return slot;
}
} // namespace forms
