#include "settings/setform.h"

#include "platform/twips.h"
#include "settings/idpassform.h"
#include "settings/optionform.h"

#include <QPushButton>

SetForm::SetForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("SetForm"));
  setWindowTitle(QStringLiteral("設定"));

  Command1 = new QPushButton(QStringLiteral("ID/PASS"), this);
  Command1->setObjectName(QStringLiteral("Command1"));
  Command2 = new QPushButton(QStringLiteral("POPサーバー"), this);
  Command2->setObjectName(QStringLiteral("Command2"));

  platform::setTwipsGeometry(Command1, 240, 240, 2000, 495);
  platform::setTwipsGeometry(Command2, 240, 900, 2000, 495);
  setFixedSize(platform::twipsToPixelsX(2480), platform::twipsToPixelsY(1640));

  connect(Command1, &QPushButton::clicked, this, &SetForm::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &SetForm::Command2_Click);
}

void SetForm::Form_Load() {}

void SetForm::Command1_Click() {
  forms::idPassForm().show();
}

void SetForm::Command2_Click() {
  forms::optionForm().show();
}

namespace forms {
platform::FormSlot<SetForm> &setForm() {
  static platform::FormSlot<SetForm> slot;
  return slot;
}
} // namespace forms
