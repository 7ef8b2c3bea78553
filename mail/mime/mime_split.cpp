// Split mails. The parts of a set wait under the attachment folder in
// .partial/<key>/<number>.eml, the set's total beside them in "total"; <key>
// is made of the set's id and its sender, so a part from anyone else lands
// in a set of its own. A complete set is joined into .partial/<key>.mail a
// piece at a time (never all parts in memory), unpacked from that file, and
// removed; the mark .partial/<key>.joined then makes a part that comes again
// write nothing more. Sets, marks and joined mails nobody took go after
// KeptDays.
#include "mail/mime/mime_split.h"

#include "platform/core/diskflush.h"
#include "mail/mime/mime_headers.h"
#include "mail/mime/mime_words.h"
#include "mail/mime/unpackresult.h"
#include "platform/core/filesync.h"
#include "platform/core/privatefiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace nmail::mime {
namespace {

const QString KeptPartsFolder = QStringLiteral(".partial");
const QString KeptTotalFile = QStringLiteral("total");

// A set whose last part came this long ago will not be completed: its parts
// are saved whole. The mark of a joined set lasts as long: a part that comes
// again (a server that delivered it twice, a check cut short before QUIT
// that fetches it anew) comes within days, and a mark kept for ever would
// hide a later set of the same sender that reuses the id.
constexpr qint64 KeptDays = 30;

constexpr qint64 Piece = 256 * 1024;

// Reads `fd` from `offset` to its end, a piece at a time, into `take`.
template <class F> bool readFile(int fd, qint64 offset, F &&take) {
  std::vector<char> buffer(static_cast<size_t>(Piece));
  for (;;) {
    bool failed = false;
    const qint64 n = platform::readAt(fd, buffer.data(), Piece, offset, &failed);
    if (n > 0 && !take(buffer.data(), n))
      return false;
    if (failed || n < Piece)
      return !failed;
    offset += n;
  }
}

// Up to `limit` bytes from the start of `fd`.
QByteArray leading(int fd, qint64 limit) {
  QByteArray out;
  readFile(fd, 0, [&](const char *data, qint64 n) {
    out.append(data, qsizetype(std::min(n, limit - out.size())));
    return out.size() < limit;
  });
  return out;
}

template <class F> bool readSource(const Source &message, F &&take) {
  if (message.file)
    return readFile(*message.file, 0, take);
  return message.bytes.isEmpty() || take(message.bytes.constData(), message.bytes.size());
}

qint64 sourceSize(const Source &message) {
  if (!message.file)
    return message.bytes.size();
  struct stat st {};
  return ::fstat(*message.file, &st) == 0 ? qint64(st.st_size) : 0;
}

// RFC 2046 5.2.2: these fields of the joined mail come from the header
// enclosed in part 1, every other one from the header of part 1 itself.
bool fromEnclosed(const QByteArray &name) {
  return name.startsWith("content-") || name == "subject" || name == "message-id" ||
         name == "encrypted" || name == "mime-version";
}

// The header of the joined mail: the fields of part 1's own header (`outer`)
// in order, then those of the enclosed header that belong to the mail's
// content; the enclosed header's other fields, and the headers of the later
// parts, are dropped.
QByteArray joinedHeader(const QByteArray &outer, const QByteArray &enclosed) {
  QByteArray out;
  for (const QByteArray &field : fieldsOf(outer)) {
    const QByteArray name = fieldName(field);
    if (!name.isEmpty() && !fromEnclosed(name))
      out += field;
  }
  for (const QByteArray &field : fieldsOf(enclosed)) {
    const QByteArray name = fieldName(field);
    if (!name.isEmpty() && fromEnclosed(name))
      out += field;
  }
  return out;
}

// The sender a set is known by: the address of the first mailbox in From,
// lower-cased; From as it stands when it names none.
QByteArray senderOf(const QByteArray &headerBlock) {
  const QByteArray from = headerValue(headerBlock, "From");
  if (from.isEmpty())
    return {};
  QByteArray address;
  if (InternetAddressList *list = internet_address_list_parse(nullptr, from.constData())) {
    for (int i = 0; i < internet_address_list_length(list) && address.isEmpty(); ++i) {
      InternetAddress *a = internet_address_list_get_address(list, i);
      if (INTERNET_ADDRESS_IS_MAILBOX(a))
        address = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
    }
    g_object_unref(list);
  }
  return (address.isEmpty() ? from.simplified() : address).toLower();
}

QString setKey(const QByteArray &id, const QByteArray &sender) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(id);
  hash.addData(QByteArrayView("\0", 1));
  hash.addData(sender);
  return QString::fromLatin1(hash.result().toHex().left(32));
}

