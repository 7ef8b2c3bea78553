#pragma once

#include <QString>

namespace platform {

// The system clipboard, plain text only.
void clearClipboard();
void setClipboardText(const QString &text);
QString clipboardText();

} // namespace platform
