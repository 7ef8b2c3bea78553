// Building the mail that leaves: headers, body and attachments.
//
// Written by hand rather than with GMime's writer: GMime silently falls back
// to UTF-8 for characters such as U+FF5E when asked for ISO-2022-JP, and it
// Q-encodes ISO-2022-JP words where Japanese mailers expect B.
#include "mail/mime/mime.h"

#include "mail/mime/charset.h"
#include "mail/mime/mime_names.h"
#include "mail/mime/mime_words.h"
#include "mail/mime/replythread.h"
#include "platform/core/clock.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QUuid>

namespace nmail::mime {
namespace {

constexpr int MaxLineBytes = 998;

struct Mailbox {
  QString name;
  QString address;
};

// Splits "a@x, Name <b@y>; c@z" at commas and semicolons that are not inside
// quotes or angle brackets.
QStringList splitRecipients(const QString &text) {
  QStringList items;
  QString current;
  bool quoted = false;
  int angle = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (quoted && c == u'\\' && i + 1 < text.size()) {
      current += c;
      current += text[++i];
      continue;
    }
    if (c == u'"')
      quoted = !quoted;
    else if (!quoted && c == u'<')
      ++angle;
    else if (!quoted && c == u'>' && angle > 0)
      --angle;
    if (!quoted && angle == 0 && (c == u',' || c == u';')) {
      items << current;
      current.clear();
      continue;
    }
    current += c;
  }
  items << current;
  return items;
}

bool validAddress(const QString &address) {
  const qsizetype at = address.lastIndexOf(u'@');
  if (at <= 0 || at == address.size() - 1 || address.size() > 254)
    return false;
  for (const QChar c : address) {
    const ushort u = c.unicode();
    if (u <= 0x20 || u >= 0x7f || QStringLiteral("<>()[],;:\"\\").contains(c))
      return false;
  }
  return !address.mid(at + 1).startsWith(u'.') && !address.endsWith(u'.');
}

// One recipient item; an empty optional for a blank item, an empty address
// for one that is not a mailbox at all.
std::optional<Mailbox> parseMailbox(const QString &item) {
  const QString s = charset::oneLine(item).trimmed();
  if (s.isEmpty())
    return std::nullopt;
  Mailbox box;
  const qsizetype lt = s.lastIndexOf(u'<');
  const qsizetype gt = lt < 0 ? -1 : s.indexOf(u'>', lt);
  if (lt >= 0 && gt > lt && s.mid(gt + 1).trimmed().isEmpty()) {
    box.address = s.mid(lt + 1, gt - lt - 1).trimmed();
    QString name = s.left(lt).trimmed();
    if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"')) {
      name = name.mid(1, name.size() - 2);
      name.replace(QLatin1String("\\\""), QLatin1String("\""));
      name.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    }
    box.name = name.trimmed();
  } else {
    box.address = s;
  }
  if (box.address.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
    box.address = box.address.mid(7);
  return box;
}

QList<Mailbox> parseMailboxes(const QString &text) {
  QList<Mailbox> boxes;
  for (const QString &item : splitRecipients(text)) {
    if (auto box = parseMailbox(item))
      boxes << *box;
  }
  return boxes;
}

bool isPlainAscii(const QString &text) {
  for (const QChar c : text) {
    if (c.unicode() < 0x20 || c.unicode() >= 0x7f)
      return false;
  }
  return true;
}

QByteArray mailboxHeader(const Mailbox &box, int used) {
  const QByteArray address = box.address.toLatin1();
  if (box.name.isEmpty())
    return address;
  QByteArray phrase;
  if (isPlainAscii(box.name) && !box.name.contains(QLatin1String("=?"))) {
    static const QString specials = QStringLiteral("()<>[]:;@\\,.\"");
    bool needQuotes = false;
    for (const QChar c : box.name)
      needQuotes |= specials.contains(c);
    if (needQuotes) {
      QByteArray escaped = box.name.toLatin1();
      escaped.replace("\\", "\\\\").replace("\"", "\\\"");
      phrase = '"' + escaped + '"';
    } else {
      phrase = box.name.toLatin1();
    }
  } else {
    phrase = encodeWords(box.name, used);
  }
  return phrase + " <" + address + ">";
}

QByteArray rfcDate(const QDateTime &local) {
  static const char *days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int offset = local.offsetFromUtc() / 60;
  const int absOffset = std::abs(offset);
  // The zone as RFC 5322 writes it: a sign and four digits, +0900.
  const QString zone = QString::asprintf("%c%02d%02d", offset < 0 ? '-' : '+', absOffset / 60,
                                         absOffset % 60);
  return QStringLiteral("%1, %2 %3 %4 %5 %6")
      .arg(QLatin1String(days[local.date().dayOfWeek() - 1]),
           QStringLiteral("%1").arg(local.date().day(), 2, 10, QLatin1Char('0')),
           QLatin1String(months[local.date().month() - 1]), QString::number(local.date().year()),
           local.time().toString(QStringLiteral("HH:mm:ss")), zone)
      .toLatin1();
}

QByteArray base64Lines(const QByteArray &data) {
  const QByteArray b64 = data.toBase64();
  QByteArray out;
  out.reserve(b64.size() + b64.size() / 76 * 2 + 2);
  for (qsizetype i = 0; i < b64.size(); i += 76)
    out += b64.mid(i, 76) + "\r\n";
  return out;
}

bool hasLongLine(const QByteArray &bytes) {
  qsizetype start = 0;
  while (start <= bytes.size()) {
    qsizetype eol = bytes.indexOf("\r\n", start);
    if (eol < 0)
      eol = bytes.size();
    if (eol - start > MaxLineBytes)
      return true;
    start = eol + 2;
  }
  return false;
}

struct Body {
  QByteArray headers; // Content-Type and Content-Transfer-Encoding lines
  QByteArray content;
};

Body textBody(const QString &text) {
  const QString body = charset::crlf(text);
  if (auto jis = charset::toIso2022jp(body); jis && !jis->contains('\0')) {
    if (!hasLongLine(*jis))
      return {"Content-Type: text/plain; charset=ISO-2022-JP\r\n"
              "Content-Transfer-Encoding: 7bit\r\n",
              jis->endsWith("\r\n") || jis->isEmpty() ? *jis : *jis + "\r\n"};
    return {"Content-Type: text/plain; charset=ISO-2022-JP\r\n"
            "Content-Transfer-Encoding: base64\r\n",
            base64Lines(*jis)};
  }
  return {"Content-Type: text/plain; charset=UTF-8\r\n"
          "Content-Transfer-Encoding: base64\r\n",
          base64Lines(body.toUtf8())};
}

// RFC 2231 value characters that need no percent sign.
bool isAttributeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         QByteArrayLiteral("!#$&+-.^_`|~").contains(c);
}

