#include "platform/placement.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace platform {
namespace {

QWidget *mainWindow() {
  QWidget *found = nullptr;
  for (QWidget *w : QApplication::topLevelWidgets()) {
    if (w->objectName() != QLatin1String("MainForm"))
      continue;
    if (w->isVisible())
      return w;
    if (!found)
      found = w;
  }
  return found;
}

// The outer size the window will have: its frame once it has been shown,
// else its size as showing it would set it plus a frame like the main
// window's (the window system adds the frame only when it shows it).
QSize outerSize(QWidget *window, const QWidget *main) {
  if (!window->testAttribute(Qt::WA_Resized) && !window->isVisible())
    window->adjustSize();
  QSize size = window->frameGeometry().size().expandedTo(window->size());
  if (size == window->size() && main && main->isVisible())
    size += main->frameGeometry().size() - main->geometry().size();
  return size;
}

} // namespace

void centreOverMainWindow(QWidget *window) {
  if (!window)
    return;
  QWidget *main = mainWindow();
  if (main == window)
    main = nullptr;
  // The main window's place while it is minimized is where it comes back.
  const QRect anchor =
      main ? (main->isMinimized() ? main->normalGeometry() : main->frameGeometry()) : QRect();
  QScreen *screen = nullptr;
  if (anchor.isValid())
    screen = QGuiApplication::screenAt(anchor.center());
  if (!screen && main)
    screen = main->screen();
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->availableGeometry();
  const QSize size = outerSize(window, main);
  QRect placed(QPoint(), size);
  placed.moveCenter(anchor.isValid() ? anchor.center() : area.center());
  // Kept on the screen; a window larger than the screen shows its top-left.
  const int x = std::clamp(placed.left(), area.left(),
                           std::max(area.left(), area.right() + 1 - size.width()));
  const int y =
      std::clamp(placed.top(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
  window->move(x, y);
}

void placeUnplacedWindow(QWidget *window) {
  if (!window || !window->isWindow() || window->testAttribute(Qt::WA_Moved))
    return;
  centreOverMainWindow(window);
}

} // namespace platform
