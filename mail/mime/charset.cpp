#include "mail/mime/charset.h"

#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <map>
#include <string>

namespace nmail::charset {
namespace {

constexpr char Esc = 0x1b;

const iconv_t NoConverter = reinterpret_cast<iconv_t>(-1);

// Opening a converter loads and looks up its module each time, which costs
// more than converting a whole mail; each thread keeps the ones it opened
// (a charset that has none is remembered too) and resets their state per use.
class Converters {
public:
  ~Converters() {
    for (const auto &[key, cd] : open_)
      if (cd != NoConverter)
        iconv_close(cd);
  }
  iconv_t get(const char *to, const char *from) {
    const std::string key = std::string(to) + '\0' + from;
    auto it = open_.find(key);
    if (it == open_.end())
      it = open_.emplace(key, iconv_open(to, from)).first;
    else if (it->second != NoConverter)
      iconv(it->second, nullptr, nullptr, nullptr, nullptr);
    return it->second;
  }

private:
  std::map<std::string, iconv_t> open_;
};

iconv_t converter(const char *to, const char *from) {
  thread_local Converters converters;
  return converters.get(to, from);
}

// Converts with iconv into UTF-8. Strict: nothing on the first invalid or
// incomplete sequence. Lenient: such a byte becomes U+FFFD and the rest goes on.
std::optional<QString> convert(const QByteArray &bytes, const char *from, bool strict) {
  iconv_t cd = converter("UTF-8", from);
  if (cd == NoConverter)
    return std::nullopt;
  QByteArray out;
  out.reserve(bytes.size() * 2 + 16);
  char buffer[4096];
  char *in = const_cast<char *>(bytes.constData());
  size_t inLeft = static_cast<size_t>(bytes.size());
  bool ok = true;
  while (true) {
    char *outPtr = buffer;
    size_t outLeft = sizeof buffer;
    // A final call with no input flushes a stateful decoder.
    const size_t r = inLeft ? iconv(cd, &in, &inLeft, &outPtr, &outLeft)
                            : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, outPtr - buffer);
    if (r != static_cast<size_t>(-1)) {
      if (inLeft == 0)
        break;
      continue;
    }
    if (errno == E2BIG)
      continue;
    // EILSEQ or EINVAL (a sequence cut at the end).
    if (strict) {
      ok = false;
      break;
    }
    out.append("\xEF\xBF\xBD");
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (inLeft == 0)
      break;
  }
  if (!ok)
    return std::nullopt;
  return QString::fromUtf8(out);
}

QString lenient(const QByteArray &bytes, const char *from) {
  if (auto text = convert(bytes, from, false))
    return *text;
  return QString::fromLatin1(bytes);
}

bool isValidUtf8(const QByteArray &bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = decoder.decode(bytes);
  return !decoder.hasError();
}

bool hasJisEscape(const QByteArray &bytes) {
  return bytes.contains("\x1b$") || bytes.contains("\x1b(I");
}

QString fromUtf8Text(const QByteArray &bytes) {
  QByteArray b = bytes;
  if (b.startsWith("\xEF\xBB\xBF"))
    b.remove(0, 3);
  return QString::fromUtf8(b);
}

std::optional<QString> fromJisTable(const QByteArray &bytes);

QString fromJis(const QByteArray &bytes) {
  if (auto text = fromJisTable(bytes))
    return *text;
  return lenient(jisToEuc(bytes), "EUC-JP-MS");
}

// Windows and JIS give six characters of JIS X 0208 different code points
// (～ U+FF5E is JIS 〜 U+301C, and so on). Windows text uses the former; the
// ISO-2022-JP converter knows only the latter.
QString toJisForms(QString text) {
  for (QChar &c : text) {
    switch (c.unicode()) {
    case 0xff5e:
      c = QChar(0x301c);
      break;
    case 0xff0d:
      c = QChar(0x2212);
      break;
    case 0x2225:
      c = QChar(0x2016);
      break;
    case 0xffe0:
      c = QChar(0x00a2);
      break;
    case 0xffe1:
      c = QChar(0x00a3);
      break;
    case 0xffe2:
      c = QChar(0x00ac);
      break;
    default:
      break;
    }
  }
  return text;
}

} // namespace

