#include "mail/mime/mime_words.h"

#include "mail/mime/charset.h"
#include "platform/core/blank.h"

#include <QList>

#include <algorithm>
#include <optional>

namespace nmail::mime {
namespace {

using platform::isBlank;

constexpr qsizetype MaxWordBytes = 4096;

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

struct Word {
  qsizetype begin = 0; // offset of "=?"
  qsizetype end = 0;   // one past "?="
  QByteArray charset;
  QByteArray bytes; // the decoded octets
};

QByteArray decodeQ(const QByteArray &text) {
  QByteArray out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      out.append(' ');
    } else if (c == '=' && i + 2 < text.size() + 0 && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out.append(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.append(c);
    }
  }
  return out;
}

// The encoded-word starting at `from` in `value`, if one does.
std::optional<Word> wordAt(const QByteArray &value, qsizetype from) {
  const qsizetype n = value.size();
  if (from + 1 >= n || value[from] != '=' || value[from + 1] != '?')
    return std::nullopt;
  // Words are short (75 bytes by the rules, a few hundred in the wild); a
  // bounded look keeps a header full of stray "=?" linear.
  const qsizetype limit = std::min(n, from + MaxWordBytes);
  qsizetype q1 = from + 2;
  while (q1 < limit && value[q1] != '?' && !isBlank(value[q1]))
    ++q1;
  if (q1 + 2 >= limit || value[q1] != '?' || value[q1 + 2] != '?')
    return std::nullopt;
  const char enc = value[q1 + 1];
  const qsizetype textBegin = q1 + 3;
  qsizetype close = textBegin;
  while (close + 1 < limit && !(value[close] == '?' && value[close + 1] == '=') &&
         !isBlank(value[close]))
    ++close;
  if (close + 1 >= limit || value[close] != '?' || value[close + 1] != '=')
    return std::nullopt;
  QByteArray charset = value.mid(from + 2, q1 - from - 2);
  const QByteArray text = value.mid(textBegin, close - textBegin);
  if (charset.isEmpty() || std::any_of(charset.begin(), charset.end(), isBlank) ||
      std::any_of(text.begin(), text.end(), isBlank))
    return std::nullopt;
  if (const qsizetype star = charset.indexOf('*'); star >= 0)
    charset.truncate(star); // RFC 2231 language suffix
  Word w;
  w.begin = from;
  w.end = close + 2;
  w.charset = charset;
  if (enc == 'B' || enc == 'b') {
    auto r = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!r)
      r = QByteArray::fromBase64Encoding(text); // lenient: stray padding or junk
    w.bytes = r.decoded;
  } else if (enc == 'Q' || enc == 'q') {
    w.bytes = decodeQ(text);
  } else {
    return std::nullopt;
  }
  return w;
}

// Splits a value into literal runs and runs of adjacent encoded-words,
// calling `literal(bytes)` and `words(text)` in order.
template <typename Literal, typename Words>
void scan(const QByteArray &value, Literal literal, Words words) {
  qsizetype i = 0;
  qsizetype literalStart = 0;
  while (i < value.size()) {
    auto w = wordAt(value, i);
    if (!w) {
      ++i;
      continue;
    }
    if (w->begin > literalStart)
      literal(value.mid(literalStart, w->begin - literalStart));
    // Adjacent words of one charset are joined as bytes first: a sender may
    // cut a multi-byte character (or a JIS escape run) across two words.
    QString text;
    QByteArray pending;
    QByteArray pendingCharset;
    auto flush = [&] {
      if (!pending.isEmpty())
        text += charset::decode(pending, pendingCharset);
      pending.clear();
    };
    qsizetype end = w->end;
    while (true) {
      if (w->charset.compare(pendingCharset, Qt::CaseInsensitive) != 0) {
        flush();
        pendingCharset = w->charset;
      }
      pending += w->bytes;
      end = w->end;
      qsizetype j = end;
      while (j < value.size() && isBlank(value[j]))
        ++j;
      auto next = wordAt(value, j);
      if (!next)
        break;
      w = next;
    }
    flush();
    words(text);
    i = end;
    literalStart = end;
  }
  if (literalStart < value.size())
    literal(value.mid(literalStart));
}