// filename*= in sections short enough for a 78-character line, never cutting
// a %XX escape.
QByteArray rfc2231Filename(const QString &name) {
  QList<QByteArray> pieces{QByteArray()};
  for (const char c : name.toUtf8()) {
    const QByteArray unit = isAttributeChar(c)
                                ? QByteArray(1, c)
                                : "%" + QByteArray::number(static_cast<unsigned char>(c), 16)
                                            .rightJustified(2, '0')
                                            .toUpper();
    if (pieces.last().size() + unit.size() > 48)
      pieces << QByteArray();
    pieces.last() += unit;
  }
  if (pieces.size() == 1)
    return " filename*=UTF-8''" + pieces[0];
  QByteArray out;
  for (qsizetype i = 0; i < pieces.size(); ++i) {
    out += (i ? ";\r\n filename*" : " filename*") + QByteArray::number(i) +
           "*=" + (i ? QByteArray() : QByteArray("UTF-8''")) + pieces[i];
  }
  return out;
}

QByteArray attachmentPart(const QString &path, const QByteArray &data) {
  const QString name = cleanFileName(QFileInfo(path).fileName());
  QByteArray type =
      QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).name().toLatin1();
  if (type.isEmpty() || type.contains('"') || type.contains(';'))
    type = "application/octet-stream";
  QByteArray out = "Content-Type: " + type + ";\r\n";
  const bool simple = isPlainAscii(name) && !name.contains(u'"') && !name.contains(u'\\') &&
                      !name.contains(QLatin1String("=?")) && name.size() < 60;
  if (simple) {
    out += " name=\"" + name.toLatin1() + "\"\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment;\r\n filename=\"" + name.toLatin1() + "\"\r\n";
  } else {
    // RFC 2231 for readers that know it, an encoded-word for those that don't.
    out += " name=\"" + encodeWords(name, 7) + "\"\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment;\r\n" + rfc2231Filename(name) + "\r\n";
  }
  return out + "\r\n" + base64Lines(data);
}

