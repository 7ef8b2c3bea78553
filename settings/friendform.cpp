#include "settings/friendform.h"

#include "platform/twips.h"

FriendForm::FriendForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("FriendForm"));
  setWindowTitle(QStringLiteral("アドレス帳"));
  resize(platform::twipsToPixelsX(6000), platform::twipsToPixelsY(4800));
}

void FriendForm::Form_Load() {}

namespace forms {
platform::FormSlot<FriendForm> &friendForm() {
  static platform::FormSlot<FriendForm> slot;
  return slot;
}
} // namespace forms
