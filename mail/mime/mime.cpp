// MIME work of the transport on GMime: reading what arrives and unpacking its
// attachments. Header text, names and charsets are decoded by our own code
// (mime_words, charset) because GMime 3.2.13 gets Japanese mail wrong there;
// GMime does the structure, the transfer encodings and the split-mail join.
#include "mail/mime/mime.h"

#include "mail/mime/mime_parts.h"

#include "mail/mime/charset.h"
#include "platform/core/diskflush.h"
#include "mail/mime/filestream.h"
#include "mail/mime/mime_headers.h"
#include "mail/mime/mime_html.h"
#include "mail/mime/mime_names.h"
#include "mail/mime/mime_split.h"
#include "mail/mime/mime_words.h"
#include "mail/mime/unpackresult.h"
#include "platform/core/ansi.h"
#include "platform/core/filesync.h"
#include "platform/core/privatefiles.h"

#include <gmime/gmime.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <utility>
#include <vector>

namespace nmail::mime {

namespace parts {

void ensureGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

Owned<GMimeMessage> parseMessage(const QByteArray &raw) {
  ensureGMime();
  Owned<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.constData(), raw.size()));
  Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  return Owned<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

// A message in a file is parsed from the file: the parser keeps every part's
// content where it lies (its stream is persistent), and a part's bytes are
// read from the file only when they are decoded.
Owned<GMimeMessage> parseMessage(const Source &message) {
  if (!message.file)
    return parseMessage(message.bytes);
  ensureGMime();
  const int fd = ::fcntl(*message.file, F_DUPFD_CLOEXEC, 0);
  if (fd < 0)
    return nullptr;
  Owned<GMimeStream> stream(newFileReadStream(fd, 0, -1));
  Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
  return Owned<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

// Up to `limit` bytes of a message from its start.
QByteArray leadingBytes(const Source &message, qsizetype limit) {
  if (!message.file)
    return message.bytes.left(limit);
  QByteArray out;
  constexpr qsizetype Piece = 64 * 1024;
  while (out.size() < limit) {
    const qsizetype want = std::min(Piece, limit - out.size());
    const qsizetype at = out.size();
    out.resize(at + want);
    const qint64 n = platform::readAt(*message.file, out.data() + at, want, at);
    out.resize(at + n);
    if (n < want)
      break;
  }
  return out;
}

// The whole message in memory: for the rare mails that are read as they
// came (no MIME structure GMime can follow, a part of a split mail).
QByteArray wholeBytes(const Source &message) {
  return message.file ? leadingBytes(message, std::numeric_limits<qsizetype>::max())
                      : message.bytes;
}

QByteArray streamBytes(GMimeStream *stream) {
  GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  return array ? QByteArray(reinterpret_cast<const char *>(array->data), array->len) : QByteArray();
}

// The content of a leaf part with its transfer encoding undone.
QByteArray partBytes(GMimePart *part) {
  GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
  if (!wrapper)
    return QByteArray();
  Owned<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(wrapper, out.get());
  return streamBytes(out.get());
}

QByteArray objectBytes(GMimeObject *object) {
  Owned<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(object, nullptr, out.get());
  return streamBytes(out.get());
}

QByteArray rawHeader(GMimeObject *object, const char *name) {
  GMimeHeaderList *list = g_mime_object_get_header_list(object);
  GMimeHeader *header = list ? g_mime_header_list_get_header(list, name) : nullptr;
  const char *raw = header ? g_mime_header_get_raw_value(header) : nullptr;
  return raw ? unfold(QByteArray(raw)) : QByteArray();
}

ParsedField contentType(GMimeObject *object) {
  ParsedField type = parseField(rawHeader(object, "Content-Type"));
  if (!type.token.contains('/')) {
    GMimeContentType *ct = g_mime_object_get_content_type(object);
    char *mime = ct ? g_mime_content_type_get_mime_type(ct) : nullptr;
    type.token = mime ? QByteArray(mime).toLower() : QByteArrayLiteral("text/plain");
    g_free(mime);
  }
  return type;
}

} // namespace parts

using namespace parts;

// The folder as given, or its backslash spelling translated when the caller
// passed a Windows-style path ("…\添付フォルダ\").
QString resolveFolder(const QString &folder) {
  if (QFileInfo(folder).isDir())
    return folder;
  QString slashed = folder;
  slashed.replace(u'\\', u'/');
  return slashed;
}

// Writes `data` under a safe, unused name in `folder`; false when it could
// not be written there. Never overwrites, never writes outside the folder.
// `names`, when given, carries the names already handed out in this folder
// from one file to the next (see FreeNames).
bool writeInside(const QString &folder, const QString &proposed,
                 const std::function<bool(QFile &)> &write, FreeNames *names) {
  const QString home = QFileInfo(folder).canonicalFilePath();
  if (home.isEmpty() || !QFileInfo(home).isDir())
    return false;
  FreeNames local(home);
  FreeNames &free = names ? *names : local;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const QString name = free.take(proposed);
    const QString path = QDir(home).filePath(name);
    if (QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath() != home)
      return false;
    QFile file(path);
    // NewOnly is O_EXCL: a name taken between the check and now (or a
    // dangling link planted there) makes the open fail instead of following it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, platform::PrivateFileMode)) {
      if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
        continue;
      return false;
    }
    const bool ok = write(file) && file.flush();
    file.close();
    if (!ok || file.error() != QFileDevice::NoError ||
        QFileInfo(path).canonicalFilePath() != path) {
      QFile::remove(path);
      return false;
    }
    platform::noteWrittenFile(path);
    return true;
  }
  return false;
}

