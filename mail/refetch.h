// The attachments of one received mail, as its journal entry names them.
#pragma once

#include "platform/core/filesync.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace mail {

// The files the unpack step wrote for one mail that are the user's to see
// (not the kept parts of split mails, not the work file), relative to the
// attachment folder `home` (canonical). A mail fetched again, whose earlier
// files are `before`, puts each file it wrote under a numbered name beside
// one of those (" (2)") in that file's place instead, so that no copy is
// left; `written` then names the files where they are now. So does a mail
// whose unpacking an earlier run began and never finished (`interrupted`),
// for each file beside one that holds the start of what it holds: what that
// run wrote before it ended.
QStringList attachmentsOfMail(QList<platform::PendingFile> &written, const QString &home,
                              const QStringList &before = {}, bool interrupted = false);

// Removes the files of `attachments` (relative to `home`): the mail they
// came from could not be stored and comes again.
void dropAttachments(const QString &home, const QStringList &attachments);

} // namespace mail