QByteArray newBoundary(const QByteArray &avoid) {
  while (true) {
    const QByteArray b = "----=_Korvex_" + QUuid::createUuid().toByteArray(QUuid::Id128);
    if (!avoid.contains(b))
      return b;
  }
}

} // namespace

QStringList envelopeAddresses(const QString &to) {
  QStringList out;
  for (const Mailbox &box : parseMailboxes(to)) {
    if (validAddress(box.address) && !out.contains(box.address, Qt::CaseInsensitive))
      out << box.address;
  }
  return out;
}

std::optional<QByteArray> buildMessage(const Outgoing &mail, QString *error) {
  auto fail = [&](const QString &text) -> std::optional<QByteArray> {
    if (error)
      *error = text;
    return std::nullopt;
  };

  const QList<Mailbox> fromBoxes = parseMailboxes(mail.from);
  if (fromBoxes.size() != 1 || !validAddress(fromBoxes[0].address))
    return fail(QStringLiteral("差出人のメールアドレス「%1」が正しくありません。")
                    .arg(charset::oneLine(mail.from).trimmed()));
  const QList<Mailbox> toBoxes = parseMailboxes(mail.to);
  if (toBoxes.isEmpty())
    return fail(QStringLiteral("宛先のメールアドレスがありません。"));
  for (const Mailbox &box : toBoxes) {
    if (!validAddress(box.address))
      return fail(
          QStringLiteral("宛先のメールアドレス「%1」が正しくありません。").arg(box.address));
  }

  QList<QPair<QString, QByteArray>> files;
  for (const QString &entry : mail.attachments) {
    const QString path = entry.trimmed();
    if (path.isEmpty())
      continue;
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly))
      return fail(QStringLiteral("添付ファイル「%1」を読み込めません。").arg(path));
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
      return fail(QStringLiteral("添付ファイル「%1」を読み込めません。").arg(path));
    files << qMakePair(path, data);
  }

  QByteArray head;
  head += "From: " + mailboxHeader(fromBoxes[0], 6) + "\r\n";
  QByteArray to;
  for (const Mailbox &box : toBoxes)
    to += (to.isEmpty() ? "" : ",\r\n ") + mailboxHeader(box, 4);
  head += "To: " + to + "\r\n";
  head += "Subject: " + encodeWords(charset::oneLine(mail.subject), 9) + "\r\n";
  head += "Date: " + rfcDate(platform::localNow()) + "\r\n";
  const QByteArray domain =
      fromBoxes[0].address.mid(fromBoxes[0].address.lastIndexOf(u'@') + 1).toLatin1();
  head += "Message-ID: <" + QUuid::createUuid().toByteArray(QUuid::Id128) + "." +
          QByteArray::number(platform::utcNow().toSecsSinceEpoch()) + "@" + domain + ">\r\n";
  // A reply names the mail it answers, so the recipient's program threads it.
  head += nmail::detail::currentReplyThreadHeaders();
  head += "MIME-Version: 1.0\r\n";
  head += "X-Mailer: Korvex\r\n";

  const Body body = textBody(mail.body);
  if (files.isEmpty())
    return head + body.headers + "\r\n" + body.content;

  QList<QByteArray> parts;
  parts << body.headers + "\r\n" + body.content;
  for (const auto &[path, data] : files)
    parts << attachmentPart(path, data);
  QByteArray all;
  for (const QByteArray &p : parts)
    all += p;
  const QByteArray boundary = newBoundary(all);
  QByteArray out = head + "Content-Type: multipart/mixed;\r\n boundary=\"" + boundary +
                   "\"\r\n\r\n" + "This is a multi-part message in MIME format.\r\n";
  for (const QByteArray &p : parts) {
    out += "\r\n--" + boundary + "\r\n" + p;
    if (!out.endsWith("\r\n"))
      out += "\r\n";
  }
  out += "\r\n--" + boundary + "--\r\n";
  return out;
}

} // namespace nmail::mime
