// The files the attachment step wrote since the last flush, so that they can
// be put on the disk before the server is told to delete the mails they came
// from.
#pragma once

#include "platform/core/filesync.h"

#include <QList>
#include <QString>

namespace platform {

// Remembers a file or folder the transport created, in writtenFiles(). One
// removed meanwhile (a split mail's part after joining) needs no flush: what
// it held is in the file it went into, and the mail itself is kept whole in
// the Maildir.
void noteWrittenFile(const QString &path);
// Every remembered file and folder not flushed yet, to be flushed with the
// rest of a receive run.
PendingFiles &writtenFiles();

} // namespace platform
