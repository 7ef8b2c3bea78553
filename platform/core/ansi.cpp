#include "platform/core/ansi.h"

#include <QtGlobal>

#include <iconv.h>

#include <cerrno>
#include <mutex>
#include <optional>

// glibc's CP932 table is Microsoft's: 0x8160 reads as U+FF5E and 0x817C as
// U+FF0D, as on Windows, and U+301C and U+2212 are written as those same byte
// pairs (Windows' best fit), so text read from these files comes back with
// the Windows characters. NEC row 13 (①, ㈱) and the IBM extensions are
// included; their NEC-selected duplicates read as the same characters.

namespace platform {
namespace {

// iconv descriptors carry conversion state, so each use resets it; one pair
// shared under a mutex keeps opening them off the hot path of record loops.
class Converter {
public:
  Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {
    // Without the converter every text would be lost; say so loudly.
    if (!valid())
      qCritical("Korvex: the %s to %s converter is missing (glibc gconv modules)", from, to);
  }
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1))
      iconv_close(cd_);
  }
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much as possible. `onBadInput` is called with the remaining
  // input when a sequence cannot be converted; it returns how many input
  // bytes to skip and appends its own replacement to `out`.
  template <class Bad> QByteArray run(const char *data, size_t len, Bad onBadInput) {
    std::lock_guard<std::mutex> lock(mutex_);
    QByteArray out;
    if (!valid())
      return out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(data);
    size_t inLeft = len;
    char buffer[4096];
    while (inLeft > 0) {
      char *o = buffer;
      size_t oLeft = sizeof buffer;
      size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
      out.append(buffer, int(o - buffer));
      if (r != static_cast<size_t>(-1))
        break;
      if (errno == E2BIG)
        continue;
      // EILSEQ, or EINVAL (a sequence cut off at the end of the input).
      size_t skip = onBadInput(in, inLeft, errno == EINVAL, out);
      if (skip == 0 || skip > inLeft)
        skip = inLeft;
      in += skip;
      inLeft -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    char *o = buffer;
    size_t oLeft = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &o, &oLeft);
    out.append(buffer, int(o - buffer));
    return out;
  }

private:
  iconv_t cd_;
  std::mutex mutex_;
};

Converter &encoder() {
  static Converter c("CP932", "UTF-16LE");
  return c;
}
Converter &decoder() {
  static Converter c("UTF-16LE", "CP932");
  return c;
}

bool isLeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

} // namespace

QByteArray toAnsi(const QString &text) {
  const char *data = reinterpret_cast<const char *>(text.utf16());
  const size_t len = size_t(text.size()) * 2;
  return encoder().run(data, len, [](const char *in, size_t left, bool, QByteArray &out) -> size_t {
    out.append('?');
    // A surrogate pair stands for one character and becomes one "?".
    if (left >= 4) {
      const char16_t u = char16_t(uchar(in[0]) | (uchar(in[1]) << 8));
      const char16_t v = char16_t(uchar(in[2]) | (uchar(in[3]) << 8));
      if (QChar::isHighSurrogate(u) && QChar::isLowSurrogate(v))
        return 4;
    }
    return 2;
  });
}

namespace {

QString fromAnsiThroughIconv(const char *data, size_t size) {
  QByteArray utf16 = decoder().run(
      data, size, [](const char *in, size_t left, bool, QByteArray &out) -> size_t {
        out.append("\xFD\xFF", 2); // U+FFFD, little-endian
        // A lead byte followed by a byte that cannot trail takes only itself.
        if (left >= 2 && isLeadByte(uchar(in[0]))) {
          const uchar t = uchar(in[1]);
          if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC))
            return 2;
        }
        return 1;
      });
  return QString(reinterpret_cast<const QChar *>(utf16.constData()), utf16.size() / 2);
}

// The CP932 table read once out of iconv, so that converting thousands of
// short fields (the viewer's rows) costs a lookup per character instead of
// an iconv call per field. Every byte and every pair of bytes is converted
// alone, and the decoding below gives what iconv with the replacement rule
// above gives for any input. Should iconv ever say something this table
// cannot hold (a character outside the BMP, a single byte that wants a
// second one), the table is not used.
class Cp932Table {
public:
  static constexpr char16_t Invalid = 0xFFFF; // iconv refuses the bytes

  Cp932Table() { usable_ = build(); }
  bool usable() const { return usable_; }

