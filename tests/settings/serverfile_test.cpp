// The qelmar.ini format, held against bytes written by hand.
#include "settings/serverfile.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>
#include <string>

using settings::ServerSettings;

namespace {

ServerSettings parse(const QByteArray &bytes, ServerSettings start = {}) {
  settings::applyServerFile(bytes, start);
  return start;
}

} // namespace

TEST(ServerFileRead, FourLinesAsTheDialogWritesThem) {
  const ServerSettings s =
      parse("SMTP=smtp.example.jp\r\nPOP3=pop.example.jp\r\nMAIL=taro@example.jp\r\nAPOP=1\r\n");
  EXPECT_EQ(s.smtp, u"smtp.example.jp");
  EXPECT_EQ(s.pop3, u"pop.example.jp");
  EXPECT_EQ(s.mail, u"taro@example.jp");
  EXPECT_EQ(s.apop, 1);
}

TEST(ServerFileRead, KeysAreCaseSensitiveAndOtherLinesSkipped) {
  const ServerSettings s = parse("smtp=lower.example\r\n[EXEINI]\r\nSMTP =spaced\r\n"
                                 "# comment\r\nPop3=mixed\r\n\r\n=\r\nAPOP\r\n");
  EXPECT_EQ(s.smtp, u"");
  EXPECT_EQ(s.pop3, u"");
  EXPECT_EQ(s.apop, 0);
}

TEST(ServerFileRead, ValueKeepsBlanksAndEqualsSigns) {
  const ServerSettings s = parse("MAIL= a=b c \r\n");
  EXPECT_EQ(s.mail, u" a=b c ");
}

TEST(ServerFileRead, LongValueIsCutToHundredCharacters) {
  const QByteArray name(150, 'x');
  EXPECT_EQ(parse("SMTP=" + name + "\r\n").smtp, QString(100, u'x'));
  // Characters, not bytes: 120 double-byte characters keep 100 of them.
  QByteArray kana;
  for (int i = 0; i < 120; ++i)
    kana += "\x82\xa0"; // あ
  EXPECT_EQ(parse("POP3=" + kana + "\r\n").pop3, QString(100, QChar(0x3042)));
}

TEST(ServerFileRead, LastLineOfAKeyWinsAndMissingKeysKeepTheirValue) {
  ServerSettings before{QStringLiteral("old-smtp"), QStringLiteral("old-pop"),
                        QStringLiteral("old@mail"), 1};
  const ServerSettings s = parse("POP3=first\r\nPOP3=second\r\n", before);
  EXPECT_EQ(s.pop3, u"second");
  EXPECT_EQ(s.smtp, u"old-smtp");
  EXPECT_EQ(s.mail, u"old@mail");
  EXPECT_EQ(s.apop, 1);
  EXPECT_EQ(parse("POP3=x\r\nPOP3=\r\n", before).pop3, u"");
}

TEST(ServerFileRead, LineEndings) {
  // CR alone, CR LF, a lone LF (Unix editors), and no end on the last line.
  const ServerSettings s = parse("SMTP=a\rPOP3=b\nMAIL=c\r\nAPOP=1");
  EXPECT_EQ(s.smtp, u"a");
  EXPECT_EQ(s.pop3, u"b");
  EXPECT_EQ(s.mail, u"c");
  EXPECT_EQ(s.apop, 1);
  EXPECT_EQ(parse("SMTP=a\r\r\nPOP3=b").pop3, u"b");
  EXPECT_EQ(parse(QByteArray()).smtp, u"");
}

TEST(ServerFileRead, ShiftJisValue) {
  // "メール" in CP932, and the wave dash that CP932 maps to U+FF5E.
  EXPECT_EQ(parse("MAIL=\x83\x81\x81\x5b\x83\x8b\x81\x60\r\n").mail, u"メール～");
}

