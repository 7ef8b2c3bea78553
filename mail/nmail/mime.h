// MIME work of the transport, on GMime: decoding what arrives, building what
// leaves, unpacking attachments and joining split mails. Internal to the
// transport; the program only sees the NMail operations.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace nmail::mime {

// Starts and ends GMime (NMailInitializeWinSock / NMailEndWinSock).
void initialize();
void shutdown();

struct Headers {
  QString subject; // decoded (RFC 2047, Japanese charsets)
  QString date;    // the Date header as text
  QString from;    // decoded display form, e.g. "山田 太郎 <taro@example.jp>"
  QString raw;     // the raw header block, line breaks CR LF
};

// A whole message as the transport has it: in memory, or in a file that is
// read as it is needed and never whole into memory (a large mail, written
// into the Maildir as it arrived).
struct Source {
  Source() = default;
  Source(QByteArray raw) : bytes(std::move(raw)) {}
  // Takes an open descriptor of the file (the message starts at its first
  // byte); the last copy of the Source closes it.
  static Source fromFile(int fd);

  QByteArray bytes;
  std::shared_ptr<const int> file;
};

// The message's bytes, read whole from its file if it has one.
QByteArray wholeMessage(const Source &message);

// Headers of a message (the header block alone, as TOP n 0 returns it, or a
// whole message).
Headers decodeHeaders(const QByteArray &raw);
// The header block of a message, with the blank line that ends it (at most
// the first MaxHeaderBlock bytes of one that has none).
QByteArray headerBlockOf(const Source &message);
inline constexpr qsizetype MaxHeaderBlock = 1024 * 1024;

// What a person wants to read of a whole message: the text part decoded,
// line breaks CR LF; HTML-only mail as plain text; for each attachment a line
// "attachment: <file name> (<size> bytes)"; for a part of a split mail a short
// line saying which part of how many it is.
QString readableBody(const Source &message);

// Unpacks the attachments of `raw` into `folder`. Parts of a split mail are
// kept under `folder` until the set is complete (across runs), then joined.
// Returns 1 when at least one file was written, -5 when a file could not be
// written, -6 for a part of an incomplete split mail, 0 when there was
// nothing to unpack.
int unpackAttachments(const Source &message, const QString &folder);
// The whole mail the last unpackAttachments joined from a complete set of
// parts, taken once; nothing when it joined none. The mail is joined into a
// file: takeJoinedMail reads it whole into memory and removes it,
// takeJoinedMailFile hands the file over (the caller moves or removes it),
// dropJoinedMail removes it.
std::optional<QByteArray> takeJoinedMail();
std::optional<QString> takeJoinedMailFile();
void dropJoinedMail();

// Saves every set of split-mail parts kept in `folder` that has waited 30
// days since its last part as .eml files ("<subject> (分割 n).eml"), one per
// part, and removes the set; the marks of sets joined 30 days ago go too.
// unpackAttachments does this by itself at the first unpack into a folder
// and then now and then.
void releaseStaleSplitSets(const QString &folder);

// A file name made safe for `folder` (no separators, no "..", no leading dot,
// no control characters, no Windows reserved names, at most 255 bytes with
// the extension kept) and not yet taken there ("name (2).ext" …).
QString safeFileName(const QString &proposed, const QString &folder);

struct Outgoing {
  QString from;
  QString to; // one address, several joined with ",", or "Name <address>"
  QString subject;
  QString body;
  QStringList attachments; // file paths
};
// The message as sent (CR LF line breaks, not yet dot-stuffed), or nothing
// with a Japanese explanation in `error`.
std::optional<QByteArray> buildMessage(const Outgoing &mail, QString *error);
// The bare addresses of a To text, for RCPT TO.
QStringList envelopeAddresses(const QString &to);

} // namespace nmail::mime
