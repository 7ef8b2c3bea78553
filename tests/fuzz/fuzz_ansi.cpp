// The CP932 field cutter and converters on any bytes and any text: a cut
// field never grows, never splits a double-byte character, and a field is
// always exactly as wide as asked.
#include "platform/core/ansi.h"
#include "tests/fuzz/fuzzsupport.h"

#include <cstdlib>

namespace {

// Whether `cut` ends inside a double-byte character of `whole`.
bool splitsACharacter(const QByteArray &whole, qsizetype cut) {
  qsizetype pos = 0;
  while (pos < cut) {
    const uchar c = uchar(whole[pos]);
    const bool lead = (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
    pos += lead && pos + 1 < whole.size() ? 2 : 1;
  }
  return pos != cut;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  const int width = data[0];
  const QByteArray bytes = fuzz::bytes(data + 1, size - 1);

  const QByteArray cut = platform::cutAnsi(bytes, width);
  if (cut.size() > width || !bytes.startsWith(cut) || splitsACharacter(bytes, cut.size()))
    std::abort();
  const QString text = platform::fromAnsi(bytes);
  platform::readAnsiField(bytes, true);
  platform::readAnsiField(bytes, false);
  platform::trimBlanks(text);

  // The same bytes read as UTF-8 text, as typed into a field.
  const QString typed = QString::fromUtf8(bytes);
  const QByteArray field = platform::ansiField(typed, width);
  if (field.size() != width)
    std::abort();
  if (platform::fitsAnsi(typed) && platform::fromAnsi(platform::toAnsi(typed)) != typed)
    std::abort();
  return 0;
}
