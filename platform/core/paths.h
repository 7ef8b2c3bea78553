// Program folder and data paths.
//
// Everything Korvex keeps lives beside the executable. The data folder is
// spelled "★MAilData" in some places and "★MailData" in others; on a
// case-sensitive file system both must lead to the one folder on disk, and
// the files inside it are matched without regard to letter case. A file that
// does not exist yet gets the spelling the caller asked for.
#pragma once

#include <QString>

namespace platform {

inline constexpr char16_t DataFolderName[] = u"★MAilData";
inline constexpr char16_t AttachmentFolderName[] = u"添付フォルダ";

// The folder that holds the executable, unless a test has set another one.
QString programFolder();
// Tests (and only tests) point the program at a temporary folder.
void setProgramFolder(const QString &folder);

// The data folder as it is spelled on disk (any letter case), or the designed
// spelling under the program folder when no such folder exists.
QString dataFolder();
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

} // namespace platform