bool isPlainAscii(const QByteArray &bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != 0x1b; });
}

QByteArray utf8Word(const QString &text) {
  return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
}

// Splits `text` into pieces whose encoded form stays within `limit` bytes,
// never inside a surrogate pair.
template <typename Encode>
QList<QByteArray> encodePieces(const QString &text, qsizetype firstLimit, qsizetype limit,
                               Encode encode) {
  QList<QByteArray> words;
  qsizetype start = 0;
  while (start < text.size()) {
    const qsizetype wordLimit = words.isEmpty() ? firstLimit : limit;
    qsizetype len = 0;
    QByteArray best;
    while (start + len < text.size()) {
      qsizetype step = text[start + len].isHighSurrogate() ? 2 : 1;
      const QByteArray candidate = encode(text.mid(start, len + step));
      if (candidate.size() > wordLimit && len > 0)
        break;
      best = candidate;
      len += step;
      if (candidate.size() > wordLimit)
        break; // one character alone is too long; send it anyway
    }
    words << best;
    start += len;
  }
  return words;
}

} // namespace

QString decodeWords(const QByteArray &value) {
  QString out;
  scan(
      value, [&](const QByteArray &bytes) { out += charset::guess(bytes); },
      [&](const QString &text) { out += text; });
  return out;
}

QByteArray normaliseWords(const QByteArray &value) {
  QByteArray out;
  auto literal = [&](const QByteArray &bytes) {
    if (isPlainAscii(bytes)) {
      out += bytes;
      return;
    }
    // Raw 8-bit text: keep the ASCII around it (addresses, quotes) as it is.
    const QString text = charset::guess(bytes);
    qsizetype i = 0;
    while (i < text.size()) {
      qsizetype j = i;
      const bool ascii = text[i].unicode() < 0x80;
      while (j < text.size() && (text[j].unicode() < 0x80) == ascii)
        ++j;
      const QString run = text.mid(i, j - i);
      out += ascii ? run.toLatin1() : utf8Word(run);
      i = j;
    }
  };
  scan(value, literal, [&](const QString &text) { out += utf8Word(text); });
  return out;
}

QByteArray encodeWords(const QString &text, int firstLineUsed) {
  const QByteArray utf8 = text.toUtf8();
  const QList<QByteArray> parts = utf8.split(' ');
  // A run without blanks too long for one line can only be cut as words.
  const bool foldable =
      std::all_of(parts.begin(), parts.end(), [](const QByteArray &p) { return p.size() < 900; });
  if (isPlainAscii(utf8) && !utf8.contains("=?") && foldable) {
    // Fold long ASCII text at blanks so no line passes 78 characters.
    QByteArray out;
    int lineLength = firstLineUsed;
    for (qsizetype i = 0; i < parts.size(); ++i) {
      const QByteArray &p = parts[i];
      if (i > 0) {
        if (lineLength + 1 + p.size() > 78 && lineLength > 1) {
          out += "\r\n ";
          lineLength = 1;
        } else {
          out += ' ';
          ++lineLength;
        }
      }
      out += p;
      lineLength += static_cast<int>(p.size());
    }
    return out;
  }
  // A line holding encoded-words stays within 76 characters (RFC 2047).
  const qsizetype firstLimit = std::max<qsizetype>(20, 76 - firstLineUsed);
  QList<QByteArray> words;
  if (charset::toIso2022jp(text)) {
    words = encodePieces(text, firstLimit, 75, [](const QString &piece) {
      const auto jis = charset::toIso2022jp(piece);
      return "=?ISO-2022-JP?B?" + jis.value_or(QByteArray()).toBase64() + "?=";
    });
  } else {
    words =
        encodePieces(text, firstLimit, 75, [](const QString &piece) { return utf8Word(piece); });
  }
  return words.join("\r\n ");
}

} // namespace nmail::mime
