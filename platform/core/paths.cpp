#include "platform/core/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>

namespace platform {
namespace {

QMutex folderMutex;
QString overriddenFolder;

// What SettledFolders remembers, under folderMutex.
int settledDepth = 0;
quint64 settledRuns = 0;      // settled periods so far
quint64 settledRunId = 0;     // the one going on, 0 when none
QString settledProgramFolder; // the program folder settledDataFolder belongs to
QString settledDataFolder;
QHash<QString, QStringList> settledEntries;

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
  QStringList entries;
  bool remembered = false;
  {
    QMutexLocker lock(&folderMutex);
    if (settledDepth > 0) {
      const auto it = settledEntries.constFind(folder);
      remembered = it != settledEntries.constEnd();
      if (remembered)
        entries = *it;
    }
  }
  if (!remembered) {
    const QDir dir(folder);
    if (!dir.exists())
      return {};
    entries = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                            QDir::Name);
    QMutexLocker lock(&folderMutex);
    if (settledDepth > 0)
      settledEntries.insert(folder, entries);
  }
  for (const QString &entry : entries) {
    if (entry.compare(name, Qt::CaseInsensitive) == 0)
      return join(folder, entry);
  }
  return {};
}

namespace {

// Every folder beside the program whose name is the data folder's in any
// letter case, "★MAilData" first.
QStringList dataFolderSpellings(const QString &folder) {
  const QString name = QString::fromUtf16(DataFolderName);
  QStringList found;
  const QString exact = join(folder, name);
  if (QFileInfo(exact).isDir())
    found << exact;
  const QStringList entries = QDir(folder).entryList(
      QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  for (const QString &entry : entries) {
    if (entry != name && entry.compare(name, Qt::CaseInsensitive) == 0)
      found << join(folder, entry);
  }
  return found;
}

// A data folder holds data when one of the files the user would miss is
// there and not empty: the histories, the check times, the address book or
// the account. Files the program writes by itself at start (option.ini)
// don't count.
bool holdsData(const QString &folder) {
  static const char16_t *const files[] = {u"qlmdata2.data", u"qlmdata5.data", u"Qlmdata90.data",
                                          u"Qlmdata20.data", u"iniIdPass.ini"};
  for (const char16_t *file : files) {
    const QString path = findCaseInsensitive(folder, QString::fromUtf16(file));
    if (!path.isEmpty() && QFileInfo(path).size() > 0)
      return true;
  }
  return false;
}

QString lookUpDataFolder(const QString &folder) {
  // "★MAilData" and "★MailData" differ only in letter case; on Windows they
  // are one folder. Here both can stand side by side (an empty one laid out
  // by the build, the Windows program's copied beside it): the one holding
  // data is used, so the user's mail is never hidden behind an empty twin
  // and nothing is written into that twin.
  const QStringList spellings = dataFolderSpellings(folder);
  if (spellings.isEmpty())
    return join(folder, QString::fromUtf16(DataFolderName));
  if (spellings.size() > 1) {
    for (const QString &candidate : spellings) {
      if (holdsData(candidate))
        return candidate;
    }
  }
  return spellings.first();
}

} // namespace

QString dataFolder() {
  const QString program = programFolder();
  {
    QMutexLocker lock(&folderMutex);
    if (settledDepth > 0 && !settledDataFolder.isEmpty() && settledProgramFolder == program)
      return settledDataFolder;
  }
  QString found = lookUpDataFolder(program);
  QMutexLocker lock(&folderMutex);
  if (settledDepth > 0) {
    settledProgramFolder = program;
    settledDataFolder = found;
  }
  return found;
}

SettledFolders::SettledFolders() {
  QMutexLocker lock(&folderMutex);
  if (settledDepth++ == 0)
    settledRunId = ++settledRuns;
}

SettledFolders::~SettledFolders() {
  QMutexLocker lock(&folderMutex);
  if (--settledDepth == 0) {
    settledRunId = 0;
    settledProgramFolder.clear();
    settledDataFolder.clear();
    settledEntries.clear();
  }
}

quint64 settledRun() {
  QMutexLocker lock(&folderMutex);
  return settledRunId;
}

QStringList dataFolderTwinsWithData() {
  const QStringList spellings = dataFolderSpellings(programFolder());
  QStringList withData;
  if (spellings.size() > 1) {
    for (const QString &candidate : spellings) {
      if (holdsData(candidate))
        withData << candidate;
    }
  }
  return withData.size() > 1 ? withData : QStringList();
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
