// Where a window opens when it is given no position of its own:
// centred over the main window and kept on the screen, not at the screen's
// top-left corner where the window system would otherwise put it.
#pragma once

class QWidget;

namespace platform {

// Centres `window` over the main window (the top-level window named
// "MainForm"; the screen when there is none or `window` is that window) and
// moves it inside the available area of that screen.
void centreOverMainWindow(QWidget *window);

// Called before a window is shown: a window that was given a position of its
// own since it was created (moved, for example by a fixed placement or
// by the window-switch of the viewer's buttons) keeps it; any other is
// centred over the main window. A window placed once keeps its place (or
// where the user dragged it) at every later showing.
void placeUnplacedWindow(QWidget *window);

} // namespace platform
