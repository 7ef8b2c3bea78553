#include "mail/mime/mime_names.h"
#include "mail/mime/mime.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace nmail::mime {
namespace {

constexpr int MaxNameBytes = 255;
// An "extension" longer than this is more likely the tail of a long name.
constexpr int MaxExtensionBytes = 32;

bool isReservedStem(const QString &stem) {
  const QString s = stem.toUpper();
  static const QStringList fixed = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                    QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                    QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
  if (fixed.contains(s))
    return true;
  if (s.size() == 4 && (s.startsWith(QLatin1String("COM")) || s.startsWith(QLatin1String("LPT"))))
    return s[3].isDigit() || s[3] == QChar(0xb9) || s[3] == QChar(0xb2) || s[3] == QChar(0xb3);
  return false;
}

bool isInvisibleControl(char32_t c) {
  // Direction overrides let "txt.exe" display as "exe.txt".
  return (c >= 0x200b && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xfeff;
}

// `text` cut to at most `maxBytes` of UTF-8, never inside a character.
QString cutUtf8(const QString &text, qsizetype maxBytes) {
  QString out;
  qsizetype used = 0;
  for (qsizetype i = 0; i < text.size();) {
    const qsizetype len = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    const QString ch = text.mid(i, len);
    const qsizetype bytes = ch.toUtf8().size();
    if (used + bytes > maxBytes)
      break;
    out += ch;
    used += bytes;
    i += len;
  }
  return out;
}

void splitExtension(const QString &name, QString *stem, QString *ext) {
  const qsizetype dot = name.lastIndexOf(u'.');
  if (dot > 0 && name.size() - dot > 1 && name.mid(dot).toUtf8().size() <= MaxExtensionBytes) {
    *stem = name.left(dot);
    *ext = name.mid(dot);
  } else {
    *stem = name;
    ext->clear();
  }
}

QString fitted(const QString &stem, const QString &suffix, const QString &ext) {
  const qsizetype room = MaxNameBytes - suffix.toUtf8().size() - ext.toUtf8().size();
  return cutUtf8(stem, room) + suffix + ext;
}

bool taken(const QString &folder, const QString &name) {
  const QFileInfo info(QDir(folder).filePath(name));
  return info.exists() || info.isSymLink();
}

} // namespace

QString cleanFileName(const QString &proposed) {
  QString s;
  const QList<uint> codes = proposed.toUcs4();
  for (const uint code : codes) {
    const char32_t c = code;
    if (isInvisibleControl(c))
      continue;
    if (c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
        c == u'/' || c == u'\\' || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' ||
        c == u'>' || c == u'|') {
      s += u'_';
      continue;
    }
    s += QString::fromUcs4(&c, 1);
  }
  // No "..": runs of dots become one.
  while (s.contains(QLatin1String("..")))
    s.replace(QLatin1String(".."), QLatin1String("."));
  // Windows drops trailing dots and blanks; a leading dot hides the file.
  while (!s.isEmpty() && (s.startsWith(u'.') || s.startsWith(u' ')))
    s.remove(0, 1);
  while (!s.isEmpty() && (s.endsWith(u'.') || s.endsWith(u' ')))
    s.chop(1);
  if (s.isEmpty())
    s = QStringLiteral("attachment");

  QString stem, ext;
  splitExtension(s, &stem, &ext);
  // "CON.txt" and "con.tar.gz" are as reserved as "CON".
  if (isReservedStem(stem.section(u'.', 0, 0).trimmed()))
    stem.prepend(u'_');
  return fitted(stem, QString(), ext);
}

FreeNames::FreeNames(QString folder) : folder_(std::move(folder)) {}

bool FreeNames::isTaken(const QString &name) {
  if (taken_.contains(name))
    return true;
  if (!listed_) {
    // Most names are free at once; the folder is read only when one is not,
    // and then only once, however many names follow.
    if (!taken(folder_, name))
      return false;
    const QDir dir(folder_);
    const QStringList entries =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    taken_ = QSet<QString>(entries.cbegin(), entries.cend());
    listed_ = true;
  }
  return taken_.contains(name);
}

void FreeNames::markTaken(const QString &name) {
  taken_.insert(name);
}

QString FreeNames::take(const QString &proposed) {
  const QString clean = cleanFileName(proposed);
  QString name = clean;
  if (isTaken(clean)) {
    QString stem, ext;
    splitExtension(clean, &stem, &ext);
    // Numbering goes on where it stopped for this name, so a mail with
    // thousands of files of one name looks at each number once.
    int &n = next_[clean];
    n = std::max(n, 2);
    name.clear();
    for (; n < 100000; ++n) {
      const QString candidate = fitted(stem, QStringLiteral(" (%1)").arg(n), ext);
      if (!isTaken(candidate)) {
        name = candidate;
        break;
      }
    }
    // A folder with 100000 copies of one name: fall back on a unique stamp.
    if (name.isEmpty())
      name = fitted(stem, QStringLiteral(" (%1)").arg(QDateTime::currentMSecsSinceEpoch()), ext);
  }
  markTaken(name);
  return name;
}

QString safeFileName(const QString &proposed, const QString &folder) {
  return FreeNames(folder).take(proposed);
}

QString nameForType(const QByteArray &mimeType) {
  static const QHash<QByteArray, QString> extensions = {
      {"text/plain", QStringLiteral(".txt")},
      {"text/html", QStringLiteral(".html")},
      {"text/csv", QStringLiteral(".csv")},
      {"text/calendar", QStringLiteral(".ics")},
      {"text/x-vcard", QStringLiteral(".vcf")},
      {"text/vcard", QStringLiteral(".vcf")},
      {"image/jpeg", QStringLiteral(".jpg")},
      {"image/png", QStringLiteral(".png")},
      {"image/gif", QStringLiteral(".gif")},
      {"image/bmp", QStringLiteral(".bmp")},
      {"image/webp", QStringLiteral(".webp")},
      {"image/tiff", QStringLiteral(".tif")},
      {"audio/mpeg", QStringLiteral(".mp3")},
      {"audio/wav", QStringLiteral(".wav")},
      {"audio/x-wav", QStringLiteral(".wav")},
      {"video/mp4", QStringLiteral(".mp4")},
      {"application/pdf", QStringLiteral(".pdf")},
      {"application/zip", QStringLiteral(".zip")},
      {"application/x-lzh-compressed", QStringLiteral(".lzh")},
      {"application/msword", QStringLiteral(".doc")},
      {"application/vnd.ms-excel", QStringLiteral(".xls")},
      {"application/pgp-signature", QStringLiteral(".asc")},
      {"message/rfc822", QStringLiteral(".eml")},
      {"message/delivery-status", QStringLiteral(".txt")},
  };
  return QStringLiteral("attachment") +
         extensions.value(mimeType.toLower(), QStringLiteral(".bin"));
}

} // namespace nmail::mime
