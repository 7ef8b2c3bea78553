#include "platform/filedialogs.h"

#include <QFileDialog>
#include <QPrintDialog>
#include <QPrinter>

#include <atomic>

namespace platform {
namespace {

class QtFileDialogs final : public FileDialogBackend {
public:
  QString openFileName(QWidget *parent, const QString &title, const QString &filter,
                       const QString &folder) override {
    return QFileDialog::getOpenFileName(parent, title, folder, filter);
  }
  QString saveFileName(QWidget *parent, const QString &title, const QString &filter) override {
    return QFileDialog::getSaveFileName(parent, title, QString(), filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  }
  int printCopies(QWidget *parent) override {
    QPrinter printer;
    return printDialog(parent, printer, false);
  }
  int printDialog(QWidget *parent, QPrinter &printer, bool selection) override {
    QPrintDialog dialog(&printer, parent);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, selection);
    // Every copy prints whole: the dialog offers no page range.
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    printer.setPrintRange(selection ? QPrinter::Selection : QPrinter::AllPages);
    if (dialog.exec() != QDialog::Accepted)
      return 0;
    return std::max(1, printer.copyCount());
  }
};

std::atomic<FileDialogBackend *> installed{nullptr};

FileDialogBackend &backend() {
  static QtFileDialogs production;
  FileDialogBackend *b = installed.load();
  return b ? *b : production;
}

} // namespace

int FileDialogBackend::printDialog(QWidget *parent, QPrinter &, bool) {
  return printCopies(parent);
}

QString openFileName(QWidget *parent, const QString &title, const QString &filter,
                     const QString &folder) {
  return backend().openFileName(parent, title, filter, folder);
}
QString saveFileName(QWidget *parent, const QString &title, const QString &filter) {
  return backend().saveFileName(parent, title, filter);
}
int printCopies(QWidget *parent) { return backend().printCopies(parent); }
int printDialog(QWidget *parent, QPrinter &printer, bool selection) {
  return backend().printDialog(parent, printer, selection);
}
void setFileDialogBackend(FileDialogBackend *b) { installed.store(b); }

} // namespace platform
