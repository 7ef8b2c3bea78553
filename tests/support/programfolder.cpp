#include "tests/support/programfolder.h"

#include "platform/core/paths.h"

#include <QDir>
#include <QFile>

TempProgramFolder::TempProgramFolder(const QString &dataFolderName, bool withAttachmentFolder)
    : dataFolderName_(dataFolderName) {
  // Nested helpers restore the outer one's folder.
  previous_ = platform::programFolder();
  if (!dir_.isValid())
    return;
  QDir root(dir_.path());
  valid_ = root.mkdir(dataFolderName_) &&
           (!withAttachmentFolder || root.mkdir(QString::fromUtf16(platform::AttachmentFolderName)));
  platform::setProgramFolder(dir_.path());
}

TempProgramFolder::~TempProgramFolder() { platform::setProgramFolder(previous_); }

QString TempProgramFolder::dataPath() const { return dir_.path() + u'/' + dataFolderName_; }

QString TempProgramFolder::attachmentPath() const {
  return dir_.path() + u'/' + QString::fromUtf16(platform::AttachmentFolderName);
}

bool TempProgramFolder::writeBytes(const QString &path, const QByteArray &bytes) const {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray TempProgramFolder::readBytes(const QString &path) const {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
