#include "platform/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace platform {

void clearClipboard() {
  if (QClipboard *c = QGuiApplication::clipboard())
    c->clear();
}

void setClipboardText(const QString &text) {
  if (QClipboard *c = QGuiApplication::clipboard())
    c->setText(text);
}

QString clipboardText() {
  if (QClipboard *c = QGuiApplication::clipboard())
    return c->text();
  return {};
}

} // namespace platform
