// A throw-away program folder for one test: a temporary directory holding
// the data folder and the attachment folder, made the program folder for
// the helper's lifetime.
#pragma once

#include <QString>
#include <QTemporaryDir>

class TempProgramFolder {
public:
  // `dataFolderName` lets a test lay the data folder out under another
  // spelling ("★maildata") to check that it is still found.
  explicit TempProgramFolder(const QString &dataFolderName = QStringLiteral(u"★MAilData"),
                             bool withAttachmentFolder = true);
  ~TempProgramFolder();
  TempProgramFolder(const TempProgramFolder &) = delete;
  TempProgramFolder &operator=(const TempProgramFolder &) = delete;

  bool isValid() const { return valid_; }
  QString path() const { return dir_.path(); }
  // The data folder as created on disk.
  QString dataPath() const;
  QString attachmentPath() const;
  // Path of a file inside the data folder / the program folder.
  QString dataFile(const QString &name) const { return dataPath() + u'/' + name; }
  QString file(const QString &name) const { return path() + u'/' + name; }

  // Helpers for laying out test files byte by byte.
  bool writeBytes(const QString &path, const QByteArray &bytes) const;
  QByteArray readBytes(const QString &path) const;

private:
  QTemporaryDir dir_;
  QString dataFolderName_;
  QString previous_;
  bool valid_ = false;
};