// Whether a part of a split mail says which set it belongs to and where in
// it: only such a part can be kept until the set is complete.
bool joinable(GMimeMessagePartial *partial) {
  const char *id = g_mime_message_partial_get_id(partial);
  const int number = g_mime_message_partial_get_number(partial);
  const int total = g_mime_message_partial_get_total(partial);
  return id && *id && number >= 1 && number <= MaxSplitParts && total <= MaxSplitParts &&
         (total < 1 || number <= total);
}

QString splitNotice(GMimeMessagePartial *partial) {
  const int number = g_mime_message_partial_get_number(partial);
  const int total = g_mime_message_partial_get_total(partial);
  if (total > 0)
    return QStringLiteral(
               "分割されたメールの%1/%2通目です。全部揃うと添付フォルダに結合されます。")
        .arg(number)
        .arg(total);
  return QStringLiteral("分割されたメールの%1通目です。全部揃うと添付フォルダに結合されます。")
      .arg(number);
}

// A part that can never be joined is kept whole, as a mail file of its own,
// under its subject.
QString unjoinableName(const Source &message) {
  QString subject = decodeWords(headerValue(headerBlockOf(message), "Subject")).simplified();
  if (subject.isEmpty())
    subject = QStringLiteral("分割メール");
  return subject + QStringLiteral(".eml");
}

bool copySource(const Source &message, QFile &file) {
  return readSource(message, [&](const char *data, qint64 n) { return file.write(data, n) == n; });
}

bool copyFile(int fd, QFile &file) {
  return readFile(fd, 0, [&](const char *data, qint64 n) { return file.write(data, n) == n; });
}

struct JoinedMail {
  std::mutex mutex;
  std::optional<QString> path;
};
JoinedMail &joinedMail() {
  static JoinedMail mail;
  return mail;
}

void setJoinedMail(const QString &path) {
  dropJoinedMail();
  const std::lock_guard lock(joinedMail().mutex);
  joinedMail().path = path;
}

int readKeptTotal(const QDir &set) {
  QFile file(set.filePath(KeptTotalFile));
  if (!file.open(QIODevice::ReadOnly))
    return 0;
  bool ok = false;
  const int total = file.read(16).trimmed().toInt(&ok);
  return ok && total >= 1 && total <= MaxSplitParts ? total : 0;
}

bool writeKeptTotal(const QDir &set, int total) {
  const QString path = set.filePath(KeptTotalFile);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(QByteArray::number(total)) <= 0 || !file.flush())
    return false;
  platform::noteWrittenFile(path);
  return true;
}

QString partName(int number) {
  return QStringLiteral("%1.eml").arg(number);
}

// The part numbers kept in a set, from the file names alone.
std::vector<bool> keptNumbers(const QDir &set) {
  std::vector<bool> present(MaxSplitParts + 1, false);
  for (const QString &name : set.entryList({QStringLiteral("*.eml")}, QDir::Files)) {
    bool ok = false;
    const int n = QStringView(name).chopped(4).toInt(&ok);
    if (ok && n >= 1 && n <= MaxSplitParts)
      present[size_t(n)] = true;
  }
  return present;
}

// The total a kept part says, from its header alone; 0 when it says none.
int keptPartTotal(const QDir &set, int number) {
  QFile file(set.filePath(partName(number)));
  if (!file.open(QIODevice::ReadOnly))
    return 0;
  const QByteArray block = headerBlock(leading(file.handle(), MaxHeaderBlock));
  const ParsedField type = parseField(headerValue(block, "Content-Type"));
  return type.token == "message/partial" ? type.params.value("total").toInt() : 0;
}

