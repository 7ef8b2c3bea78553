#include "platform/messagebox.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QTranslator>

#include <atomic>

namespace platform {
namespace {

class QtMessageBoxBackend final : public MessageBoxBackend {
public:
  MsgAnswer show(QWidget *parent, const MessageBoxRequest &request) override {
    if (!request.blocking) {
      showOpen(parent, request);
      return MsgAnswer::Ok;
    }
    QMessageBox box(parent);
    fill(box, request);
    switch (box.exec()) {
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    case QMessageBox::Cancel: return MsgAnswer::Cancel;
    default: return MsgAnswer::Ok;
    }
  }

private:
  // A box that stays until dismissed while the program goes on; the same
  // text again raises the box still open.
  void showOpen(QWidget *parent, const MessageBoxRequest &request) {
    open_.removeAll(nullptr);
    for (const QPointer<QMessageBox> &shown : std::as_const(open_))
      if (shown->text() == request.text && shown->property("korvexTitle") == request.title) {
        shown->raise();
        return;
      }
    auto *box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setProperty("korvexTitle", request.title);
    fill(*box, request);
    box->show();
    open_.append(box);
  }

  static void fill(QMessageBox &box, const MessageBoxRequest &request) {
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
      box.setDefaultButton(request.defaultNo ? QMessageBox::No : QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::No);
      break;
    case MsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setDefaultButton(request.defaultNo ? QMessageBox::No : QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    }
  }

  QList<QPointer<QMessageBox>> open_;
};

QtMessageBoxBackend &production() {
  static QtMessageBoxBackend backend;
  return backend;
}

bool unattended = false;

std::atomic<MessageBoxBackend *> installed{nullptr};

} // namespace

QString programTitle() { return QStringLiteral("Korvex"); }

namespace {
MsgAnswer showBox(QWidget *parent, MessageBoxRequest request) {
  if (unattended) {
    switch (request.buttons) {
    case MsgButtons::Ok: request.blocking = false; break;
    case MsgButtons::YesNo: return MsgAnswer::No;
    case MsgButtons::OkCancel:
    case MsgButtons::YesNoCancel: return MsgAnswer::Cancel;
    }
  }
  if (MessageBoxBackend *backend = installed.load())
    return backend->show(parent, request);
  return production().show(parent, request);
}
} // namespace

MsgAnswer messageBox(QWidget *parent, const QString &text, const QString &title, MsgButtons buttons,
                     MsgIcon icon) {
  return showBox(parent, MessageBoxRequest{text, title, icon, buttons});
}

MsgAnswer untitledMessageBox(QWidget *parent, const QString &text, MsgButtons buttons, MsgIcon icon) {
  return showBox(parent, MessageBoxRequest{text, {}, icon, buttons, /*untitled=*/true});
}

MsgAnswer askDefaultNo(QWidget *parent, const QString &text, const QString &title, MsgIcon icon) {
  MessageBoxRequest request{text, title, icon, MsgButtons::YesNo};
  request.defaultNo = true;
  return showBox(parent, request);
}

bool useJapaneseQtTexts() {
  static QTranslator *loaded = nullptr;
  if (loaded)
    return true;
  auto *translator = new QTranslator(QCoreApplication::instance());
  if (!translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                        QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return false;
  }
  loaded = translator;
  return true;
}

UnattendedBoxes::UnattendedBoxes() : previous_(unattended) { unattended = true; }
UnattendedBoxes::~UnattendedBoxes() { unattended = previous_; }
bool boxesUnattended() { return unattended; }

void setMessageBoxBackend(MessageBoxBackend *backend) { installed.store(backend); }

} // namespace platform
