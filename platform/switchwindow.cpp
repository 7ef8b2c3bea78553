#include "platform/switchwindow.h"

#include <QApplication>
#include <QWidget>

namespace platform {

void SwitchWindow(QWidget *target, QWidget *source) {
  if (!target)
    return;
  if (source && source != target)
    target->move(source->pos()); // pos() of a window is its frame's top-left
  target->show();
  target->raise();
  target->activateWindow();
  if (source && source != target)
    source->hide();
}

QWidget *mainWindow() {
  for (QWidget *w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("MainForm"))
      return w;
  return nullptr;
}

} // namespace platform