TEST(ApopValue, LeadingNumberRoundedHalfToEvenAndClamped) {
  const struct {
    const char16_t *text;
    qint16 value;
  } rows[] = {
      {u"1", 1},           {u"0", 0},           {u"", 0},          {u"abc", 0},
      {u"1.5", 2},         {u"2.5", 2},         {u"0.5", 0},       {u"3.5", 4},
      {u"-1.5", -2},       {u"-0.4", 0},        {u"2.51", 3},      {u" 7x", 7},
      {u"12abc", 12},      {u".5", 0},          {u".6", 1},        {u"1e3", 1000},
      {u"1E+2", 100},      {u"2e", 2},          {u"+3", 3},        {u"-", 0},
      {u"32767", 32767},   {u"32767.5", 32767}, {u"99999", 32767}, {u"-32768", -32768},
      {u"-99999", -32768}, {u"1e400", 32767},   {u"1,5", 1},       {u"１", 0},
  };
  for (const auto &row : rows)
    EXPECT_EQ(settings::apopValue(QString::fromUtf16(row.text)), row.value)
        << QString::fromUtf16(row.text).toStdString();
}

// Regression: under a locale whose decimal mark is a comma (Qt takes the
// user's locale at start), "APOP=0.6" read as 0.
TEST(ApopValue, PointIsTheDecimalMarkWhateverTheLocale) {
  QTemporaryDir locales;
  ASSERT_TRUE(locales.isValid());
  QProcess localedef;
  localedef.start(QStringLiteral("localedef"),
                  {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                   QStringLiteral("UTF-8"), locales.filePath(QStringLiteral("de_DE.UTF-8"))});
  if (!localedef.waitForFinished(60000) || localedef.exitCode() != 0)
    GTEST_SKIP() << "no German locale can be built here";
  const QByteArray oldPath = qgetenv("LOCPATH");
  const std::string oldLocale = setlocale(LC_NUMERIC, nullptr);
  qputenv("LOCPATH", QFile::encodeName(locales.path()));
  const bool german = setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  qint16 read = -1;
  if (german)
    read = settings::apopValue(QStringLiteral("0.6"));
  setlocale(LC_NUMERIC, oldLocale.c_str());
  if (oldPath.isNull())
    qunsetenv("LOCPATH");
  else
    qputenv("LOCPATH", oldPath);
  if (!german)
    GTEST_SKIP() << "the German locale does not load";
  EXPECT_EQ(read, 1);
}

TEST(ServerFileWrite, GoldenBytes) {
  const auto bytes = settings::serverFileBytes({QStringLiteral("smtp.example.jp"),
                                                QStringLiteral("pop.example.jp"),
                                                QStringLiteral(u"太郎@example.jp"), 1});
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, QByteArray("SMTP=smtp.example.jp\r\nPOP3=pop.example.jp\r\n"
                               "MAIL=\x91\xbe\x98\x59@example.jp\r\nAPOP=1\r\n"));

  const auto empty = settings::serverFileBytes({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
}

TEST(ServerFileWrite, RoundTripKeepsEveryValue) {
  const ServerSettings in{QStringLiteral(" smtp "), QStringLiteral("pop=3"),
                          QStringLiteral(u"①㈱ｶﾅ"), -5};
  const auto bytes = settings::serverFileBytes(in);
  ASSERT_TRUE(bytes);
  const ServerSettings out = parse(*bytes);
  EXPECT_EQ(out.smtp, in.smtp);
  EXPECT_EQ(out.pop3, in.pop3);
  EXPECT_EQ(out.mail, in.mail);
  EXPECT_EQ(out.apop, in.apop);
}

TEST(ServerFileWrite, RefusesValuesTheFileCannotHold) {
  // A line break would smuggle in a line of its own.
  EXPECT_FALSE(settings::serverFileBytes({QStringLiteral("a\r\nPOP3=evil"), {}, {}, 0}));
  EXPECT_FALSE(settings::serverFileBytes({{}, QStringLiteral("a\nb"), {}, 0}));
  // CP932 has no "é"; it would come back as "?".
  EXPECT_FALSE(settings::serverFileBytes({{}, {}, QStringLiteral(u"josé@example.jp"), 0}));
}
