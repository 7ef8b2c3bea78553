// What the main window's help box says about the control under the mouse.
#pragma once

#include <QString>
#include <optional>

namespace korvex {

// The help text of a control of the main window, by its name. An empty text
// means "hide the help box" (the window background and the plain panels);
// nothing means the control leaves the help box as it is.
std::optional<QString> mainHelpText(const QString &controlName);

} // namespace korvex
