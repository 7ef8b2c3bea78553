// Replacing a small file whole: the new bytes in a private work file beside
// it, put on the disk, then renamed over the old one, so that a crash or a
// full disk leaves the old file or the new one, never a mix or nothing.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Writes `bytes` as the whole of `path` (mode 0600). The work file is
// `path` + ".new"; it is gone again whatever happens. False when the file
// could not be written, synced or renamed, or its folder not synced; the old
// file is then as it was (or, for a failed folder sync, already the new one
// but perhaps not yet on the disk under its name).
bool replaceFile(const QString &path, const QByteArray &bytes);

} // namespace platform
