// File and print dialogs behind a seam: tests queue the next answers.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace platform {

class FileDialogBackend {
public:
  virtual ~FileDialogBackend() = default;
  // Empty string: the user cancelled.
  virtual QString openFileName(QWidget *parent, const QString &title, const QString &filter) = 0;
  virtual QString saveFileName(QWidget *parent, const QString &title, const QString &filter) = 0;
  // Number of copies, or 0 when the user cancelled.
  virtual int printCopies(QWidget *parent) = 0;
};

QString openFileName(QWidget *parent, const QString &title, const QString &filter);
QString saveFileName(QWidget *parent, const QString &title, const QString &filter);
int printCopies(QWidget *parent);
void setFileDialogBackend(FileDialogBackend *backend);

} // namespace platform