// Joins the parts 1..total of `set` into the new file `path`: the joined
// header, then the parts' bodies in order, read and written a piece at a
// time. The header enclosed in part 1 may run on into the next parts. When
// it is no header at all, the bodies are joined as they came and
// `readable` is false.
bool joinParts(const QDir &set, int total, const QString &path, bool *readable) {
  QFile::remove(path); // the joined mail of an earlier try that failed
  QFile out(path);
  if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly, platform::PrivateFileMode))
    return false;
  QByteArray outer; // part 1's own header
  QByteArray lead;  // the bodies' start, until the enclosed header is whole
  bool headed = false;
  auto writeHeader = [&] {
    const qsizetype start = bodyStart(lead);
    const qsizetype end = start < 0 ? lead.size() : start;
    const QByteArray enclosed = headerBlock(lead.left(end));
    *readable = isHeader(enclosed);
    headed = true;
    if (!*readable) {
      const bool ok = out.write(lead) == lead.size();
      lead = QByteArray();
      return ok;
    }
    const QByteArray head = joinedHeader(outer, enclosed) + "\r\n";
    const bool ok = out.write(head) == head.size() &&
                    out.write(lead.constData() + end, lead.size() - end) == lead.size() - end;
    lead = QByteArray();
    return ok;
  };
  auto take = [&](const char *data, qint64 n) {
    if (headed)
      return out.write(data, n) == n;
    lead.append(data, qsizetype(n));
    if (bodyStart(lead) < 0 && lead.size() < MaxHeaderBlock)
      return true;
    return writeHeader();
  };
  for (int number = 1; number <= total; ++number) {
    QFile part(set.filePath(partName(number)));
    if (!part.open(QIODevice::ReadOnly))
      return false;
    const QByteArray head = leading(part.handle(), MaxHeaderBlock);
    const qsizetype start = bodyStart(head);
    if (number == 1)
      outer = headerBlock(head);
    if (start >= 0 && !readFile(part.handle(), start, take))
      return false;
  }
  if (!headed && !writeHeader())
    return false;
  return out.flush() && out.error() == QFileDevice::NoError;
}

// Moves into `set` the parts of this sender that an older version kept for
// the same id under a key of the id alone, so that a set begun before still
// joins; parts of other senders stay there until they are stale.
void adoptOlderParts(const QDir &keep, const QByteArray &id, const QByteArray &sender,
                     const QDir &set) {
  const QString older = QString::fromLatin1(
      QCryptographicHash::hash(id, QCryptographicHash::Sha256).toHex().left(32));
  const QFileInfo info(keep.filePath(older));
  if (!info.isDir() || info.isSymLink())
    return;
  const QDir olderSet(info.filePath());
  bool left = false;
  for (const QString &name : olderSet.entryList({QStringLiteral("*.eml")}, QDir::Files)) {
    QFile part(olderSet.filePath(name));
    const bool ours = part.open(QIODevice::ReadOnly) &&
                      senderOf(headerBlock(leading(part.handle(), MaxHeaderBlock))) == sender;
    part.close();
    if (!ours || QFileInfo::exists(set.filePath(name)) ||
        !QFile::rename(olderSet.filePath(name), set.filePath(name))) {
      left = true;
      continue;
    }
    platform::noteWrittenFile(set.filePath(name));
  }
  if (!left)
    QDir(info.filePath()).removeRecursively();
}

// Unpacks the joined mail in the file `path` into `home` like any mail, with
// a text file of its header and text beside its files.
int unpackJoined(const QString &path, bool readable, const QString &home) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return NMailAttachmentOpenError;
  const Source joined = Source::fromFile(fd);
  QString body;
  const std::optional<int> attachments =
      readable ? unpackWholeMail(joined, home, &body) : std::nullopt;
  if (!attachments) {
    // Every part is here, yet together they are no mail that can be read.
    // Failing here would keep the last part on the server and stop every
    // later check at it; the user gets the parts joined as they came.
    return writeInside(home, QStringLiteral("分割メール.eml"),
                       [&](QFile &file) { return copyFile(fd, file); })
               ? NMailAttachmentWritten
               : NMailAttachmentOpenError;
  }
  const Headers headers = decodeHeaders(headerBlockOf(joined));
  const QString text = QStringLiteral("件名: %1\r\n差出人: %2\r\n日付: %3\r\n\r\n%4\r\n")
                           .arg(headers.subject, headers.from, headers.date, body);
  const QString name =
      (headers.subject.isEmpty() ? QStringLiteral("分割メール") : headers.subject) +
      QStringLiteral(".txt");
  const bool textWritten = writeInside(home, name, textFileBytes(text));
  if (*attachments == NMailAttachmentOpenError || !textWritten)
    return NMailAttachmentOpenError;
  return NMailAttachmentWritten;
}

