// What the MIME files share inside mail/mime: the parsed message and its
// parts (GMime objects owned through Owned), the content model of a mail
// (its texts and its files) and the readers of both. Only mail/mime
// includes this.
#pragma once

#include "mail/mime/mime.h"
#include "mail/mime/mime_headers.h"

#include <gmime/gmime.h>

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

namespace nmail::mime::parts {

struct Unref {
  void operator()(gpointer p) const {
    if (p)
      g_object_unref(p);
  }
};
template <typename T> using Owned = std::unique_ptr<T, Unref>;

// How much of a text part is decoded: UTF-8 takes at most four bytes for a
// character, CP932, EUC-JP and JIS fewer, so this holds MaxReadableChars.
inline constexpr qsizetype MaxTextBytes = 4 * MaxReadableChars;
// An HTML part is mostly markup: the tree builder takes pages up to 4 MB, and
// the text of such a page rarely comes near MaxReadableChars.
inline constexpr qsizetype MaxHtmlBytes = 4 * 1024 * 1024;

// The source as a parsed message: read once (GMime starts with the first).
void ensureGMime();
Owned<GMimeMessage> parseMessage(const QByteArray &raw);
Owned<GMimeMessage> parseMessage(const Source &message);
// Up to `limit` bytes of a message from its start.
QByteArray leadingBytes(const Source &message, qsizetype limit);
// The whole message in memory: for the rare mails that are read as they came.
QByteArray wholeBytes(const Source &message);
QByteArray objectBytes(GMimeObject *object);
QByteArray rawHeader(GMimeObject *object, const char *name);
ParsedField contentType(GMimeObject *object);

// A file of the mail: its content in memory, or the leaf part that holds it,
// decoded only when it is written or measured, so that a large attachment
// never lies in memory whole.
struct Attachment {
  QString name; // as the sender gave it, decoded; not yet made safe
  QByteArray data;
  GMimePart *part = nullptr; // owned by the parsed message
  qint64 size = -1;          // of a part's content, once measured
  QByteArray digest = {};    // size and SHA-256 of the content, once made
};

struct Content {
  QStringList texts;
  qsizetype textChars = 0; // of `texts`, with the line breaks that join them
  bool textCut = false;    // a text went on past MaxReadableChars
  QList<Attachment> attachments;
  bool wantsTexts = true; // false: only the files are taken (the unpack step)
  Budget *budget = nullptr;
  // The attachments by name, and how many of each name have their digest in
  // `digests` (name, size and SHA-256): a file of a branch that is not shown
  // is looked up there, so that each file is read once, however many share
  // its name.
  struct SameName {
    QList<qsizetype> indexes;
    qsizetype digested = 0;
  };
  QHash<QString, SameName> byName;
  QSet<QByteArray> digests;
  bool overBudget() { return budget && budget->over(); }
};

// What `message` holds; with `wantsTexts` false only its files.
Content contentOf(GMimeMessage *message, bool wantsTexts = true, Budget *budget = nullptr);
// The texts and a line for each file, as a person reads the mail.
QString readableText(Content &content);
// `text` at most MaxReadableChars, then the notice when `cut` or cut here.
QString cappedText(QString text, bool cut);
// Bytes read up to a limit cut back to their last line end; false when the
// last 64 KB hold none.
bool cutAtLineEnd(QByteArray &bytes);
// `text` cut to at most `limit` UTF-16 units, never inside a character.
bool cutText(QString &text, qsizetype limit);
QString decodeAddress(const QByteArray &value);
// A part's content decoded straight into the file, a large piece at a time.
bool writePart(QFile &file, GMimePart *part);

} // namespace nmail::mime::parts
