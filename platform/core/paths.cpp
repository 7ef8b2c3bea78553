#include "platform/core/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>

namespace platform {
namespace {

QMutex folderMutex;
QString overriddenFolder;

QString join(const QString &folder, const QString &name) {
  if (folder.endsWith(u'/'))
    return folder + name;
  return folder + u'/' + name;
}

} // namespace

QString programFolder() {
  {
    QMutexLocker lock(&folderMutex);
    if (!overriddenFolder.isEmpty())
      return overriddenFolder;
  }
  return QCoreApplication::applicationDirPath();
}

void setProgramFolder(const QString &folder) {
  QMutexLocker lock(&folderMutex);
  QString f = folder;
  while (f.size() > 1 && f.endsWith(u'/'))
    f.chop(1);
  overriddenFolder = f;
}

QString findCaseInsensitive(const QString &folder, const QString &name) {
  if (name.isEmpty())
    return {};
  // The exact spelling first: cheap, and the right one when several
  // spellings exist side by side.
  const QString exact = join(folder, name);
  if (QFileInfo::exists(exact))
    return exact;
  const QDir dir(folder);
  if (!dir.exists())
    return {};
  const QStringList entries =
      dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  for (const QString &entry : entries) {
    if (entry.compare(name, Qt::CaseInsensitive) == 0)
      return join(folder, entry);
  }
  return {};
}

QString dataFolder() {
  const QString folder = programFolder();
  // "★MAilData" and "★MailData" differ only in letter case, so one lookup
  // without regard to case finds the folder under either spelling.
  const QString found = findCaseInsensitive(folder, QString::fromUtf16(DataFolderName));
  if (!found.isEmpty() && QFileInfo(found).isDir())
    return found;
  return join(folder, QString::fromUtf16(DataFolderName));
}

bool dataFolderExists() { return QFileInfo(dataFolder()).isDir(); }

QString dataFile(const QString &fileName) {
  const QString folder = dataFolder();
  const QString found = findCaseInsensitive(folder, fileName);
  return found.isEmpty() ? join(folder, fileName) : found;
}

QString attachmentFolder() { return join(programFolder(), QString::fromUtf16(AttachmentFolderName)); }

bool attachmentFolderExists() { return QFileInfo(attachmentFolder()).isDir(); }

QString programFile(const QString &fileName) {
  const QString folder = programFolder();
  const QString found = findCaseInsensitive(folder, fileName);
  return found.isEmpty() ? join(folder, fileName) : found;
}

} // namespace platform
