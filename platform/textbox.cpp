#include "platform/textbox.h"

#include <QLineEdit>

namespace platform {
namespace {

void watch(QLineEdit *box) {
  // setText resets the modified flag before it reports the change; a change
  // the user makes by typing or pasting leaves it set.
  QObject::connect(box, &QLineEdit::textChanged, box, [box] {
    if (!box->isModified())
      box->setCursorPosition(0);
  });
}

} // namespace

void showTextFromStart(QWidget *widget) {
  if (!widget)
    return;
  if (auto *box = qobject_cast<QLineEdit *>(widget)) {
    watch(box);
    return;
  }
  for (QLineEdit *box : widget->findChildren<QLineEdit *>())
    watch(box);
}

} // namespace platform