bool writeInside(const QString &folder, const QString &proposed, const QByteArray &data,
                 FreeNames *names) {
  return writeInside(
      folder, proposed, [&](QFile &file) { return file.write(data) == data.size(); }, names);
}

namespace {

// Writes the files into `folder`; with a budget, those not yet written when
// it is spent are left (the mail they are in is kept whole).
int writeAttachments(const QList<Attachment> &attachments, const QString &folder,
                     Budget *budget = nullptr) {
  if (attachments.isEmpty())
    return NMailAttachmentNone;
  bool failed = false;
  bool wrote = false;
  FreeNames names(QFileInfo(folder).canonicalFilePath());
  for (const Attachment &a : attachments) {
    if (budget && budget->over())
      break;
    const bool ok = a.part ? writeInside(
                                 folder, a.name,
                                 [&](QFile &file) { return writePart(file, a.part); }, &names)
                           : writeInside(folder, a.name, a.data, &names);
    failed |= !ok;
    wrote |= ok;
  }
  if (failed)
    return NMailAttachmentOpenError;
  return wrote ? NMailAttachmentWritten : NMailAttachmentNone;
}

} // namespace

// Text files here are read by the editor in CP932; text CP932 cannot hold
// goes out as UTF-8 with a BOM rather than losing characters.
QByteArray textFileBytes(const QString &text) {
  if (platform::fitsAnsi(text))
    return platform::toAnsi(text);
  return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

std::optional<int> unpackWholeMail(const Source &message, const QString &folder, QString *text) {
  Owned<GMimeMessage> parsed = parseMessage(message);
  if (!parsed)
    return std::nullopt;
  Content content = contentOf(parsed.get());
  const int written = writeAttachments(content.attachments, folder);
  *text = readableText(content);
  return written;
}

Source Source::fromFile(int fd) {
  Source message;
  message.file = std::shared_ptr<const int>(new int(fd), [](const int *d) {
    ::close(*d);
    delete d;
  });
  return message;
}

QByteArray wholeMessage(const Source &message) {
  return wholeBytes(message);
}

QByteArray headerBlockOf(const Source &message) {
  if (!message.file)
    return headerBlock(message.bytes);
  // Read a piece at a time until the blank line has come.
  for (qsizetype want = 64 * 1024;; want *= 4) {
    const QByteArray lead = leadingBytes(message, std::min(want, MaxHeaderBlock));
    const QByteArray block = headerBlock(lead);
    if (block.size() < lead.size() || lead.size() < want || want >= MaxHeaderBlock)
      return block;
  }
}

void initialize() {
  ensureGMime();
}

void shutdown() {
  // GMime stays up until the process ends: the test runner and the program
  // may parse again after a shut-down, and g_mime_shutdown cannot be undone.
}

Headers decodeHeaders(const QByteArray &raw) {
  Headers h;
  const QByteArray block = headerBlock(raw);
  QString text = charset::crlf(charset::guess(block));
  while (text.endsWith(QLatin1String("\r\n")))
    text.chop(2);
  h.raw = text;
  h.subject = charset::oneLine(decodeWords(headerValue(block, "Subject"))).trimmed();
  h.date = charset::oneLine(decodeWords(headerValue(block, "Date"))).trimmed();
  h.from = charset::oneLine(decodeAddress(headerValue(block, "From"))).trimmed();
  return h;
}

namespace {

// A message is parsed once: the unpack step that follows readableBody takes
// the parse it left here, on whichever thread either runs (each on a worker
// of its own, as the receive does). Several are kept: the next mails are
// read on the transport thread (up to eight ahead) while this one is
// unpacked. What the message was read from is held,
// not only its address: a file closed meanwhile and another opened (or a
// buffer freed and another made) could otherwise take the same address and
// the old parse.
struct KeptParse {
  std::shared_ptr<const int> file;
  QByteArray bytes;
  Owned<GMimeMessage> message;
  bool holds(const Source &source) const {
    if (!message)
      return false;
    if (source.file)
      return file == source.file;
    return !file && !bytes.isNull() && bytes.constData() == source.bytes.constData() &&
           bytes.size() == source.bytes.size();
  }
};
// The newest last.
std::array<KeptParse, 10> keptParses;
// Held while keptParses are looked at or changed; a parse taken out of them
// is the taker's alone.
std::mutex keptParsesMutex;

Owned<GMimeMessage> parseOnce(const Source &source) {
  std::unique_lock<std::mutex> lock(keptParsesMutex);
  for (KeptParse &kept : keptParses)
    if (kept.holds(source)) {
      kept.file.reset();
      kept.bytes = QByteArray();
      return std::move(kept.message);
    }
  lock.unlock();
  return parseMessage(source);
}

void keepParse(const Source &source, Owned<GMimeMessage> &message) {
  // A large message in memory is not held on for a call that may never come.
  if (!message || (!source.file && source.bytes.size() > 256 * 1024))
    return;
  // The parse it replaces goes after the lock is let go.
  KeptParse replaced;
  const std::lock_guard<std::mutex> lock(keptParsesMutex);
  replaced = std::move(keptParses.front());
  std::move(keptParses.begin() + 1, keptParses.end(), keptParses.begin());
  KeptParse &kept = keptParses.back();
  kept.file = source.file;
  kept.bytes = source.file ? QByteArray() : source.bytes;
  kept.message = std::move(message);
}

// The body of a message read as it came, without its MIME structure: only as
// much of it as the text may hold is read.
QString bodyAsItCame(const Source &source) {
  const QByteArray raw = leadingBytes(source, MaxHeaderBlock + MaxTextBytes);
  QByteArray rest = raw.mid(headerBlock(raw).size());
  const bool more = raw.size() == MaxHeaderBlock + MaxTextBytes;
  const bool atLineEnd = more && cutAtLineEnd(rest);
  QString text = charset::crlf(charset::guess(rest.trimmed()));
  if (more && !atLineEnd)
    cutText(text, text.size() - 1); // the bytes may end inside a character
  return cappedText(text, more);
}

} // namespace

void Budget::begin() {
  deadline_ = QDeadlineTimer(std::max<qint64>(limitMs_ - spentMs_, 0));
  step_.start();
}

void Budget::end() {
  if (step_.isValid())
    spentMs_ += step_.elapsed();
  step_.invalidate();
  deadline_ = QDeadlineTimer(QDeadlineTimer::Forever);
}

bool Budget::over() {
  exceeded_ |= deadline_.hasExpired();
  return exceeded_;
}

QString cutTextNotice() {
  return QStringLiteral("（本文が長いため、ここから先は省きました）");
}

QString readableBody(const Source &source, Budget *budget, bool *holdsFiles) {
  bool unused = true;
  bool &files = holdsFiles ? *holdsFiles : unused;
  files = true;
  Owned<GMimeMessage> message = parseOnce(source);
  struct Keep {
    const Source &source;
    Owned<GMimeMessage> &message;
    ~Keep() { keepParse(source, message); }
  } keep{source, message};
  if (!message) {
    files = false; // the unpack step parses it no better
    return bodyAsItCame(source);
  }
  GMimeObject *top = g_mime_message_get_mime_part(message.get());
  if (top && GMIME_IS_MESSAGE_PARTIAL(top)) {
    return splitPartText(GMIME_MESSAGE_PARTIAL(top), source);
  }
  Content content = contentOf(message.get(), true, budget);
  if (content.attachments.isEmpty() && !content.overBudget()) {
    // Read whole and without files: the unpack step has nothing to look
    // for, and the parse goes here rather than on the unpacking thread.
    files = false;
    if (holdsFiles)
      message.reset();
  }
  if (content.texts.isEmpty() && content.attachments.isEmpty() && !content.overBudget()) {
    // A multipart whose boundary never occurs (a broken mailer, a lost
    // parameter) has no parts at all: its body as it came beats an empty
    // one, since the mail is deleted on the server once it is stored.
    const QString rest = bodyAsItCame(source);
    if (!rest.isEmpty())
      return rest;
  }
  return readableText(content);
}

int unpackNothing(const QString &folder) {
  releaseStaleSetsNowAndThen(resolveFolder(folder));
  return NMailAttachmentNone;
}

int unpackAttachments(const Source &source, const QString &folder, Budget *budget) {
  const QString home = resolveFolder(folder);
  releaseStaleSetsNowAndThen(home);
  Owned<GMimeMessage> message = parseOnce(source);
  if (!message)
    return NMailAttachmentNone;
  GMimeObject *top = g_mime_message_get_mime_part(message.get());
  if (top && GMIME_IS_MESSAGE_PARTIAL(top))
    return unpackSplitPart(GMIME_MESSAGE_PARTIAL(top), source, home);
  return writeAttachments(contentOf(message.get(), false, budget).attachments, home, budget);
}

} // namespace nmail::mime
