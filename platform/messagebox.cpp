#include "platform/messagebox.h"

#include <QMessageBox>

#include <atomic>

namespace platform {
namespace {

class QtMessageBoxBackend final : public MessageBoxBackend {
public:
  MsgAnswer show(QWidget *parent, const MessageBoxRequest &request) override {
    QMessageBox box(parent);
    box.setText(request.text);
    if (request.untitled) {
      // Qt fills a wholly empty title with the application's name; one blank
      // keeps the bar empty.
      box.setWindowTitle(QStringLiteral(" "));
    } else {
      box.setWindowTitle(request.title.isEmpty() ? programTitle() : request.title);
    }
    box.setTextFormat(Qt::PlainText); // mail texts may hold "<" and "&"
    switch (request.icon) {
    case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MsgIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MsgIcon::Critical: box.setIcon(QMessageBox::Critical); break;
    }
    switch (request.buttons) {
    case MsgButtons::Ok:
      box.setStandardButtons(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Ok);
      break;
    case MsgButtons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case MsgButtons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::No);
      break;
    case MsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    case QMessageBox::Cancel: return MsgAnswer::Cancel;
    default: return MsgAnswer::Ok;
    }
  }
};

std::atomic<MessageBoxBackend *> installed{nullptr};

} // namespace

QString programTitle() { return QStringLiteral("Korvex"); }

namespace {
MsgAnswer showBox(QWidget *parent, const MessageBoxRequest &request) {
  if (MessageBoxBackend *backend = installed.load())
    return backend->show(parent, request);
  QtMessageBoxBackend production;
  return production.show(parent, request);
}
} // namespace

MsgAnswer messageBox(QWidget *parent, const QString &text, const QString &title, MsgButtons buttons,
                     MsgIcon icon) {
  return showBox(parent, MessageBoxRequest{text, title, icon, buttons});
}

MsgAnswer untitledMessageBox(QWidget *parent, const QString &text, MsgButtons buttons, MsgIcon icon) {
  return showBox(parent, MessageBoxRequest{text, {}, icon, buttons, /*untitled=*/true});
}

void setMessageBoxBackend(MessageBoxBackend *backend) { installed.store(backend); }

} // namespace platform
