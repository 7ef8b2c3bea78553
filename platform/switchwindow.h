// Moving the user from one window to another in the same place.
#pragma once

class QWidget;

namespace platform {

// Gives `target` the top and left of `source`, shows `target` modeless and
// hides `source`.
void SwitchWindow(QWidget *target, QWidget *source);

// The main window (the top-level window named "MainForm"), or nullptr.
QWidget *mainWindow();

} // namespace platform
