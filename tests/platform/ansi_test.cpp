// CP932 as the Windows program wrote it. The golden bytes below are those of
// Windows code page 932 (NEC row 13 and the IBM extensions included).
#include "platform/core/ansi.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
} // namespace

TEST(Ansi, CharactersThatBiteHaveWindowsBytes) {
  struct Case {
    const char16_t *text;
    const char *bytes;
  } cases[] = {
      {u"あ", "82a0"},
      {u"漢字", "8abf8e9a"},
      {u"～", "8160"},   // U+FF5E, the wave dash Windows uses
      {u"〜", "8160"},   // U+301C, the JIS wave dash, lands on the same byte pair
      {u"－", "817c"},   // U+FF0D
      {u"−", "817c"},    // U+2212 minus, the same byte pair
      {u"①", "8740"},   // NEC row 13
      {u"㈱", "878a"},
      {u"ｱｲｳ", "b1b2b3"}, // half-width kana: one byte each
      {u"ﾞ", "de"},
      {u"髙", "fbfc"},   // IBM extension
      {u"\\~", "5c7e"},  // ASCII stays ASCII
  };
  for (const Case &c : cases) {
    const QString text = QString::fromUtf16(c.text);
    EXPECT_EQ(toAnsi(text), hex(c.bytes)) << text.toStdString();
  }
}

TEST(Ansi, BytesDecodeTheWayWindowsDoes) {
  EXPECT_EQ(fromAnsi(hex("8160")), QString::fromUtf16(u"～"));  // not U+301C
  EXPECT_EQ(fromAnsi(hex("817c")), QString::fromUtf16(u"－"));  // not U+2212
  EXPECT_EQ(fromAnsi(hex("8161")), QString::fromUtf16(u"∥"));
  EXPECT_EQ(fromAnsi(hex("8740")), QString::fromUtf16(u"①"));
  EXPECT_EQ(fromAnsi(hex("fa4a")), QString::fromUtf16(u"Ⅰ"));   // IBM duplicate of 0x8754
  EXPECT_EQ(fromAnsi(hex("b1")), QString::fromUtf16(u"ｱ"));
}

TEST(Ansi, WhatCp932CannotHold) {
  EXPECT_EQ(toAnsi(QString::fromUtf16(u"a😀b")), QByteArray("a?b")); // one "?" for a surrogate pair
  EXPECT_EQ(toAnsi(QString::fromUtf16(u"한")), QByteArray("?"));
  EXPECT_TRUE(fitsAnsi(QString::fromUtf16(u"テスト～①ｱ")));
  EXPECT_FALSE(fitsAnsi(QString::fromUtf16(u"한")));
  // The minus and the JIS wave dash come back as other characters.
  EXPECT_FALSE(fitsAnsi(QString::fromUtf16(u"−")));
  EXPECT_FALSE(fitsAnsi(QString::fromUtf16(u"〜")));
}

TEST(Ansi, BadBytesBecomeReplacementCharacters) {
  EXPECT_EQ(fromAnsi(hex("41ff42")), QString::fromUtf16(u"A\uFFFDB"));
  // A lead byte at the very end of the data, as in a field cut by another
  // program.
  EXPECT_EQ(fromAnsi(hex("4182")), QString::fromUtf16(u"A\uFFFD"));
  // A lead byte followed by a byte that cannot trail keeps that byte.
  EXPECT_EQ(fromAnsi(hex("820a41")), QString::fromUtf16(u"\uFFFD\nA"));
  EXPECT_EQ(fromAnsi(QByteArray()), QString());
}

// The table the fast conversion reads must give what iconv gives for any
// bytes: every single byte and pair, and random runs full of broken
// characters, lead bytes at the end and bytes that cannot trail.
TEST(Ansi, TableConversionMatchesIconvOnAnyBytes) {
  QByteArray all;
  for (int a = 0; a < 256; ++a) {
    all.append(char(a));
    EXPECT_EQ(fromAnsi(QByteArray(1, char(a))), fromAnsiWithIconv(QByteArray(1, char(a)))) << a;
    for (int b = 0; b < 256; ++b) {
      const char two[2] = {char(a), char(b)};
      const QByteArray pair(two, 2);
      ASSERT_EQ(fromAnsi(pair), fromAnsiWithIconv(pair)) << a << ' ' << b;
    }
  }
  EXPECT_EQ(fromAnsi(all), fromAnsiWithIconv(all));
  quint32 seed = 12345;
  for (int run = 0; run < 2000; ++run) {
    QByteArray bytes;
    const int length = int(seed % 40);
    for (int i = 0; i < length; ++i) {
      seed = seed * 1103515245u + 12345u;
      // Lead and trail bytes more often than chance would pick them.
      const uchar pick[] = {0x81, 0x82, 0x9f, 0xe0, 0xfc, 0x40, 0x7f, 0x80, 0xa0, 0xfd, 0x20, 0x00};
      bytes.append(seed & 0x100 ? char(pick[(seed >> 12) % sizeof pick]) : char(seed >> 16));
    }
    ASSERT_EQ(fromAnsi(bytes), fromAnsiWithIconv(bytes)) << bytes.toHex().constData();
  }
}

TEST(Ansi, FieldsAreCutOnCharacterBoundariesAndPadded) {
  // "あいう" is 6 bytes: a 5-byte field takes two characters and a blank.
  EXPECT_EQ(ansiField(QString::fromUtf16(u"あいう"), 5), hex("82a082a220"));
  EXPECT_EQ(ansiField(QString::fromUtf16(u"あいう"), 6), hex("82a082a282a4"));
  EXPECT_EQ(ansiField(QString::fromUtf16(u"aあ"), 2), QByteArray("a "));
  EXPECT_EQ(ansiField(QString::fromUtf16(u"ｱｲｳｴ"), 3), hex("b1b2b3"));
  EXPECT_EQ(ansiField(QString(), 4), QByteArray("    "));
  EXPECT_EQ(ansiField(QString::fromUtf16(u"abc"), 0), QByteArray());
  EXPECT_EQ(cutAnsi(hex("41828282"), 2), hex("41"));
  EXPECT_EQ(cutAnsi(hex("418282"), 3), hex("418282"));
}

TEST(Ansi, ReadingFieldsTrimsOnlyAsciiBlanks) {
  EXPECT_EQ(readAnsiField(QByteArray("  abc  ")), QString("abc"));
  EXPECT_EQ(readAnsiField(QByteArray("  abc  "), false), QString("  abc  "));
  EXPECT_EQ(trimBlanks(QString::fromUtf16(u"\u3000件名\t ")), QString::fromUtf16(u"\u3000件名\t"));
  EXPECT_EQ(trimBlanks(QString("   ")), QString());
}
