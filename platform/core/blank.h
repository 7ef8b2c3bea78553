// What counts as a blank between words where text is read: a space or a
// tab, and the line breaks that a folded header field or a line of a file
// may still hold. (trimBlanks in ansi.h is narrower on purpose: the Windows
// readers removed U+0020 alone around a record's fields.)
#pragma once

namespace platform {

constexpr bool isBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

} // namespace platform