namespace {

// Walks ISO-2022-JP text as the program reads it: `plain` takes a byte that
// stands for itself (ASCII, and line breaks and blanks in any mode), `kana` a
// half-width kana (0x21-0x5F), `pair` the two bytes of a JIS X 0208
// character, or of a JIS X 0212 one with `supplementary`. A callback that
// returns false stops the walk, which then returns false.
template <class OnPlain, class OnKana, class OnPair>
bool walkJis(const QByteArray &jis, OnPlain &&plain, OnKana &&kana, OnPair &&pair) {
  enum class Mode { Ascii, Jis0208, Kana, Jis0212 };
  Mode mode = Mode::Ascii;
  Mode beforeShiftOut = Mode::Ascii;
  const int n = jis.size();
  for (int i = 0; i < n;) {
    const auto c = static_cast<unsigned char>(jis[i]);
    if (c == Esc) {
      const QByteArray seq = jis.mid(i + 1, 3);
      if (seq.startsWith("(B") || seq.startsWith("(J") || seq.startsWith("(H")) {
        mode = Mode::Ascii;
        i += 3;
      } else if (seq.startsWith("(I")) {
        mode = Mode::Kana;
        i += 3;
      } else if (seq.startsWith("$@") || seq.startsWith("$B")) {
        mode = Mode::Jis0208;
        i += 3;
      } else if (seq == "$(D") {
        mode = Mode::Jis0212;
        i += 4;
      } else if (seq == "$(Q" || seq == "$(O" || seq == "$(B") {
        mode = Mode::Jis0208; // JIS X 0213 plane 1 agrees with 0208 where both have a character
        i += 4;
      } else if (seq.startsWith("&@")) {
        i += 3; // JIS X 0208-1990 announcer; the ESC $ B that follows does the switch
      } else {
        ++i; // an escape we don't know: drop the ESC, keep the rest readable
      }
      continue;
    }
    if (c == 0x0e) { // SO: half-width kana in 7-bit JIS variants
      beforeShiftOut = mode;
      mode = Mode::Kana;
      ++i;
      continue;
    }
    if (c == 0x0f) {
      mode = beforeShiftOut;
      ++i;
      continue;
    }
    if (c < 0x21 || c >= 0x7f) {
      if (!plain(c)) // line breaks and blanks pass in any mode
        return false;
      ++i;
      continue;
    }
    switch (mode) {
    case Mode::Ascii:
      if (!plain(c))
        return false;
      ++i;
      break;
    case Mode::Kana:
      if (c <= 0x5f && !kana(c))
        return false;
      ++i;
      break;
    case Mode::Jis0208:
    case Mode::Jis0212: {
      if (i + 1 >= n)
        return true; // a lone half of a character at the very end
      const auto d = static_cast<unsigned char>(jis[i + 1]);
      if (d < 0x21 || d >= 0x7f) {
        ++i; // a broken pair: drop the first byte, keep the control
        break;
      }
      if (!pair(c, d, mode == Mode::Jis0212))
        return false;
      i += 2;
      break;
    }
    }
  }
  return true;
}

// ISO-2022-JP read through a table made once out of iconv's EUC-JP-MS (the
// converter the text otherwise goes through, byte by byte rewritten as
// EUC-JP): each JIS X 0208 character and half-width kana converted alone.
// A mail's text costs a lookup per character instead of a rewrite and an
// iconv run. Text the table does not answer for (a character iconv refuses,
// JIS X 0212, 8-bit bytes, which EUC-JP reads together with what follows)
// takes the iconv way, so the result is always the same.
class JisTable {
public:
  JisTable() {
    const iconv_t cd = iconv_open("UTF-16LE", "EUC-JP-MS");
    if (cd == NoConverter)
      return;
    for (int row = 0; row < 94; ++row)
      for (int cell = 0; cell < 94; ++cell) {
        const char euc[2] = {char(0xa1 + row), char(0xa1 + cell)};
        pairs_[row * 94 + cell] = alone(cd, euc, 2);
      }
    for (int k = 0; k < 63; ++k) {
      const char euc[2] = {char(0x8e), char(0xa1 + k)};
      kana_[k] = alone(cd, euc, 2);
    }
    iconv_close(cd);
    usable_ = true;
  }

  std::optional<QString> decode(const QByteArray &jis) const {
    if (!usable_)
      return std::nullopt;
    QString out(jis.size(), Qt::Uninitialized);
    char16_t *o = reinterpret_cast<char16_t *>(out.data());
    const bool whole = walkJis(
        jis,
        [&](unsigned char c) {
          if (c >= 0x80)
            return false;
          *o++ = c;
          return true;
        },
        [&](unsigned char c) {
          const char16_t u = kana_[c - 0x21];
          *o++ = u;
          return u != None;
        },
        [&](unsigned char c, unsigned char d, bool supplementary) {
          const char16_t u = supplementary ? None : pairs_[(c - 0x21) * 94 + (d - 0x21)];
          *o++ = u;
          return u != None;
        });
    if (!whole)
      return std::nullopt;
    out.truncate(o - reinterpret_cast<const char16_t *>(out.constData()));
    return out;
  }

private:
  static constexpr char16_t None = 0;

  // The one UTF-16 unit iconv gives for `n` bytes alone, or None.
  static char16_t alone(iconv_t cd, const char *bytes, size_t n) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(bytes);
    size_t inLeft = n;
    char16_t unit[2] = {0, 0};
    char *o = reinterpret_cast<char *>(unit);
    size_t oLeft = sizeof unit;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    const bool one = r != size_t(-1) && inLeft == 0 && oLeft == sizeof unit - 2;
    // A surrogate would be half a character.
    return one && (unit[0] < 0xd800 || unit[0] > 0xdfff) ? unit[0] : None;
  }

