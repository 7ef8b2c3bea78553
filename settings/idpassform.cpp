#include "settings/idpassform.h"

#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "platform/textbox.h"
#include "platform/twips.h"
#include "settings/config.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

IdPassForm::IdPassForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("IdPassForm"));
  setWindowTitle(QStringLiteral("ID,PASS"));

  Label1 = new QLabel(QStringLiteral("ID"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  IdText = new QLineEdit(this);
  IdText->setObjectName(QStringLiteral("IdText"));
  Label1->setBuddy(IdText);

  Label2[0] = new QLabel(QStringLiteral("Password"), this);
  Label2[0]->setObjectName(QStringLiteral("Label2(0)"));
  PassText = new QLineEdit(this);
  PassText->setObjectName(QStringLiteral("PassText"));
  PassText->setEchoMode(QLineEdit::Password);
  // Every character shows as "*", whatever the style's own mask character.
  PassText->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  Label2[0]->setBuddy(PassText);

  // The box's own caption stays empty; the label beside it names it.
  Check1 = new QCheckBox(this);
  Check1->setObjectName(QStringLiteral("Check1"));
  Label2[1] = new QLabel(QStringLiteral("IDパスワードを保存する"), this);
  Label2[1]->setObjectName(QStringLiteral("Label2(1)"));
  Label2[1]->setBuddy(Check1);
  Check1->setAccessibleName(QStringLiteral("IDパスワードを保存する"));

  OKCommand = new QPushButton(QStringLiteral("OK"), this);
  OKCommand->setObjectName(QStringLiteral("OKCommand"));
  CancelCommand = new QPushButton(QStringLiteral("Cancel"), this);
  CancelCommand->setObjectName(QStringLiteral("CancelCommand"));

  platform::setTwipsGeometry(Label1, 240, 240, 1000, 300);
  platform::setTwipsGeometry(IdText, 1320, 200, 2600, 330);
  platform::setTwipsGeometry(Label2[0], 240, 720, 1000, 300);
  platform::setTwipsGeometry(PassText, 1320, 680, 2600, 330);
  platform::setTwipsGeometry(Check1, 1320, 1200, 255, 300);
  platform::setTwipsGeometry(Label2[1], 1620, 1200, 2300, 300);
  platform::setTwipsGeometry(OKCommand, 1320, 1680, 1215, 375);
  platform::setTwipsGeometry(CancelCommand, 2700, 1680, 1215, 375);
  setFixedSize(platform::twipsToPixelsX(4200), platform::twipsToPixelsY(2300));

  platform::showTextFromStart(this);

  connect(OKCommand, &QPushButton::clicked, this, &IdPassForm::OkCommand_Click);
  connect(CancelCommand, &QPushButton::clicked, this, &IdPassForm::CancelCommand_Click);
}

void IdPassForm::Form_Load() {
  IdText->setText(settings::ReadAccountKey(QStringLiteral("NAME")));
  PassText->setText(settings::ReadAccountKey(QStringLiteral("NAME2")));
  // The box says what is stored: ticked while a password is kept on disk.
  Check1->setChecked(!PassText->text().isEmpty());
}

void IdPassForm::OkCommand_Click() {
  settings::AccountId = IdText->text();
  settings::AccountPassword = PassText->text();
  settings::AccountInMemoryOnly = !Check1->isChecked();
  bool saved;
  if (Check1->isChecked()) {
    // Both values are checked before either is written, so a refused
    // password never leaves a new ID stored beside the old password.
    const auto storable = [](const QString &v) {
      return platform::fitsAnsi(v) && !v.contains(u'\r') && !v.contains(u'\n');
    };
    saved = storable(IdText->text()) && storable(PassText->text()) &&
            settings::WriteAccountKey(QStringLiteral("NAME"), IdText->text()) &&
            settings::WriteAccountKey(QStringLiteral("NAME2"), PassText->text()) &&
            settings::WriteAccountKey(QStringLiteral("NAME3"), QStringLiteral("1"));
  } else {
    // Not to be kept: the password saved earlier goes too. The values stay
    // in memory for this run.
    saved = settings::WriteAccountKey(QStringLiteral("NAME2"), QString()) &&
            settings::WriteAccountKey(QStringLiteral("NAME3"), QStringLiteral("0"));
  }
  // The dialog closes either way (the values are in use now), but a save
  // that did not happen must not pass for one: the next check would ask again.
  if (!saved)
    platform::messageBox(this,
                         Check1->isChecked()
                             ? QStringLiteral("IDとパスワードを保存できませんでした。")
                             : QStringLiteral("保存してあるパスワードを削除できませんでした。"),
                         {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  forms::idPassForm().unload();
}

void IdPassForm::CancelCommand_Click() {
  forms::idPassForm().unload();
}

namespace forms {
platform::FormSlot<IdPassForm> &idPassForm() {
  static platform::FormSlot<IdPassForm> slot;
  return slot;
}
} // namespace forms
