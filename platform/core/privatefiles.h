// Files and folders the program creates are private to the user: 0600 and
// 0700, whatever the umask. Mail, the account file and the address book
// must not be readable by other users of the machine.
#pragma once

#include <QFileDevice>
#include <QString>

namespace platform {

// The mode of every file the program creates (rw-------).
inline constexpr QFileDevice::Permissions PrivateFileMode =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Sets the process umask to 077, so that every file and folder created from
// now on, by any code, starts private. Called once at start-up.
void keepNewFilesPrivate();

// Gives an existing file mode 0600 (a folder 0700). False when it failed.
bool makePrivate(const QString &path);

// open(2) of `path` with `flags` (O_CREAT, O_EXCL, O_APPEND, O_TMPFILE …;
// O_CLOEXEC is added) for a file of mode 0600: one made under a loose umask,
// or one that was there with another mode, has it before anything is
// written. The descriptor, or -1 (a file it made with O_EXCL is gone again).
int openPrivateFile(const QString &path, int flags);

// Makes the folder `path` (its parent must exist) with mode 0700, or gives
// the folder there that mode. A link to a folder counts as that folder (a
// Maildir moved to another disk and linked back). False when no folder can
// be had there.
bool makePrivateFolder(const QString &path);

// Gives `folder` itself mode 0700 and takes the group's and others' bits
// from everything under it (the owner's stay), links left alone and not
// followed. For what an earlier version, a copy by hand or an install left
// readable by others. The number of entries that could not be changed.
int makePrivateTree(const QString &folder);

// At start-up: the data folder, the attachment folder and qelmar.ini made
// private, whatever mode they were left with.
void tightenProgramFiles();

// Creates `path` and any missing parents with mode 0700 (the folders that
// already exist are left as they are). False when it could not.
bool makePrivateFolders(const QString &path);

} // namespace platform