  bool usable_ = false;
  char16_t pairs_[94 * 94] = {};
  char16_t kana_[63] = {};
};

std::optional<QString> fromJisTable(const QByteArray &bytes) {
  static const JisTable table;
  return table.decode(bytes);
}

} // namespace

QByteArray jisToEuc(const QByteArray &jis) {
  QByteArray out;
  out.reserve(jis.size());
  walkJis(
      jis,
      [&](unsigned char c) {
        out.append(static_cast<char>(c));
        return true;
      },
      [&](unsigned char c) {
        out.append('\x8e');
        out.append(static_cast<char>(c | 0x80));
        return true;
      },
      [&](unsigned char c, unsigned char d, bool supplementary) {
        if (supplementary)
          out.append('\x8f');
        out.append(static_cast<char>(c | 0x80));
        out.append(static_cast<char>(d | 0x80));
        return true;
      });
  return out;
}

QString fromJisThroughIconv(const QByteArray &jis) {
  return lenient(jisToEuc(jis), "EUC-JP-MS");
}

QString guess(const QByteArray &bytes) {
  if (isValidUtf8(bytes) && !hasJisEscape(bytes))
    return fromUtf8Text(bytes);
  if (hasJisEscape(bytes))
    return fromJis(bytes);
  // EUC-JP takes 0x80-0x8d as C1 controls, which no mail means: CP932 bytes.
  if (auto euc = convert(bytes, "EUC-JP-MS", true);
      euc && std::none_of(euc->begin(), euc->end(),
                          [](QChar c) { return c.unicode() >= 0x80 && c.unicode() < 0xa0; }))
    return *euc;
  return lenient(bytes, "CP932");
}

QString decode(const QByteArray &bytes, const QByteArray &charsetName) {
  const QByteArray cs = charsetName.trimmed().toLower();
  if (cs.isEmpty() || cs == "us-ascii" || cs == "ascii" || cs == "unknown-8bit" ||
      cs == "x-unknown")
    return guess(bytes);
  if (cs == "utf-8" || cs == "utf8") {
    if (isValidUtf8(bytes))
      return fromUtf8Text(bytes);
    return guess(bytes); // mislabelled: usually CP932 typed into a UTF-8 form
  }
  if (cs.startsWith("iso-2022-jp") || cs == "csiso2022jp" || cs == "jis" || cs == "x-jis")
    return fromJis(bytes);
  if (cs == "shift_jis" || cs == "shift-jis" || cs == "sjis" || cs == "x-sjis" ||
      cs == "windows-31j" || cs == "cp932" || cs == "ms_kanji" || cs == "csshiftjis" ||
      cs == "ms932")
    return lenient(bytes, "CP932");
  if (cs == "euc-jp" || cs == "x-euc-jp" || cs == "eucjp" || cs == "cseucpkdfmtjapanese" ||
      cs == "euc-jp-ms")
    return lenient(bytes, "EUC-JP-MS");
  // Japanese text behind a Western label is common enough to check for.
  if (hasJisEscape(bytes))
    return fromJis(bytes);
  if (auto text = convert(bytes, cs.constData(), false))
    return *text;
  return guess(bytes);
}

std::optional<QByteArray> toIso2022jp(const QString &text) {
  iconv_t cd = converter("ISO-2022-JP", "UTF-8");
  if (cd == NoConverter)
    return std::nullopt;
  QByteArray in = toJisForms(text).toUtf8();
  QByteArray out;
  char buffer[4096];
  char *inPtr = in.data();
  size_t inLeft = static_cast<size_t>(in.size());
  bool ok = true;
  while (true) {
    char *outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t r = inLeft ? iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft)
                            : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, outPtr - buffer);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG)
        continue;
      ok = false;
      break;
    }
    if (inLeft == 0 && r != static_cast<size_t>(-1)) {
      // Flush the return to ASCII once, then stop.
      char *flushPtr = buffer;
      size_t flushLeft = sizeof buffer;
      iconv(cd, nullptr, nullptr, &flushPtr, &flushLeft);
      out.append(buffer, flushPtr - buffer);
      break;
    }
  }
  // JIS-Roman and friends would come back as other characters (¥ → \):
  // only what reads back identically counts as fitting.
  if (!ok || toJisForms(fromJis(out)) != toJisForms(text))
    return std::nullopt;
  return out;
}

QString crlf(const QString &text) {
  QString out;
  out.reserve(text.size() + text.size() / 32);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'\r') {
      out += QLatin1String("\r\n");
      if (i + 1 < text.size() && text[i + 1] == u'\n')
        ++i;
    } else if (c == u'\n') {
      out += QLatin1String("\r\n");
    } else {
      out += c;
    }
  }
  return out;
}

QString oneLine(const QString &text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c == 0)
      continue; // a NUL is no character of the text (and would cut it short)
    if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
      ++i; // CR LF is one line break, one blank
    const bool control = c < 0x20 || c == 0x7f || c == 0x2028 || c == 0x2029;
    out += control ? QChar(u' ') : text[i];
  }
  return out;
}

} // namespace nmail::charset
