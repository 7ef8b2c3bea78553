#include "settings/setform.h"

#include "platform/twips.h"
#include "settings/idpassform.h"
#include "settings/keepform.h"
#include "settings/optionform.h"

#include <QPushButton>

SetForm::SetForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("SetForm"));
  setWindowTitle(QStringLiteral("設定"));

  Command1 = new QPushButton(QStringLiteral("ID/PASS"), this);
  Command1->setObjectName(QStringLiteral("Command1"));
  Command2 = new QPushButton(QStringLiteral("POPサーバー"), this);
  Command2->setObjectName(QStringLiteral("Command2"));
  // Below the Windows program's two buttons, which keep their places.
  Command3 = new QPushButton(QStringLiteral("サーバーに残す"), this);
  Command3->setObjectName(QStringLiteral("Command3"));

  platform::setTwipsGeometry(Command1, 240, 240, 2000, 495);
  platform::setTwipsGeometry(Command2, 240, 900, 2000, 495);
  platform::setTwipsGeometry(Command3, 240, 1560, 2000, 495);
  setFixedSize(platform::twipsToPixelsX(2480), platform::twipsToPixelsY(2300));

  connect(Command1, &QPushButton::clicked, this, &SetForm::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &SetForm::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &SetForm::Command3_Click);
}

void SetForm::Form_Load() {}

void SetForm::Command1_Click() {
  forms::idPassForm().show();
}

void SetForm::Command2_Click() {
  forms::optionForm().show();
}

void SetForm::Command3_Click() {
  forms::keepForm().show();
}

namespace forms {
platform::FormSlot<SetForm> &setForm() {
  static platform::FormSlot<SetForm> slot;
  return slot;
}
} // namespace forms
