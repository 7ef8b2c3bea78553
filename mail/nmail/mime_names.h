// Names for unpacked attachments.
#pragma once

#include <QByteArray>
#include <QString>

namespace nmail::mime {

// A name that is harmless on any file system but not yet checked against a
// folder: separators, control characters, "..", leading dots, Windows
// reserved names and characters gone, at most 255 UTF-8 bytes with the
// extension kept.
QString cleanFileName(const QString &proposed);

// A name for a part that brings none, from its MIME type ("attachment.jpg").
QString nameForType(const QByteArray &mimeType);

} // namespace nmail::mime