// Keeps one part of a split mail under `home` and joins the set once it is
// complete. An arriving part looks at the names in its set only; the parts
// are read once, for the join.
int keepSplitPart(GMimeMessagePartial *partial, const Source &message, const QString &home) {
  const char *idText = g_mime_message_partial_get_id(partial);
  const QByteArray id = idText ? QByteArray(idText) : QByteArray();
  const int number = g_mime_message_partial_get_number(partial);
  const QByteArray sender = senderOf(headerBlockOf(message));
  const QString key = setKey(id, sender);

  QDir keep(QDir(home).filePath(KeptPartsFolder));
  const QString joinedMark = keep.filePath(key + QStringLiteral(".joined"));
  if (QFileInfo::exists(joinedMark))
    return NMailAttachmentNone; // a late duplicate of a set already joined
  const QString setPath = keep.filePath(key);
  if (!platform::makePrivateFolders(setPath))
    return NMailAttachmentOpenError;
  platform::noteWrittenFile(keep.path());
  platform::noteWrittenFile(setPath);
  const QString setCanonical = QFileInfo(setPath).canonicalFilePath();
  if (!setCanonical.startsWith(home + u'/'))
    return NMailAttachmentOpenError;
  const QDir set(setCanonical);
  adoptOlderParts(keep, id, sender, set);

  // The first copy of a part stays: one that comes again is the same part.
  const QString partPath = set.filePath(partName(number));
  if (!QFileInfo::exists(partPath)) {
    QFile file(partPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, platform::PrivateFileMode) ||
        !copySource(message, file) || !file.flush()) {
      file.remove();
      return NMailAttachmentOpenError;
    }
    platform::noteWrittenFile(partPath);
  }

  // The total is written down with the set ("0" while no part has said
  // it). A set kept without one, by an older version, is read once for it.
  const bool written = QFileInfo::exists(set.filePath(KeptTotalFile));
  const int before = readKeptTotal(set);
  int total = before;
  const int said = g_mime_message_partial_get_total(partial);
  if (total < 1 && said >= 1) {
    total = said;
  } else if (total < 1 && !written) {
    const std::vector<bool> present = keptNumbers(set);
    for (int n = 1; n <= MaxSplitParts; ++n)
      if (present[size_t(n)])
        total = std::max(total, keptPartTotal(set, n));
  }
  if (total > MaxSplitParts)
    total = 0;
  if ((!written || total != before) && !writeKeptTotal(set, total))
    return NMailAttachmentOpenError;
  if (total < 1)
    return NMailAttachmentPartial;
  const std::vector<bool> present = keptNumbers(set);
  for (int n = 1; n <= total; ++n)
    if (!present[size_t(n)])
      return NMailAttachmentPartial;

  const QString joinedPath = keep.filePath(key + QStringLiteral(".mail"));
  bool readable = true;
  if (!joinParts(set, total, joinedPath, &readable)) {
    QFile::remove(joinedPath);
    return NMailAttachmentOpenError;
  }
  const int result = unpackJoined(joinedPath, readable, home);
  setJoinedMail(joinedPath);
  // When writing failed the parts stay: they are the only copy of the mail.
  if (result == NMailAttachmentWritten) {
    QDir(setCanonical).removeRecursively();
    QFile mark(joinedMark);
    if (mark.open(QIODevice::WriteOnly | QIODevice::NewOnly, platform::PrivateFileMode)) {
      mark.close();
      platform::noteWrittenFile(joinedMark);
    }
  }
  return result;
}

} // namespace