  QString decode(const char *data, qsizetype size) const {
    QString out(size, Qt::Uninitialized);
    char16_t *o = reinterpret_cast<char16_t *>(out.data());
    const uchar *in = reinterpret_cast<const uchar *>(data);
    const uchar *end = in + size;
    while (in < end) {
      const uchar b = *in;
      if (!isLeadByte(b)) {
        const char16_t c = single_[b];
        *o++ = c == Invalid ? char16_t(0xFFFD) : c;
        ++in;
        continue;
      }
      if (end - in < 2) {
        *o++ = 0xFFFD;
        ++in;
        continue;
      }
      const uchar t = in[1];
      const char16_t c = pair_[leadIndex(b) * 256 + t];
      if (c != Invalid) {
        *o++ = c;
        in += 2;
      } else {
        *o++ = 0xFFFD;
        in += (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC) ? 2 : 1;
      }
    }
    out.truncate(o - reinterpret_cast<const char16_t *>(out.constData()));
    return out;
  }

private:
  // 0x81..0x9F and 0xE0..0xFC as 0..59.
  static int leadIndex(uchar b) { return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31; }

  // One UTF-16 unit for `n` bytes converted alone; Invalid when iconv
  // refuses them; nothing when iconv answers in a way the table cannot hold.
  static std::optional<char16_t> convertAlone(iconv_t cd, const char *bytes, size_t n) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(bytes);
    size_t inLeft = n;
    char16_t unit[2];
    char *o = reinterpret_cast<char *>(unit);
    size_t oLeft = sizeof unit;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    const size_t produced = (sizeof unit - oLeft) / 2;
    if (r == size_t(-1))
      return errno == EILSEQ && produced == 0 && inLeft == n ? std::optional(Invalid)
                                                               : std::nullopt;
    if (inLeft != 0 || produced != 1 || unit[0] == Invalid)
      return std::nullopt;
    return unit[0];
  }

  bool build() {
    const iconv_t cd = iconv_open("UTF-16LE", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
      return false;
    bool ok = true;
    for (int b = 0; b < 256 && ok; ++b) {
      const char byte = char(b);
      const std::optional<char16_t> c = convertAlone(cd, &byte, 1);
      if (isLeadByte(uchar(b))) {
        // A lead byte alone is an unfinished character, never one of its own.
        ok = !c || *c == Invalid;
        continue;
      }
      ok = c.has_value();
      single_[b] = c.value_or(Invalid);
    }
    for (int lead = 0x81; lead <= 0xFC && ok; ++lead) {
      if (!isLeadByte(uchar(lead)))
        continue;
      for (int t = 0; t < 256 && ok; ++t) {
        const char two[2] = {char(lead), char(t)};
        const std::optional<char16_t> c = convertAlone(cd, two, 2);
        ok = c.has_value();
        pair_[leadIndex(uchar(lead)) * 256 + t] = c.value_or(Invalid);
      }
    }
    iconv_close(cd);
    return ok;
  }

  bool usable_ = false;
  char16_t single_[256];
  char16_t pair_[60 * 256];
};

const Cp932Table &cp932Table() {
  static const Cp932Table table;
  return table;
}

} // namespace

QString fromAnsi(const char *data, qsizetype size) {
  if (size <= 0)
    return {};
  const Cp932Table &table = cp932Table();
  return table.usable() ? table.decode(data, size) : fromAnsiThroughIconv(data, size_t(size));
}

QString fromAnsi(const QByteArray &bytes) {
  return fromAnsi(bytes.constData(), bytes.size());
}

QString fromAnsiWithIconv(const QByteArray &bytes) {
  return fromAnsiThroughIconv(bytes.constData(), size_t(bytes.size()));
}

bool fitsAnsi(const QString &text) {
  bool ok = true;
  const char *data = reinterpret_cast<const char *>(text.utf16());
  const QByteArray bytes =
      encoder().run(data, size_t(text.size()) * 2, [&ok](const char *, size_t, bool, QByteArray &) -> size_t {
        ok = false;
        return 2;
      });
  return ok && fromAnsi(bytes) == text;
}

QByteArray cutAnsi(const QByteArray &bytes, int maxBytes) {
  if (maxBytes <= 0)
    return {};
  if (bytes.size() <= maxBytes)
    return bytes;
  // Walk character by character so that a double-byte character whose
  // trail byte would fall outside the limit is left out whole.
  int pos = 0;
  while (pos < maxBytes) {
    const int step = isLeadByte(uchar(bytes[pos])) && pos + 1 < bytes.size() ? 2 : 1;
    if (pos + step > maxBytes)
      break;
    pos += step;
  }
  return bytes.left(pos);
}

QByteArray ansiField(const QString &text, int width) {
  if (width <= 0)
    return {};
  QByteArray bytes = cutAnsi(toAnsi(text), width);
  if (bytes.size() < width)
    bytes.append(QByteArray(width - bytes.size(), ' '));
  return bytes;
}

QString trimBlanks(const QString &text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin) == u' ')
    ++begin;
  while (end > begin && text.at(end - 1) == u' ')
    --end;
  return text.mid(begin, end - begin);
}

QString readAnsiField(const QByteArray &field, bool trim) {
  const QString text = fromAnsi(field);
  return trim ? trimBlanks(text) : text;
}

} // namespace platform
