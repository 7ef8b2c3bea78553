// MIME work of the transport, on GMime: decoding what arrives, building what
// leaves, unpacking attachments and joining split mails. Internal to the
// transport; the program only sees the NMail operations.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
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

// What reading one mail may spend on the clock: decoding its text,
// converting its HTML and unpacking its attachments together. Time counts
// only between begin() and end() (the steps run apart, with the caller's own
// work between them). Past the limit the text read so far is what the mail
// shows, the attachments not yet written stay in the mail (kept whole in the
// Maildir), and exceeded() says so. Each step is linear in the mail anyway;
// the limit bounds what that cannot: a slow disk, a machine busy elsewhere.
class Budget {
public:
  explicit Budget(qint64 limitMs) : limitMs_(limitMs) {}
  void begin();
  void end();
  // Whether the time is up, noted in exceeded() once it is.
  bool over();
  bool exceeded() const { return exceeded_; }
  // When the running step's time is up.
  QDeadlineTimer deadline() const { return deadline_; }

private:
  qint64 limitMs_;
  qint64 spentMs_ = 0;
  QElapsedTimer step_;
  QDeadlineTimer deadline_{QDeadlineTimer::Forever};
  bool exceeded_ = false;
};
// Ten seconds a mail: a hundred times what a large newsletter takes here,
// and a receive of several hostile mails still ends within a minute.
inline constexpr qint64 MailBudgetMs = 10000;

// The longest text readableBody gives, in UTF-16 units. The history record
// keeps at most 12,000 bytes of the body in CP932, the notification a line
// of it and the viewer's first screen a few thousand characters; 256 K is
// twenty times the record, so every use sees what it would see uncut, while
// a letter of 54 MB costs half a megabyte of text instead of hundreds.
inline constexpr qsizetype MaxReadableChars = 256 * 1024;
// Said after a text that was cut there.
QString cutTextNotice();

// What a person wants to read of a whole message: the text part decoded,
// line breaks CR LF; HTML-only mail as plain text; for each attachment a line
// "attachment: <file name> (<size> bytes)"; for a part of a split mail a short
// line saying which part of how many it is. At most MaxReadableChars (and
// then the notice); with a budget, what was read within it. `holdsFiles`,
// when given, says whether unpackAttachments may find anything in it: false
// when the whole message was read and has no attachment and is no part of a
// split mail (its parse is then not kept for the unpack step).
QString readableBody(const Source &message, Budget *budget = nullptr,
                     bool *holdsFiles = nullptr);

// Unpacks the attachments of `raw` into `folder`. Parts of a split mail are
// kept under `folder` until the set is complete (across runs), then joined.
// Returns 1 when at least one file was written, -5 when a file could not be
// written, -6 for a part of an incomplete split mail, 0 when there was
// nothing to unpack. With a budget, the files not yet written when it is
// spent are left in the mail.
int unpackAttachments(const Source &message, const QString &folder, Budget *budget = nullptr);
// The unpack of a message readableBody found without files: nothing is
// written, and the folder's kept split sets are looked after as
// unpackAttachments does. Returns 0.
int unpackNothing(const QString &folder);
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
