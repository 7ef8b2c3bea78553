// Mails split into several parts (message/partial, RFC 2046 5.2.2): each
// part kept on the disk until its set is complete, then the set joined into
// one file on the disk, a piece at a time, and unpacked from there like any
// mail. A set is known by its id and its sender together: parts from another
// sender never join it, replace one of its parts or hide it.
// Internal to the MIME code (mime.cpp calls it).
#pragma once

#include "mail/mime/mime.h"
#include "mail/mime/mime_names.h"

#include <gmime/gmime.h>

#include <QFile>
#include <QString>
#include <functional>
#include <optional>

namespace nmail::mime {

// The most parts a set may have. A mailer splits a mail into pieces a
// server takes (1 to 5 MB); a hundred of them is a larger mail than anyone
// sends split, and a larger total only keeps parts waiting that never join.
inline constexpr int MaxSplitParts = 100;

// What a person reads of a mail whose content is message/partial: which
// part of how many it is, or, for a part that can never be joined, why not
// and the line for the mail kept whole.
QString splitPartText(GMimeMessagePartial *partial, const Source &message);

// Unpacks a mail whose content is message/partial into `folder` (resolved):
// a joinable part is kept until its set is complete, then the set is joined;
// any other part is kept whole as "<subject>.eml". NMailAttachment… results.
int unpackSplitPart(GMimeMessagePartial *partial, const Source &message, const QString &folder);

// Looks for stale sets at the first unpack into a folder and then at most
// once an hour (see releaseStaleSplitSets).
void releaseStaleSetsNowAndThen(const QString &folder);

// Given by mime.cpp.
QString resolveFolder(const QString &folder);
bool writeInside(const QString &folder, const QString &proposed,
                 const std::function<bool(QFile &)> &write, FreeNames *names = nullptr);
bool writeInside(const QString &folder, const QString &proposed, const QByteArray &data,
                 FreeNames *names = nullptr);
QByteArray textFileBytes(const QString &text);
// Unpacks a whole mail from `message` into `folder` as the joined mail of a
// set: its files written there, its readable text in `text`. The
// NMailAttachment… result of writing the files, or nothing when the message
// is no mail that can be read.
std::optional<int> unpackWholeMail(const Source &message, const QString &folder, QString *text);

} // namespace nmail::mime
