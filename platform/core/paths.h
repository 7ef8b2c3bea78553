// Program folder and data paths.
//
// Everything Korvex keeps lives beside the executable. The Windows program
// spells the data folder "★MAilData" in some places and "★MailData" in
// others, one folder there; on a case-sensitive file system both must lead
// to the one folder on disk, and the files inside it are matched without
// regard to letter case. A file that does not exist yet gets the spelling
// the caller asked for.
#pragma once

#include <QString>
#include <QStringList>

namespace platform {

inline constexpr char16_t DataFolderName[] = u"★MAilData";
inline constexpr char16_t AttachmentFolderName[] = u"添付フォルダ";

// The folder that holds the executable, unless a test has set another one.
QString programFolder();
// Tests (and only tests) point the program at a temporary folder.
void setProgramFolder(const QString &folder);

// The data folder as it is spelled on disk (any letter case), or
// "★MAilData" under the program folder when no such folder exists. When
// several spellings stand side by side, the first that holds data
// ("★MAilData" before the others), else "★MAilData".
QString dataFolder();
// The spellings of the data folder that hold data, when more than one does
// (the user has to merge them by hand); empty otherwise.
QStringList dataFolderTwinsWithData();
bool dataFolderExists();

// A file inside the data folder: an existing file whose name matches
// `fileName` without regard to case, or `fileName` itself as a new file.
QString dataFile(const QString &fileName);

// "添付フォルダ" under the program folder, without a trailing separator.
QString attachmentFolder();
bool attachmentFolderExists();

// A file directly in the program folder (qelmar.ini), matched without
// regard to case like the data files.
QString programFile(const QString &fileName);

// Finds `name` inside `folder` ignoring letter case; empty when none matches.
QString findCaseInsensitive(const QString &folder, const QString &name);

// While one of these lives, the data folder's spelling and each folder's list
// of names are looked up once and remembered. Finding a file by its letter
// case lists its folder, and a receive looks up the same few files for every
// mail; during a run nothing renames the data folder or creates a file in
// another spelling, so the first answers hold. A file created meanwhile in
// the exact spelling is still found.
class SettledFolders {
public:
  SettledFolders();
  ~SettledFolders();
  SettledFolders(const SettledFolders &) = delete;
  SettledFolders &operator=(const SettledFolders &) = delete;
};

// A number for the settled period going on (a new one each time the first
// SettledFolders starts), 0 when none: what was made sure of once in it
// (folders made, an interrupted delete finished) holds until it ends.
quint64 settledRun();

} // namespace platform
