// Names for unpacked attachments.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

namespace nmail::mime {

// A name that is harmless on any file system but not yet checked against a
// folder: separators, control characters, "..", leading dots, Windows
// reserved names and characters gone, at most 255 UTF-8 bytes with the
// extension kept.
QString cleanFileName(const QString &proposed);

// Free names in one folder for a run of files written there: "name.ext",
// then "name (2).ext", "name (3).ext" … Reads the folder at most once and
// remembers the names it hands out, so naming n files costs O(n) however
// many share a name. The caller still creates each file exclusively (a name
// can be taken by someone else meanwhile) and reports such a name with
// markTaken before asking again.
class FreeNames {
public:
  explicit FreeNames(QString folder);
  // A clean name (see cleanFileName) not yet taken in the folder; counted
  // as taken from now on.
  QString take(const QString &proposed);
  void markTaken(const QString &name);

private:
  bool isTaken(const QString &name);

  QString folder_;
  bool listed_ = false;
  QSet<QString> taken_;
  QHash<QString, int> next_;
};

// A name for a part that brings none, from its MIME type ("attachment.jpg").
QString nameForType(const QByteArray &mimeType);

} // namespace nmail::mime
