// What the main window's help box says about the control under the mouse.
#pragma once

#include <QString>
#include <optional>

namespace korvex {

// The help text of a control of the main window, by its name. An empty text
// means "hide the help box" (the window background and the plain panels);
// nothing means the control leaves the help box as it is.
std::optional<QString> mainHelpText(const QString &controlName);

// The receive button's help while a receive runs and the button reads "中止".
inline const QString StopReceiveHelpText =
    QStringLiteral("受信を中止します。受信したメールは保存され、まだ受信していないメールはサーバーに"
                   "残ります。");

} // namespace korvex
