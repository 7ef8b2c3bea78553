// File and print dialogs behind a seam: tests queue the next answers.
#pragma once

#include <QString>
#include <QStringList>

class QPrinter;
class QWidget;

namespace platform {

class FileDialogBackend {
public:
  virtual ~FileDialogBackend() = default;
  // Empty string: the user cancelled. The save dialog does not ask about
  // an existing file; the caller does, through the message-box seam. The
  // open dialog starts in `folder`, or in the working folder when empty.
  virtual QString openFileName(QWidget *parent, const QString &title, const QString &filter,
                               const QString &folder) = 0;
  virtual QString saveFileName(QWidget *parent, const QString &title, const QString &filter) = 0;
  // Number of copies, or 0 when the user cancelled.
  virtual int printCopies(QWidget *parent) = 0;
  // The print dialog over `printer`, which keeps the printer and settings
  // chosen. `selection` presets printing the selection; without it that
  // choice is disabled. Number of copies, or 0 when the user cancelled.
  virtual int printDialog(QWidget *parent, QPrinter &printer, bool selection);
};

QString openFileName(QWidget *parent, const QString &title, const QString &filter,
                     const QString &folder = {});
QString saveFileName(QWidget *parent, const QString &title, const QString &filter);
int printCopies(QWidget *parent);
int printDialog(QWidget *parent, QPrinter &printer, bool selection);
void setFileDialogBackend(FileDialogBackend *backend);

} // namespace platform
