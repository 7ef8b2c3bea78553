// The files the attachment step wrote since the last flush, so that they can
// be put on the disk before the server is told to delete the mails they came
// from.
#pragma once

#include <QString>

namespace nmail {

// Remembers a file or folder the transport created.
void noteWrittenFile(const QString &path);
// fsync of every remembered file and of the folders holding them; forgets
// them. False (with the first failing path) when a file could not be flushed;
// a file removed meanwhile (a split mail's part after joining) is no failure.
bool flushWrittenFiles(QString *failedPath = nullptr);
// Forgets what was written without flushing it.
void forgetWrittenFiles();

} // namespace nmail