QString splitPartText(GMimeMessagePartial *partial, const Source &message) {
  if (joinable(partial))
    return splitNotice(partial);
  return QStringLiteral("分割されたメールの一部ですが、識別子が無いか番号・総数が正しくない"
                        "ため結合できません。このメールのまま添付フォルダに保存します。\r\n\r\n") +
         QStringLiteral("attachment: %1 (%2 bytes)")
             .arg(cleanFileName(unjoinableName(message)))
             .arg(sourceSize(message));
}

int unpackSplitPart(GMimeMessagePartial *partial, const Source &message, const QString &folder) {
  const QString home = QFileInfo(folder).canonicalFilePath();
  if (!joinable(partial))
    return writeInside(folder, unjoinableName(message),
                       [&](QFile &file) { return copySource(message, file); })
               ? NMailAttachmentWritten
               : NMailAttachmentOpenError;
  if (home.isEmpty() || !QFileInfo(home).isDir())
    return NMailAttachmentOpenError;
  return keepSplitPart(partial, message, home);
}

std::optional<QString> takeJoinedMailFile() {
  const std::lock_guard lock(joinedMail().mutex);
  return std::exchange(joinedMail().path, std::nullopt);
}

void dropJoinedMail() {
  if (const std::optional<QString> path = takeJoinedMailFile())
    QFile::remove(*path);
}

std::optional<QByteArray> takeJoinedMail() {
  const std::optional<QString> path = takeJoinedMailFile();
  if (!path)
    return std::nullopt;
  QFile file(*path);
  std::optional<QByteArray> mail;
  if (file.open(QIODevice::ReadOnly))
    mail = file.readAll();
  file.remove();
  return mail;
}

void releaseStaleSplitSets(const QString &folder) {
  const QString home = QFileInfo(resolveFolder(folder)).canonicalFilePath();
  if (home.isEmpty())
    return;
  const QDir keep(QDir(home).filePath(KeptPartsFolder));
  if (!keep.exists())
    return;
  const QDateTime cutoff = QDateTime::currentDateTimeUtc().addDays(-KeptDays);
  // The marks of joined sets; and joined mails nobody took, which are taken
  // within the unpack step of the part that completed their set, if at all.
  const QDateTime untaken = QDateTime::currentDateTimeUtc().addSecs(-3600);
  for (const QFileInfo &info : keep.entryInfoList(QDir::Files | QDir::Hidden))
    if (info.lastModified().toUTC() <= (info.suffix() == QLatin1String("mail") ? untaken : cutoff))
      QFile::remove(info.filePath());
  for (const QFileInfo &info : keep.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    if (info.isSymLink())
      continue;
    // The set's age is that of its newest file: the last part to arrive.
    const QDir set(info.filePath());
    const QFileInfoList files = set.entryInfoList(QDir::Files);
    bool fresh = false;
    for (const QFileInfo &file : files)
      fresh |= file.lastModified().toUTC() > cutoff;
    if (fresh)
      continue;
    bool saved = true;
    FreeNames names(home);
    for (const QFileInfo &part : files) {
      if (part.suffix() != QLatin1String("eml"))
        continue;
      QFile file(part.filePath());
      if (!file.open(QIODevice::ReadOnly)) {
        saved = false;
        break;
      }
      const QByteArray block = headerBlock(leading(file.handle(), MaxHeaderBlock));
      QString subject = decodeWords(headerValue(block, "Subject")).simplified();
      if (subject.isEmpty())
        subject = QStringLiteral("分割メール");
      const QString name = QStringLiteral("%1 (分割 %2).eml").arg(subject, part.completeBaseName());
      if (!writeInside(
              home, name, [&](QFile &out) { return copyFile(file.handle(), out); }, &names)) {
        saved = false;
        break;
      }
    }
    if (saved)
      QDir(info.filePath()).removeRecursively();
  }
}

void releaseStaleSetsNowAndThen(const QString &folder) {
  static std::mutex mutex;
  static QHash<QString, qint64> lastLook;
  const QString home = QFileInfo(folder).canonicalFilePath();
  if (home.isEmpty())
    return;
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  {
    const std::lock_guard<std::mutex> lock(mutex);
    const auto it = lastLook.constFind(home);
    if (it != lastLook.cend() && now - *it < 3600)
      return;
    lastLook.insert(home, now);
  }
  releaseStaleSplitSets(home);
}

} // namespace nmail::mime
