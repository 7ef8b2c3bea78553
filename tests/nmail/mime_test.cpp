// Reading, unpacking and building mail the way Japanese mail really arrives:
// JIS with NEC symbols, CP932 labelled Shift_JIS, names in every encoding a
// mailer ever invented, and senders who would like to write outside the
// attachment folder.
#include "mail/mime/charset.h"
#include "mail/mime/mime.h"
#include "mail/net/nmail.h"
#include "tests/support/hostilemail.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <gmime/gmime.h>

#include <random>

#include <sys/mman.h>
#include <unistd.h>

// Failures show the text, not its UTF-16 code units.
inline void PrintTo(const QString &text, std::ostream *out) {
  *out << text.toStdString();
}

using namespace nmail;
using namespace nmail::mime;

namespace {

// Test mail is written with "\n"; mail on the wire has CR LF.
QByteArray wire(QByteArray text) {
  return text.replace("\n", "\r\n");
}

QByteArray b64(const QByteArray &bytes) {
  return bytes.toBase64();
}

// A mail with the text "hi" and one attachment, f.bin, whose base64 as it
// stands in the mail is `body`.
QByteArray base64AttachmentMail(const QByteArray &body) {
  return wire("From: a@x.jp\nSubject: s\nMIME-Version: 1.0\n"
              "Content-Type: multipart/mixed; boundary=\"B\"\n\n--B\n"
              "Content-Type: text/plain\n\nhi\n--B\n"
              "Content-Type: application/octet-stream\n"
              "Content-Transfer-Encoding: base64\n"
              "Content-Disposition: attachment; filename=\"f.bin\"\n\n") +
         body + "\r\n--B--\r\n";
}

const QByteArray JisTestMaru = "\x1b$B%F%9%H-!\x1b(B";                // テスト①
const QByteArray JisKenmei = "\x1b$B7oL>\x1b(B";                      // 件名
const QByteArray JisYamadaTaro = "\x1b$B;3ED\x1b(B \x1b$BB@O:\x1b(B"; // 山田 太郎

QByteArray textMail(const QByteArray &contentType, const QByteArray &body,
                    const QByteArray &extraHeaders = QByteArray()) {
  return wire("From: a@example.jp\nSubject: t\n" + extraHeaders + "MIME-Version: 1.0\n" +
              (contentType.isEmpty() ? QByteArray() : "Content-Type: " + contentType + "\n") +
              "\n") +
         body;
}

QByteArray mixedMail(const QByteArray &text, const QList<QByteArray> &attachmentParts) {
  QByteArray m = "From: a@example.jp\nSubject: files\nMIME-Version: 1.0\n"
                 "Content-Type: multipart/mixed; boundary=\"XX\"\n\n--XX\n"
                 "Content-Type: text/plain; charset=ISO-2022-JP\n\n" +
                 text + "\n";
  for (const QByteArray &p : attachmentParts)
    m += "--XX\n" + p + "\n";
  m += "--XX--\n";
  return wire(m);
}

QByteArray attachmentPart(const QByteArray &headerParams, const QByteArray &data,
                          const QByteArray &type = "application/octet-stream") {
  return "Content-Type: " + type + "\nContent-Transfer-Encoding: base64\n" +
         "Content-Disposition: attachment;" + headerParams + "\n\n" + b64(data) + "\n";
}

// Every file under `root`, relative to it.
QStringList filesUnder(const QString &root) {
  QStringList out;
  QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext())
    out << QDir(root).relativeFilePath(it.next());
  out.sort();
  return out;
}

QByteArray fileBytes(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The mail as the transport keeps a large one: in a file, read from there.
Source inFile(const QByteArray &mail) {
  const int fd = ::memfd_create("mail", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, mail.constData(), size_t(mail.size())), mail.size());
  return Source::fromFile(fd);
}

class Folder : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(QDir(root.path()).mkdir(QStringLiteral("添付フォルダ")));
    folder = root.filePath(QStringLiteral("添付フォルダ"));
  }
  QStringList visible() const { return QDir(folder).entryList(QDir::Files, QDir::Name); }
  QTemporaryDir root;
  QString folder;
};

} // namespace

// ---- charsets -----------------------------------------------------------

TEST(MimeCharsets, JapaneseBodiesDecodeWhateverTheyAreLabelled) {
  struct Case {
    const char *what;
    QByteArray contentType;
    QByteArray body;
    QString expected;
  };
  const QList<Case> cases = {
      {"ISO-2022-JP with NEC row 13", "text/plain; charset=ISO-2022-JP",
       JisTestMaru + "\x1b$B-j\x1b(B", QStringLiteral("テスト①㈱")},
      {"Shift_JIS is CP932", "text/plain; charset=Shift_JIS", "\x81\x60\x87\x40\xb1",
       QStringLiteral("～①ｱ")},
      {"EUC-JP", "text/plain; charset=EUC-JP", "\xc6\xfc\xcb\xdc\xb8\xec",
       QStringLiteral("日本語")},
      {"undeclared JIS", "", JisTestMaru, QStringLiteral("テスト①")},
      {"undeclared EUC-JP", "", "\xc6\xfc\xcb\xdc\xb8\xec", QStringLiteral("日本語")},
      {"undeclared CP932", "", "\x83\x65\x83\x58\x83\x67", QStringLiteral("テスト")},
      {"undeclared UTF-8", "", "\xe6\x97\xa5\xe6\x9c\xac", QStringLiteral("日本")},
      {"JIS behind a Western label", "text/plain; charset=us-ascii", JisTestMaru,
       QStringLiteral("テスト①")},
  };
  for (const Case &c : cases)
    EXPECT_EQ(readableBody(textMail(c.contentType, c.body)), c.expected) << c.what;
}

// ISO-2022-JP is read through a table; it reads every character, and every
// malformed shape a mailer sends, exactly as the converter it stands in for.
TEST(MimeCharsets, JisReadThroughTheTableReadsAsThroughIconv) {
  auto same = [](const QByteArray &jis, const std::string &what) {
    EXPECT_EQ(charset::decode(jis, "ISO-2022-JP"), charset::fromJisThroughIconv(jis)) << what;
  };
  for (int row = 0x21; row <= 0x7e; ++row) {
    QByteArray line = "\x1b$B";
    for (int cell = 0x21; cell <= 0x7e; ++cell)
      line += char(row) + QByteArray(1, char(cell));
    same(line + "\x1b(B\r\n", "row " + std::to_string(row - 0x20));
  }
  QByteArray kana = "\x1b(I";
  for (int c = 0x21; c <= 0x7e; ++c)
    kana += char(c);
  same(kana + "\x1b(B", "half-width kana");
  same("a\x0e\x31\x32\x0f"
       "b",
       "kana shifted out");
  QByteArray ascii;
  for (int c = 0; c < 0x80; ++c)
    if (c != 0x1b && c != 0x0e && c != 0x0f)
      ascii += char(c);
  same(ascii, "every ASCII byte");
  const QList<QByteArray> odd = {
      "\x1b$B%F%9\r\n%H\x1b(B",        // a line break inside the Kanji mode
      "\x1b$B%F%",                     // a lone half at the end
      "\x1b$B%\n%F\x1b(B",             // a broken pair
      "\x1b$(D\x30\x21\x1b(B",         // JIS X 0212
      "\x1b$(Q\x30\x21\x1b(B",         // JIS X 0213 announced
      "\x1b&@\x1b$B\x30\x21\x1b(J~\\", // 1990 announcer, JIS Roman
      "\x1bZ\x1b$@\x30\x21",           // an unknown escape
      "8-bit \xb1\xb2 bytes \x1b$B\x30\x21\x1b(B",
      "\x1b$B\x7f\x21\x21\x7f\x2d\x21\x75\x21\x1b(B", // DEL, NEC row 13, user rows
  };
  for (const QByteArray &jis : odd)
    same(jis, jis.toHex(' ').toStdString());
}

TEST(MimeCharsets, BodyLineBreaksBecomeCrLfAndTransferEncodingIsUndone) {
  const QByteArray body = b64("line1\nline2\rline3\r\n");
  const QString text = readableBody(
      textMail("text/plain; charset=utf-8", body, "Content-Transfer-Encoding: base64\n"));
  EXPECT_EQ(text, QStringLiteral("line1\r\nline2\r\nline3"));
}

// ---- headers ------------------------------------------------------------

TEST(MimeHeaders, SubjectFromDateAndRawBlock) {
  const QByteArray raw = wire("Received: by x\nFrom: =?ISO-2022-JP?B?" + b64(JisYamadaTaro) +
                              "?= <taro@example.jp>\nSubject: =?ISO-2022-JP?B?" + b64(JisTestMaru) +
                              "?=\nDate: Mon, 7 Dec 2026 09:05:00 +0900\n\n");
  const Headers h = decodeHeaders(raw);
  EXPECT_EQ(h.subject, QStringLiteral("テスト①"));
  EXPECT_EQ(h.from, QStringLiteral("山田 太郎 <taro@example.jp>"));
  EXPECT_EQ(h.date, QStringLiteral("Mon, 7 Dec 2026 09:05:00 +0900"));
  EXPECT_TRUE(h.raw.startsWith(QStringLiteral("Received: by x\r\nFrom: =?ISO-2022-JP?B?")));
  EXPECT_FALSE(h.raw.endsWith(u'\n'));
}

TEST(MimeHeaders, EncodedWordAfterPaddedWordIsNotDropped) {
  // The first word ends in "==": GMime 3.2.13 loses everything after it.
  const QByteArray first = b64(JisKenmei);
  ASSERT_TRUE(first.endsWith("="));
  const QByteArray raw = wire("Subject: =?ISO-2022-JP?B?" + first + "?=\n =?ISO-2022-JP?B?" +
                              b64(JisTestMaru) + "?=\nFrom: =?UTF-8?B?" + b64("山") +
                              "?= =?UTF-8?B?" + b64("田") + "?= <y@example.jp>\n\nbody");
  const Headers h = decodeHeaders(raw);
  EXPECT_EQ(h.subject, QStringLiteral("件名テスト①"));
  EXPECT_EQ(h.from, QStringLiteral("山田 <y@example.jp>"));
}

TEST(MimeHeaders, QWordsRaw8BitAndFoldedText) {
  const Headers q = decodeHeaders(wire("Subject: =?UTF-8?Q?caf=C3=A9_au_lait?= now\n\n"));
  EXPECT_EQ(q.subject, QStringLiteral("café au lait now"));
  const Headers sjis = decodeHeaders(wire("Subject: \x83\x65\x83\x58\x83\x67 mail\n\n"));
  EXPECT_EQ(sjis.subject, QStringLiteral("テスト mail"));
  const Headers folded = decodeHeaders(
      wire("X-Note: see\n Subject: not this one\nSubject: a long\n  subject\nFrom: b@x.jp\n\n"));
  EXPECT_EQ(folded.subject, QStringLiteral("a long  subject"));
  EXPECT_EQ(folded.from, QStringLiteral("b@x.jp"));
}

// ---- what a person reads ------------------------------------------------

TEST(MimeBody, HtmlOnlyMailIsPlainText) {
  const QByteArray html = "<html><head><title>x</title><style>p{color:red}</style></head>"
                          "<body><p>Hello&nbsp;&amp; <b>welcome</b></p><p>line2<br>line3</p>"
                          "<script>alert(1)</script>&#x3042;&lt;tag&gt;"
                          "<div><a href=\"https://example.jp/x?a=1&amp;b=2\">here</a></div>"
                          "<div><a href='https://example.jp/'>https://example.jp/</a></div>"
                          "</body></html>";
  const QString text = readableBody(textMail("text/html; charset=utf-8", html));
  EXPECT_EQ(text, QStringLiteral("Hello & welcome\r\nline2\r\nline3\r\nあ<tag>\r\n"
                                 "here (https://example.jp/x?a=1&b=2)\r\nhttps://example.jp/"));
}

TEST(MimeBody, HtmlEntitiesAndBrokenMarkupReadAsABrowserShowsThem) {
  const QByteArray html = "<p>&sect;3 20&deg;C &plusmn;1 &para; &alpha; 6&divide;2 &notin; &hearts;"
                          "<p>unclosed <b>bold <i>both</b> italic?</i>"
                          "<!-- <p>hidden comment</p> --><table><tr><td>a<td>b</table>"
                          "<pre>  kept\n   as is&nbsp;x</pre>"
                          "<ul><li>one<li>two</ul><a href=https://example.jp/a?x=1&amp;y=2>link</a>"
                          "<script>document.write('no')</script><style>p{}</style>&#0;&#xD800;";
  const QString text = readableBody(textMail("text/html; charset=utf-8", html));
  EXPECT_EQ(text, QStringLiteral("§3 20°C ±1 ¶ α 6÷2 ∉ ♥\r\nunclosed bold both italic?\r\n"
                                 "a b\r\n  kept\r\n   as is x\r\n・one\r\n・two\r\n"
                                 "link (https://example.jp/a?x=1&y=2)\uFFFD\uFFFD"));
}

// Regression: 40 KB of formatting tags left open, each with its own
// attribute, made the HTML5 tree builder copy every one of them into every
// later paragraph: gigabytes, then bad_alloc, and the check died on that
// mail again and again. Such pages, and pages nested too deep, are read
// by a plain reader that keeps the text.
TEST(MimeBody, HtmlBuiltToExhaustTheTreeBuilderStillReads) {
  QByteArray formatting;
  for (int i = 0; i < 3000; ++i)
    formatting += "<b id=" + QByteArray::number(i) + ">x<p>";
  const QStringList lines =
      readableBody(textMail("text/html; charset=utf-8", formatting)).split(QStringLiteral("\r\n"));
  EXPECT_EQ(lines.size(), 3000);
  EXPECT_EQ(lines.count(QStringLiteral("x")), 3000);

  QByteArray deep;
  for (int i = 0; i < 20000; ++i)
    deep += "<font color=#" + QByteArray::number(i) + ">y";
  EXPECT_EQ(readableBody(textMail("text/html; charset=utf-8", deep)), QString(20000, u'y'));
}

// What the plain reader keeps of a page: the text with its references
// decoded, blocks and <br> as line breaks, list items marked, cells apart,
// script and style and comments left out, a "<" that starts no tag kept;
// and a text too long for one piece is not cut inside a reference.
TEST(MimeBody, ThePlainReaderOfHostilePagesKeepsTheText) {
  QByteArray page;
  for (int i = 0; i < 500; ++i)
    page += "<span>"; // deeper than the tree builder is given
  page += "<p>Tom &amp; Jerry&nbsp;&copy;&#x3042;<br>a < b<script>x<y</script>"
          "<style>p{}</style><!-- <p>no</p> --><ul><li>one<li>two</ul>"
          "<table><tr><td>c1<td>c2</table><div>";
  const QByteArray filler(128 * 1024 - 12, 'z');
  page += filler + "&hearts;&hearts;&hearts;</div><textarea>&lt;kept&gt;</textarea>";
  const QString text = readableBody(textMail("text/html; charset=utf-8", page));
  EXPECT_EQ(text, QStringLiteral("Tom & Jerry ©あ\r\na < b\r\n・one\r\n・two\r\nc1 c2\r\n") +
                      QString::fromLatin1(filler) + QStringLiteral("♥♥♥\r\n<kept>"));
}

TEST(MimeBody, AlternativeShowsThePlainPart) {
  const QByteArray m = wire("From: a@x.jp\nSubject: alt\nMIME-Version: 1.0\n"
                            "Content-Type: multipart/alternative; boundary=\"A\"\n\n--A\n"
                            "Content-Type: text/html; charset=utf-8\n\n<p>HTML version</p>\n--A\n"
                            "Content-Type: text/plain; charset=ISO-2022-JP\n\n" +
                            JisTestMaru + "\n--A--\n");
  EXPECT_EQ(readableBody(m), QStringLiteral("テスト①"));
}

TEST(MimeBody, HtmlWithInlinePicturesListsOnlyTheNamedFiles) {
  const QByteArray m =
      wire("From: a@x.jp\nSubject: news\nMIME-Version: 1.0\n"
           "Content-Type: multipart/related; boundary=\"R\"\n\n--R\n"
           "Content-Type: text/html; charset=utf-8\n\n<p>Hi<img src=cid:logo></p>\n"
           "--R\nContent-Type: image/png\nContent-ID: <logo>\n"
           "Content-Transfer-Encoding: base64\n\n" +
           b64("PNG") + "\n--R\n" + attachmentPart(" filename=\"menu.pdf\"", "PDF") + "--R--\n");
  EXPECT_EQ(readableBody(m), QStringLiteral("Hi\r\n\r\nattachment: menu.pdf (3 bytes)"));
}

TEST(MimeBody, AttachmentsAreListedAfterTheTextNeverShownAsBase64) {
  const QByteArray data(1234, 'z');
  const QByteArray m = mixedMail(JisTestMaru, {attachmentPart(" filename=\"report.pdf\"", data),
                                               attachmentPart("", "GIF89a", "image/gif")});
  const QString text = readableBody(m);
  EXPECT_EQ(text, QStringLiteral("テスト①\r\n\r\nattachment: report.pdf (1234 bytes)\r\n"
                                 "attachment: attachment.gif (6 bytes)"));
}

// The size listed in the text is counted from the base64 without decoding
// it; it is the size of the file the attachment is unpacked to, whatever
// shape the sender gave the base64, from memory or from a file.
// The unpack step takes the parse the mail's text left behind; a mail read
// after another one, from memory or from a file, even one whose buffer or
// file took the place of the first's, is unpacked from its own bytes.
TEST_F(Folder, TheUnpackStepNeverTakesTheParseOfAnotherMail) {
  auto mail = [](const QByteArray &name, const QByteArray &data) {
    return mixedMail("text", {attachmentPart(" filename=\"" + name + "\"", data)});
  };
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "from a file" : "from memory");
    ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
    {
      const Source first =
          fromFile ? inFile(mail("first.bin", "one")) : Source(mail("first.bin", "one"));
      EXPECT_TRUE(readableBody(first).contains(QStringLiteral("first.bin")));
    }
    const Source second =
        fromFile ? inFile(mail("second.bin", "two")) : Source(mail("second.bin", "two"));
    EXPECT_EQ(unpackAttachments(second, folder), NMailAttachmentWritten);
    EXPECT_EQ(visible(), QStringList{QStringLiteral("second.bin")});
    EXPECT_EQ(fileBytes(folder + QStringLiteral("/second.bin")), "two");
    // Its own text first, then its own parse.
    EXPECT_TRUE(readableBody(second).contains(QStringLiteral("second.bin")));
    ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
    EXPECT_EQ(unpackAttachments(second, folder), NMailAttachmentWritten);
    EXPECT_EQ(visible(), QStringList{QStringLiteral("second.bin")});
  }
}

TEST_F(Folder, TheListedSizeOfAFileIsTheSizeItIsUnpackedTo) {
  auto lines = [](const QByteArray &encoded, int width, const char *end) {
    QByteArray out;
    for (qsizetype i = 0; i < encoded.size(); i += width)
      out += encoded.mid(i, width) + end;
    return out;
  };
  QByteArray big(300000, Qt::Uninitialized); // past one piece of the reader
  for (qsizetype i = 0; i < big.size(); ++i)
    big[i] = char(i * 7 + i / 251);
  struct Shape {
    const char *what;
    QByteArray data;
    QByteArray body; // the part's base64 as it stands in the mail
  };
  QList<Shape> shapes;
  for (const int n : {0, 1, 2, 3, 4, 5, 57, 58})
    shapes << Shape{"lines of 76", QByteArray(n, 'q'), lines(b64(QByteArray(n, 'q')), 76, "\r\n")};
  shapes << Shape{"one long line", big, b64(big) + "\r\n"}
         << Shape{"lines of 64 and stray blanks", big.left(99999),
                  lines(b64(big.left(99999)), 64, "  \r\n") + "\r\n \r\n"}
         << Shape{"padding left off", QByteArray("ab"), QByteArray("YWI\r\n")};
  // Characters outside the alphabet among it (bytes above 127 too), which
  // the decoder passes over and the count must pass over as well.
  QByteArray stray = lines(b64(big.left(5000)), 76, "\r\n");
  for (qsizetype k = stray.size() - 3; k > 0; k -= 7)
    stray.insert(k, k % 2 ? "\xff-[@:" : "*\t\x80`{");
  shapes << Shape{"stray characters", big.left(5000), stray}
         << Shape{"more after the padding", QByteArray("ab"), QByteArray("YWI=\r\nYWJj\r\n")};
  for (const Shape &shape : shapes) {
    SCOPED_TRACE(std::string(shape.what) + ", " + std::to_string(shape.data.size()) + " bytes");
    const QByteArray m = base64AttachmentMail(shape.body);
    for (const bool fromFile : {false, true}) {
      ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
      const Source source = fromFile ? inFile(m) : Source(m);
      const QString text = readableBody(source);
      ASSERT_EQ(unpackAttachments(source, folder), NMailAttachmentWritten);
      const QByteArray unpacked = fileBytes(folder + QStringLiteral("/f.bin"));
      EXPECT_EQ(text,
                QStringLiteral("hi\r\n\r\nattachment: f.bin (%1 bytes)").arg(unpacked.size()));
      if (QByteArray(shape.what) != "padding left off") {
        EXPECT_TRUE(unpacked == shape.data);
      }
    }
  }
}

// An attachment's base64 is decoded by the program itself; for any text
// (padding inside it and at its end, blanks, line breaks, bytes outside the
// alphabet) it must give the bytes GMime's decoder gives, and the size listed
// in the text must be theirs.
TEST_F(Folder, Base64IsUnpackedToWhatGMimeDecodesItTo) {
  std::mt19937 random(30);
  const QByteArray pool = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZ==\r\n \t*\xff";
  for (int round = 0; round < 200; ++round) {
    QByteArray body;
    const int length = int(random() % 300);
    for (int i = 0; i < length; ++i)
      body += pool[int(random() % unsigned(pool.size()))];
    GMimeFilter *gmime = g_mime_filter_basic_new(GMIME_CONTENT_ENCODING_BASE64, FALSE);
    char *out = nullptr;
    size_t outLength = 0, prespace = 0;
    g_mime_filter_filter(gmime, body.data(), size_t(body.size()), 0, &out, &outLength, &prespace);
    QByteArray expected(out, qsizetype(outLength));
    char none = 0;
    g_mime_filter_complete(gmime, &none, 0, 0, &out, &outLength, &prespace);
    expected += QByteArray(out, qsizetype(outLength));
    g_object_unref(gmime);

    SCOPED_TRACE(body.toStdString());
    const QByteArray m = base64AttachmentMail(body);
    ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
    EXPECT_EQ(readableBody(Source(m)),
              QStringLiteral("hi\r\n\r\nattachment: f.bin (%1 bytes)").arg(expected.size()));
    ASSERT_EQ(unpackAttachments(Source(m), folder), NMailAttachmentWritten);
    EXPECT_TRUE(fileBytes(folder + QStringLiteral("/f.bin")) == expected);
  }
}

TEST(MimeBody, AForwardedMailIsListedUnderItsSubject) {
  const QByteArray m =
      mixedMail("see below", {"Content-Type: message/rfc822\n\nSubject: =?ISO-2022-JP?B?" +
                              b64(JisKenmei) + "?=\nFrom: c@x.jp\n\ninner text\n"});
  EXPECT_TRUE(readableBody(m).startsWith(QStringLiteral("see below\r\n\r\nattachment: 件名.eml (")))
      << readableBody(m).toStdString();
}

TEST(MimeBody, AForwardedMailNamedWithoutExtensionGetsEml) {
  const QList<QPair<QByteArray, QString>> names = {
      {"Forwarded Message", QStringLiteral("Forwarded Message.eml")},
      {"Re: v1.2", QStringLiteral("Re_ v1.2.eml")},
      {"mail.msg", QStringLiteral("mail.msg")}};
  for (const auto &[name, listed] : names) {
    const QByteArray m = mixedMail(
        "fw", {"Content-Type: message/rfc822; name=\"" + name + "\"\n\nSubject: x\n\ninner\n"});
    EXPECT_TRUE(readableBody(m).contains(QStringLiteral("attachment: %1 (").arg(listed)))
        << readableBody(m).toStdString();
  }
}

TEST(MimeBody, BrokenParameterListsStillRead) {
  // A parameter with no name once sent the parameter reader round forever.
  const QByteArray m = mixedMail(
      "x", {attachmentPart("; =\"odd\"; filename=\"ok.txt\"; ;;", "data"),
            "Content-Type: application/pdf; =; name\nContent-Transfer-Encoding: base64\n\n" +
                b64("pdf") + "\n"});
  EXPECT_EQ(readableBody(m), QStringLiteral("x\r\n\r\nattachment: ok.txt (4 bytes)\r\n"
                                            "attachment: attachment.pdf (3 bytes)"));
}

TEST(MimeBody, AMultipartWithoutItsBoundaryStillShowsItsText) {
  // The mail is deleted on the server once stored: its text must not vanish
  // because the sender's mailer named one boundary and used another.
  for (const QByteArray &type :
       {QByteArray("multipart/mixed; boundary=\"declared\""), QByteArray("multipart/mixed")}) {
    SCOPED_TRACE(type.toStdString());
    const QByteArray m =
        textMail(type, wire("--used\nContent-Type: text/plain; charset=ISO-2022-JP\n\n" +
                            JisKenmei + " text\n--used--\n"));
    EXPECT_TRUE(readableBody(m).contains(QStringLiteral("件名 text")))
        << readableBody(m).toStdString();
  }
  // An empty mail stays empty.
  EXPECT_EQ(readableBody(textMail("multipart/mixed; boundary=\"b\"", "")), QString());
}

// ---- unpacking ----------------------------------------------------------

TEST_F(Folder, AttachmentNamesInEveryEncodingAreDecoded) {
  const QList<QByteArray> parts = {
      // RFC 2231 with continuations and a charset, one section plain.
      attachmentPart("\n filename*0*=UTF-8''%E8%B3%87%E6%96%99;\n filename*1=\"-v2\";\n"
                     " filename*2*=%2Epdf",
                     "A"),
      // RFC 2047 inside a quoted parameter, split after a padded word.
      attachmentPart(" filename=\"=?ISO-2022-JP?B?" + b64("\x1b$B;qNA\x1b(B") +
                         "?= =?ISO-2022-JP?B?" + b64(JisTestMaru) + "?=.txt\"",
                     "B"),
      // Raw CP932 and raw UTF-8 bytes.
      attachmentPart(" filename=\"\x8e\x91\x97\xbf.doc\"", "C"),
      attachmentPart(" filename=\"\xe6\x97\xa5\xe6\x9c\xac.xls\"", "D"),
      // No name at all: one from the type.
      "Content-Type: image/jpeg\nContent-Transfer-Encoding: base64\n\n" + b64("E") + "\n",
  };
  EXPECT_EQ(unpackAttachments(mixedMail("x", parts), folder), NMailAttachmentWritten);
  EXPECT_EQ(visible(), (QStringList{QStringLiteral("attachment.jpg"), QStringLiteral("日本.xls"),
                                    QStringLiteral("資料-v2.pdf"), QStringLiteral("資料.doc"),
                                    QStringLiteral("資料テスト①.txt")}));
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/資料-v2.pdf")), "A");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/attachment.jpg")), "E");
}

TEST_F(Folder, AttachmentsInTheAlternativeThatIsNotShownAreKeptOnce) {
  // A phone mailer: plain text beside an HTML branch that carries the files,
  // one of them also attached to the plain branch.
  const QByteArray m = wire(
      "From: a@x.jp\nSubject: photos\nMIME-Version: 1.0\n"
      "Content-Type: multipart/alternative; boundary=\"A\"\n\n--A\n"
      "Content-Type: multipart/mixed; boundary=\"M\"\n\n--M\n"
      "Content-Type: text/plain; charset=utf-8\n\nsee photos\n--M\n" +
      attachmentPart(" filename=\"same.pdf\"", "PDF") +
      "--M--\n--A\nContent-Type: multipart/related; boundary=\"R\"\n\n--R\n"
      "Content-Type: text/html; charset=utf-8\n\n<p>see <img src=cid:logo></p>\n--R\n"
      "Content-Type: image/png\nContent-ID: <logo>\nContent-Transfer-Encoding: base64\n\n" +
      b64("PNG") + "\n--R\n" + attachmentPart(" filename=\"photo.jpg\"", "JPEG", "image/jpeg") +
      "--R\n" + attachmentPart(" filename=\"same.pdf\"", "PDF") +
      "--R\nContent-Type: text/plain; name=\"notes.txt\"\n\nnotes\n--R--\n--A--\n");
  const QString text = QStringLiteral("see photos\r\n\r\nattachment: same.pdf (3 bytes)\r\n"
                                      "attachment: photo.jpg (4 bytes)\r\n"
                                      "attachment: notes.txt (5 bytes)");
  const QStringList files{QStringLiteral("notes.txt"), QStringLiteral("photo.jpg"),
                          QStringLiteral("same.pdf")};
  EXPECT_EQ(readableBody(m), text);
  EXPECT_EQ(unpackAttachments(m, folder), NMailAttachmentWritten);
  EXPECT_EQ(visible(), files);
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/photo.jpg")), "JPEG");

  // Read from a file instead of memory: the same text, the same files.
  ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
  const Source file = inFile(m);
  EXPECT_EQ(readableBody(file), text);
  EXPECT_EQ(headerBlockOf(file), headerBlockOf(m));
  EXPECT_EQ(unpackAttachments(file, folder), NMailAttachmentWritten);
  EXPECT_EQ(visible(), files);
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/photo.jpg")), "JPEG");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/notes.txt")), "notes");
}

// ---- a budget per mail ---------------------------------------------------

// readableBody within a fresh budget of its own, as the receive reads a mail.
QString readWithin(const QByteArray &mail, bool *overBudget) {
  Budget budget(MailBudgetMs);
  budget.begin();
  const QString text = readableBody(mail, &budget);
  budget.end();
  *overBudget = budget.exceeded();
  return text;
}

// Regression: "<!-->" (a whole empty comment to an HTML5 reader) before
// 100,000 <div>, and <div></q> 40,000 times (stray end tags the tree builder
// ignores), passed a pre-scan that read the page otherwise than the tree
// builder, which then nested every div and took minutes, on the window's
// thread. The guard now measures the tree as it is built; the plain reader
// that reads such a page keeps what follows "<!-->".
TEST(MimeBudget, PagesTheTreeBuilderWouldNestWithoutEndReadWithinTheBudget) {
  const QList<QByteArray> pages = {testsupport::commentThenDivsPage(100000),
                                   testsupport::strayEndTagsPage(40000),
                                   testsupport::commentThenDivsPage(500) + "<p>more</p>"};
  for (const QByteArray &page : pages) {
    bool over = true;
    const QString text = readWithin(testsupport::htmlMail("page", page), &over);
    EXPECT_TRUE(text.startsWith(QStringLiteral("end of page"))) << text.left(200).toStdString();
    EXPECT_FALSE(over);
  }
  EXPECT_EQ(readableBody(testsupport::htmlMail("page", testsupport::commentThenDivsPage(500) +
                                                           "<p>more</p>")),
            QStringLiteral("end of page\r\nmore"));
}

// Regression: 54 MB of plain text became a string of 108 MB and more; the
// text is read no further than the record, the notice and the viewer's
// first screen need, and says where it was cut.
TEST(MimeBudget, ALongLetterIsReadOnlyAsFarAsTheTextIsKept) {
  const QByteArray letter = testsupport::longLetter(6 * 1024 * 1024);
  bool over = true;
  const QString text = readWithin(letter, &over);
  EXPECT_FALSE(over);
  EXPECT_TRUE(text.startsWith(QStringLiteral("line 1 of a letter")));
  EXPECT_TRUE(text.endsWith(QStringLiteral("\r\n") + cutTextNotice()));
  EXPECT_LE(text.size(), MaxReadableChars + 2 + cutTextNotice().size());
  EXPECT_GT(text.size(), MaxReadableChars - 200);

  // The same cut for HTML, for several parts together, and for a letter of
  // 4-byte characters (never cut inside one).
  QByteArray page = "<p>";
  while (page.size() < 2 * 1024 * 1024)
    page += "word word word word<br>";
  const QString html = readableBody(testsupport::htmlMail("page", page));
  EXPECT_TRUE(html.endsWith(cutTextNotice()));
  EXPECT_LE(html.size(), MaxReadableChars + 2 + cutTextNotice().size());
  QByteArray emoji;
  while (emoji.size() < 2 * 1024 * 1024)
    emoji += "\xF0\x9F\x98\x80";
  const QString wide = readableBody(textMail("text/plain; charset=utf-8", emoji));
  ASSERT_TRUE(wide.endsWith(QStringLiteral("\r\n") + cutTextNotice()));
  const QString kept = wide.chopped(2 + cutTextNotice().size());
  EXPECT_EQ(kept, QString::fromUtf8("\xF0\x9F\x98\x80").repeated(kept.size() / 2));
  // A letter of no declared charset is still read as the UTF-8 it is when the
  // bytes read end inside a character.
  QByteArray japanese = "wxyz"; // puts the 1 MB mark inside a character
  while (japanese.size() < 2 * 1024 * 1024)
    japanese += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\r\n"; // 日本語
  const QString guessed = readableBody(textMail("", japanese));
  EXPECT_TRUE(guessed.startsWith(QStringLiteral("wxyz日本語\r\n日本語\r\n"))) << guessed.left(20).toStdString();
  EXPECT_TRUE(guessed.endsWith(QStringLiteral("日本語\r\n") + cutTextNotice()));
  // A short letter is not touched.
  EXPECT_EQ(readableBody(textMail("text/plain; charset=us-ascii", "short\n")), QStringLiteral("short"));
}

// Regression: the files of an alternative's hidden branch were compared by
// pairs of one name, decoding both: 3,000 files of one name and size took
// minutes. Each file is now read once for its digest; repeats are still
// dropped and every different file is kept.
TEST_F(Folder, HiddenFilesOfOneNameAreComparedByDigestAndKeptOnceEach) {
  const QStringList lines =
      readableBody(testsupport::hiddenFilesMail(3000, 3000)).split(QStringLiteral("\r\n"));
  ASSERT_EQ(lines.size(), 3002);
  EXPECT_EQ(lines.first(), QStringLiteral("shown text"));
  EXPECT_EQ(lines.count(QStringLiteral("attachment: photo.jpg (600 bytes)")), 3000);

  EXPECT_EQ(unpackAttachments(testsupport::hiddenFilesMail(200, 5), folder), NMailAttachmentWritten);
  const QStringList files = visible();
  ASSERT_EQ(files.size(), 200);
  QSet<QByteArray> contents;
  for (const QString &name : files)
    contents.insert(fileBytes(folder + u'/' + name));
  EXPECT_EQ(contents.size(), 200);
  EXPECT_TRUE(contents.contains(QByteArray::number(100001).repeated(100)));
  EXPECT_TRUE(contents.contains(QByteArray::number(100200).repeated(100)));
}

// Past its budget a mail gives the text read so far and leaves the files it
// has not yet written in the mail; the next mail has a budget of its own.
TEST_F(Folder, PastTheBudgetTheRestOfTheMailIsLeftAndSaidSo) {
  const QByteArray mail = testsupport::hiddenFilesMail(20);
  Budget spent(0);
  spent.begin();
  EXPECT_EQ(unpackAttachments(mail, folder, &spent), NMailAttachmentNone);
  spent.end();
  EXPECT_TRUE(spent.exceeded());
  EXPECT_TRUE(visible().isEmpty());
  Budget fresh(MailBudgetMs);
  fresh.begin();
  EXPECT_EQ(unpackAttachments(mail, folder, &fresh), NMailAttachmentWritten);
  fresh.end();
  EXPECT_FALSE(fresh.exceeded());
  EXPECT_EQ(visible().size(), 20);
}

TEST_F(Folder, AMailThatIsOnlyAnAttachmentKeepsItsName) {
  const QByteArray m = wire("From: a@x.jp\nSubject: scan\nMIME-Version: 1.0\n"
                            "Content-Type: application/pdf;\n name=\"=?ISO-2022-JP?B?" +
                            b64("\x1b$B;qNA\x1b(B") +
                            "?=.pdf\"\n"
                            "Content-Transfer-Encoding: base64\n\n" +
                            b64("%PDF") + "\n");
  EXPECT_EQ(readableBody(m), QStringLiteral("attachment: 資料.pdf (4 bytes)"));
  EXPECT_EQ(unpackAttachments(m, folder), NMailAttachmentWritten);
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/資料.pdf")), "%PDF");
}

TEST_F(Folder, NothingToUnpackAndExistingFilesAreNeverOverwritten) {
  EXPECT_EQ(unpackAttachments(textMail("text/plain", "just text"), folder), NMailAttachmentNone);
  EXPECT_TRUE(visible().isEmpty());

  const QByteArray m = mixedMail("x", {attachmentPart(" filename=\"a.txt\"", "new")});
  QFile old(folder + QStringLiteral("/a.txt"));
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("old");
  old.close();
  EXPECT_EQ(unpackAttachments(m, folder), NMailAttachmentWritten);
  EXPECT_EQ(unpackAttachments(m, folder), NMailAttachmentWritten);
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a.txt")), "old");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a (2).txt")), "new");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a (3).txt")), "new");
}

TEST_F(Folder, HostileNamesStayInsideTheFolder) {
  const QByteArray longName = QByteArray(300, 'n') + ".pdf";
  const QList<QByteArray> names = {"../../x",
                                   "/etc/passwd",
                                   "..\\\\x.exe",
                                   "CON",
                                   "nul.txt",
                                   ".hidden",
                                   "a\x01\x1f"
                                   "b"};
  QList<QByteArray> parts;
  for (const QByteArray &n : names)
    parts << attachmentPart(" filename=\"" + n + "\"", n);
  parts << attachmentPart(" filename*=UTF-8''evil%00name%2F..%2F..%2Fy.sh", "nul");
  parts << attachmentPart(" filename=\"" + longName + "\"", "long");
  parts << attachmentPart(" filename=\"\xe2\x80\xaegpj.exe\"", "rlo");
  EXPECT_EQ(unpackAttachments(mixedMail("x", parts), folder), NMailAttachmentWritten);

  // Only the attachment folder exists under the root, and nothing is hidden.
  EXPECT_EQ(QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{QStringLiteral("添付フォルダ")});
  const QStringList files = filesUnder(folder);
  EXPECT_EQ(files.size(), parts.size());
  for (const QString &f : files) {
    EXPECT_FALSE(f.contains(u'/')) << f.toStdString();
    EXPECT_FALSE(f.contains(u'\\')) << f.toStdString();
    EXPECT_FALSE(f.startsWith(u'.')) << f.toStdString();
    EXPECT_FALSE(f.contains(QLatin1String(".."))) << f.toStdString();
    EXPECT_LE(f.toUtf8().size(), 255) << f.toStdString();
    for (const QChar c : f)
      EXPECT_GE(c.unicode(), 0x20) << f.toStdString();
    const QString stem = f.section(u'.', 0, 0).toUpper();
    EXPECT_NE(stem, QStringLiteral("CON"));
    EXPECT_NE(stem, QStringLiteral("NUL"));
  }
  EXPECT_TRUE(files.contains(QStringLiteral("x"))) << files.join(u' ').toStdString();
  EXPECT_TRUE(files.contains(QStringLiteral("x.exe")));
  EXPECT_TRUE(files.contains(QStringLiteral("passwd")));
  EXPECT_TRUE(files.contains(QStringLiteral("_CON")));
  EXPECT_TRUE(files.contains(QString(251, u'n') + QStringLiteral(".pdf")));
  EXPECT_TRUE(files.contains(QStringLiteral("gpj.exe")));
}

TEST_F(Folder, SafeFileNameRules) {
  const QList<QPair<QString, QString>> table = {
      {QStringLiteral("a/b\\c.txt"), QStringLiteral("a_b_c.txt")},
      {QStringLiteral("..."), QStringLiteral("attachment")},
      {QStringLiteral("report..final..doc"), QStringLiteral("report.final.doc")},
      {QStringLiteral("com1.tar.gz"), QStringLiteral("_com1.tar.gz")},
      {QStringLiteral("LPT9"), QStringLiteral("_LPT9")},
      {QStringLiteral("CONSOLE.txt"), QStringLiteral("CONSOLE.txt")},
      {QStringLiteral("trailing. "), QStringLiteral("trailing")},
      {QStringLiteral("a\u0000b"), QStringLiteral("a_b")},
  };
  for (const auto &[in, out] : table)
    EXPECT_EQ(safeFileName(in, folder), out) << in.toStdString();

  // Cut to 255 bytes of UTF-8 on a character boundary, extension kept.
  const QString japanese = QString(200, QChar(0x3042)) + QStringLiteral(".docx");
  const QString cut = safeFileName(japanese, folder);
  EXPECT_TRUE(cut.endsWith(QStringLiteral(".docx")));
  EXPECT_LE(cut.toUtf8().size(), 255);
  EXPECT_GT(cut.toUtf8().size(), 250);

  // A taken name gets a number, and the number still fits the limit.
  QFile taken(QDir(folder).filePath(cut));
  ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
  taken.close();
  const QString second = safeFileName(japanese, folder);
  EXPECT_TRUE(second.endsWith(QStringLiteral(" (2).docx")));
  EXPECT_LE(second.toUtf8().size(), 255);
}

// Regression: each of 3,000 attachments of one name tried every number
// from 2 against the disk, 4.5 million look-ups for one mail.
TEST_F(Folder, ThousandsOfAttachmentsOfOneNameAllArriveNumbered) {
  ASSERT_TRUE(QFile(folder + QStringLiteral("/a (3).txt")).open(QIODevice::WriteOnly));
  QList<QByteArray> parts;
  for (int i = 1; i <= 3000; ++i)
    parts << attachmentPart(" filename=\"a.txt\"", QByteArray::number(i));
  EXPECT_EQ(unpackAttachments(mixedMail("x", parts), folder), NMailAttachmentWritten);
  EXPECT_EQ(visible().size(), 3001);
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a.txt")), "1");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a (2).txt")), "2");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a (3).txt")), "") << "never overwritten";
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a (4).txt")), "3");
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/a (3001).txt")), "3000");
}

TEST_F(Folder, APlantedLinkIsNotFollowed) {
  const QString outside = root.filePath(QStringLiteral("outside.txt"));
  ASSERT_TRUE(QFile::link(outside, folder + QStringLiteral("/x.txt")));
  EXPECT_EQ(
      unpackAttachments(mixedMail("x", {attachmentPart(" filename=\"x.txt\"", "data")}), folder),
      NMailAttachmentWritten);
  EXPECT_FALSE(QFileInfo::exists(outside));
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/x (2).txt")), "data");
}

TEST(MimeUnpack, AMissingFolderIsReportedAsAWriteFailure) {
  QTemporaryDir root;
  const QByteArray m = mixedMail("x", {attachmentPart(" filename=\"a.txt\"", "a")});
  EXPECT_EQ(unpackAttachments(m, root.filePath(QStringLiteral("gone"))), NMailAttachmentOpenError);
}

// ---- split mail ---------------------------------------------------------

namespace {

QByteArray splitInner() {
  return wire("From: =?ISO-2022-JP?B?" + b64(JisYamadaTaro) +
              "?= <taro@example.jp>\n"
              "Subject: =?ISO-2022-JP?B?" +
              b64(JisKenmei) +
              "?=\n"
              "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"S\"\n\n--S\n"
              "Content-Type: text/plain; charset=ISO-2022-JP\n\n" +
              JisTestMaru + "\n--S\n" +
              attachmentPart(" filename=\"big.bin\"", QByteArray(3000, '\x07')) + "--S--\n");
}

// The three parts of splitInner(), as a sender's mailer cuts it.
QList<QByteArray> splitParts(const QByteArray &id = "split-1@example.jp") {
  const QByteArray inner = splitInner();
  const qsizetype third = inner.size() / 3;
  const QList<QByteArray> pieces = {inner.left(third), inner.mid(third, third),
                                    inner.mid(2 * third)};
  QList<QByteArray> parts;
  for (int i = 0; i < 3; ++i) {
    parts << wire("From: taro@example.jp\nSubject: part\nMIME-Version: 1.0\n"
                  "Content-Type: message/partial; id=\"" +
                  id + "\"; number=" + QByteArray::number(i + 1) + (i == 2 ? "; total=3" : "") +
                  "\n\n") +
                 pieces[i];
  }
  return parts;
}

} // namespace

TEST_F(Folder, SplitMailJoinsInOrderAndOutOfOrder) {
  for (const QList<int> &order : {QList<int>{0, 1, 2}, QList<int>{2, 0, 1}}) {
    QTemporaryDir r;
    const QString f = r.path();
    const QList<QByteArray> parts = splitParts();
    EXPECT_EQ(unpackAttachments(parts[order[0]], f), NMailAttachmentPartial);
    EXPECT_EQ(unpackAttachments(parts[order[1]], f), NMailAttachmentPartial);
    EXPECT_EQ(unpackAttachments(parts[order[2]], f), NMailAttachmentWritten);
    EXPECT_EQ(QDir(f).entryList(QDir::Files),
              (QStringList{QStringLiteral("big.bin"), QStringLiteral("件名.txt")}));
    EXPECT_EQ(fileBytes(f + QStringLiteral("/big.bin")), QByteArray(3000, '\x07'));
    // Written in CP932 for the editor: decode it as such.
    const QByteArray sjis = fileBytes(f + QStringLiteral("/件名.txt"));
    EXPECT_TRUE(sjis.contains("\x83\x65\x83\x58\x83\x67\x87\x40")) << "テスト① in CP932";
    EXPECT_TRUE(sjis.contains("attachment: big.bin (3000 bytes)"));
    // The kept parts are gone once joined.
    EXPECT_TRUE(
        filesUnder(f + QStringLiteral("/.partial")).filter(QStringLiteral(".eml")).isEmpty());
  }
}

TEST_F(Folder, SplitMailWaitsAcrossSessionsAndShrugsOffDuplicates) {
  const QList<QByteArray> parts = splitParts();
  // First session: part 2, then the same part again.
  EXPECT_EQ(unpackAttachments(parts[1], folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(parts[1], folder), NMailAttachmentPartial);
  EXPECT_TRUE(visible().isEmpty());
  // Second session, spelled the Windows way: the rest arrives.
  EXPECT_EQ(unpackAttachments(parts[2], folder + QStringLiteral("\\")), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentWritten);
  EXPECT_EQ(visible(), (QStringList{QStringLiteral("big.bin"), QStringLiteral("件名.txt")}));
  // A part that turns up again after the join writes nothing more.
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentNone);
  EXPECT_EQ(visible().size(), 2);
  // Another split mail is kept apart from the first.
  EXPECT_EQ(unpackAttachments(splitParts("other@example.jp")[0], folder), NMailAttachmentPartial);
}

TEST_F(Folder, ASplitPartThatCanNeverBeJoinedIsSavedWholeAsEml) {
  const QList<QByteArray> types = {
      "message/partial; number=1; total=2", "message/partial; id=\"x@y\"; number=0",
      "message/partial; id=\"x@y\"; number=3; total=2", "message/partial; id=\"x@y\"; number=5000",
      // A set that large is no mail anyone sent: it would only wait for ever.
      "message/partial; id=\"x@y\"; number=1; total=1000",
      "message/partial; id=\"x@y\"; number=101"};
  for (const QByteArray &type : types) {
    SCOPED_TRACE(type.toStdString());
    QTemporaryDir r;
    const QByteArray m = textMail(type, wire("Subject: inner\n\nthe only copy\n"));
    const QString body = readableBody(m);
    EXPECT_FALSE(body.contains(QStringLiteral("結合されます"))) << body.toStdString();
    EXPECT_TRUE(body.endsWith(QStringLiteral("attachment: t.eml (%1 bytes)").arg(m.size())))
        << body.toStdString();
    EXPECT_EQ(unpackAttachments(m, r.path()), NMailAttachmentWritten);
    EXPECT_EQ(fileBytes(r.filePath(QStringLiteral("t.eml"))), m);
  }
}

TEST_F(Folder, ACompleteSplitSetThatIsNoReadableMailIsStillHandedOver) {
  // Found by fuzzing: both parts present, the joined text no mail at all.
  // The join failed as a write error, so the last part stayed on the
  // server and stopped every later check there.
  const QByteArray head = "From: t@x.jp\r\nSubject: part\r\nMIME-Version: 1.0\r\n";
  const QByteArray second = head +
                            "Content-Type: message/partial; id=\"s@x\"; number=2; total=2\r\n\r\n"
                            "\xe6pe: application/octet-stream\r\n\r\nBwcH\xbe\r\n--S--\r\n";
  const QByteArray first = head +
                           "Content-Type: message/partial; id=\"s@x\"; number=1\r\n\r\n"
                           "From8 t@x.jp\r\nSubject: Fr=?ISO-20om:2\x81" +
                           QByteArray(2, '\0');
  EXPECT_EQ(unpackAttachments(second, folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(first, folder), NMailAttachmentWritten);
  const QStringList files = visible();
  ASSERT_EQ(files.size(), 1) << files.join(u' ').toStdString();
  EXPECT_TRUE(fileBytes(folder + u'/' + files[0]).contains("BwcH\xbe"));
  EXPECT_TRUE(
      filesUnder(folder + QStringLiteral("/.partial")).filter(QStringLiteral(".eml")).isEmpty());
}

// A set kept by an older version has no note of its total; the part that
// said it is read once, and the set still joins.
TEST_F(Folder, ASetKeptWithoutItsTotalStillJoins) {
  const QList<QByteArray> parts = splitParts();
  EXPECT_EQ(unpackAttachments(parts[2], folder), NMailAttachmentPartial);
  const QStringList totals =
      filesUnder(folder + QStringLiteral("/.partial")).filter(QStringLiteral("/total"));
  ASSERT_EQ(totals.size(), 1);
  ASSERT_TRUE(QFile::remove(folder + QStringLiteral("/.partial/") + totals[0]));
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(parts[1], folder), NMailAttachmentWritten);
  EXPECT_EQ(visible(), (QStringList{QStringLiteral("big.bin"), QStringLiteral("件名.txt")}));
}

// Parts of a split mail whose other parts never come are not kept out of
// sight for ever: after 30 days without a new part each is saved whole.
TEST_F(Folder, ASplitSetIncompleteForThirtyDaysIsSavedWhole) {
  const QList<QByteArray> parts = splitParts();
  const QList<QByteArray> other = splitParts("other@example.jp");
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(parts[2], folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(other[0], folder), NMailAttachmentPartial);
  const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-31);
  const QString kept = folder + QStringLiteral("/.partial");
  QString otherSet;
  for (const QString &f : filesUnder(kept))
    if (fileBytes(kept + u'/' + f) == other[0])
      otherSet = QFileInfo(kept + u'/' + f).absolutePath();
  ASSERT_FALSE(otherSet.isEmpty());
  for (const QString &f : filesUnder(kept)) {
    const QString path = kept + u'/' + f;
    if (QFileInfo(path).absolutePath() == otherSet)
      continue; // the other set had a part yesterday
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(old, QFileDevice::FileModificationTime));
  }

  releaseStaleSplitSets(folder);
  EXPECT_EQ(visible(), (QStringList{QStringLiteral("part (分割 1).eml"),
                                    QStringLiteral("part (分割 3).eml")}));
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/part (分割 1).eml")), parts[0]);
  EXPECT_EQ(fileBytes(folder + QStringLiteral("/part (分割 3).eml")), parts[2]);
  // The other set waits on; the stale one has left.
  EXPECT_EQ(filesUnder(kept).filter(QStringLiteral(".eml")).size(), 1);
}

TEST(MimeSplit, APartReadsAsANoticeNotAsRawMime) {
  const QList<QByteArray> parts = splitParts();
  EXPECT_TRUE(readableBody(parts[2]).contains(QStringLiteral("3/3")));
  EXPECT_FALSE(readableBody(parts[0]).contains(QStringLiteral("Content-Type")));
}

// ---- building -----------------------------------------------------------

namespace {

Outgoing outgoing() {
  Outgoing m;
  m.from = QStringLiteral("花子 <hanako@example.jp>");
  m.to = QStringLiteral("taro@example.jp");
  m.subject = QStringLiteral("会議の件①");
  m.body = QStringLiteral("こんにちは。\n明日の会議です。\n.\n");
  return m;
}

QByteArray build(const Outgoing &m) {
  QString error;
  const auto built = buildMessage(m, &error);
  EXPECT_TRUE(built.has_value()) << error.toStdString();
  return built.value_or(QByteArray());
}

QStringList headerNames(const QByteArray &message) {
  QStringList names;
  for (const QByteArray &line : message.left(message.indexOf("\r\n\r\n")).split('\n')) {
    if (!line.isEmpty() && line[0] != ' ' && line[0] != '\t')
      names << QString::fromLatin1(line.left(line.indexOf(':')));
  }
  return names;
}

} // namespace

TEST(MimeBuild, JapaneseThatFitsGoesAsIso2022JpAndReadsBack) {
  Outgoing m = outgoing();
  m.subject = QStringLiteral("会議の件");
  const QByteArray built = build(m);
  EXPECT_TRUE(built.contains("Subject: =?ISO-2022-JP?B?"));
  EXPECT_TRUE(built.contains("charset=ISO-2022-JP"));
  for (const char *h : {"From", "To", "Subject", "Date", "Message-ID", "MIME-Version"})
    EXPECT_TRUE(headerNames(built).contains(QLatin1String(h))) << h;
  EXPECT_FALSE(QByteArray(built).replace("\r\n", "").contains('\n')) << "bare LF in the message";
  // Every line of JIS text returns to ASCII before it ends.
  const QByteArray jisBody = built.mid(built.indexOf("\r\n\r\n") + 4);
  for (const QByteArray &line : jisBody.split('\n')) {
    if (line.contains("\x1b$B")) {
      EXPECT_TRUE(line.endsWith("\x1b(B\r")) << line.toHex().constData();
    }
  }
  const QByteArray again = build(m);
  EXPECT_EQ(decodeHeaders(again).subject, m.subject);
  EXPECT_EQ(decodeHeaders(again).from, m.from);
  EXPECT_EQ(readableBody(again), QStringLiteral("こんにちは。\r\n明日の会議です。\r\n."));
}

TEST(MimeBuild, WindowsFormsOfJisCharactersStillGoAsIso2022Jp) {
  Outgoing m = outgoing();
  m.subject = QStringLiteral("10時～11時 －5℃ ￥100");
  m.body = QStringLiteral("〜∥￠");
  const QByteArray built = build(m);
  EXPECT_TRUE(built.contains("Subject: =?ISO-2022-JP?B?"));
  EXPECT_TRUE(built.contains("charset=ISO-2022-JP"));
  // Read back as Windows reads JIS.
  EXPECT_EQ(decodeHeaders(built).subject, m.subject);
  EXPECT_EQ(readableBody(built), QStringLiteral("～∥￠"));
}

TEST(MimeBuild, TextThatDoesNotFitGoesAsUtf8) {
  Outgoing m = outgoing();
  m.subject =
      QStringLiteral("① and ～ and 한국어 and a very long subject that needs folding across lines");
  m.body = QStringLiteral("～①\n");
  const QByteArray built = build(m);
  EXPECT_TRUE(built.contains("Subject: =?UTF-8?B?"));
  EXPECT_TRUE(built.contains("charset=UTF-8"));
  for (const QByteArray &line : built.split('\n'))
    EXPECT_LE(line.size(), 79) << line.constData();
  EXPECT_EQ(decodeHeaders(built).subject, m.subject);
  EXPECT_EQ(readableBody(built), QStringLiteral("～①"));
}

TEST(MimeBuild, ALongSubjectWithoutBlanksStillFitsTheLineLimit) {
  Outgoing m = outgoing();
  m.subject = QString(3000, u'x');
  const QByteArray built = build(m);
  for (const QByteArray &line : built.split('\n'))
    EXPECT_LE(line.size(), 998);
  EXPECT_EQ(decodeHeaders(built).subject, m.subject);
}

TEST(MimeBuild, AttachmentsRoundTripByteForByteWithJapaneseNames) {
  QTemporaryDir dir;
  QByteArray binary;
  for (int i = 0; i < 1000; ++i)
    binary += static_cast<char>(i % 256);
  const QString name = dir.filePath(QStringLiteral("とても長い名前の添付資料ファイル①その二.bin"));
  QFile f(name);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(binary);
  f.close();
  const QString plain = dir.filePath(QStringLiteral("notes.txt"));
  QFile p(plain);
  ASSERT_TRUE(p.open(QIODevice::WriteOnly));
  p.write("plain\r\n");
  p.close();

  Outgoing m = outgoing();
  m.attachments = {name, plain};
  const QByteArray built = build(m);
  EXPECT_TRUE(built.contains("filename*0*=UTF-8''")) << "RFC 2231 name";
  EXPECT_TRUE(built.contains("name=\"=?UTF-8?B?")) << "RFC 2047 name for old readers";
  EXPECT_TRUE(built.contains("Content-Transfer-Encoding: base64"));

  EXPECT_EQ(decodeHeaders(built).subject, m.subject);
  const QString body = readableBody(built);
  EXPECT_TRUE(body.startsWith(QStringLiteral("こんにちは。\r\n"))) << body.toStdString();
  EXPECT_TRUE(body.contains(
      QStringLiteral("attachment: とても長い名前の添付資料ファイル①その二.bin (1000 bytes)")));

  QTemporaryDir out;
  EXPECT_EQ(unpackAttachments(built, out.path()), NMailAttachmentWritten);
  EXPECT_EQ(fileBytes(out.filePath(QStringLiteral("とても長い名前の添付資料ファイル①その二.bin"))),
            binary);
  EXPECT_EQ(fileBytes(out.filePath(QStringLiteral("notes.txt"))), "plain\r\n");
}

TEST(MimeBuild, NoFieldCanInjectAHeader) {
  Outgoing m = outgoing();
  m.subject = QStringLiteral("hello\r\nBcc: victim@example.com");
  m.from = QStringLiteral("me@example.jp\r\nX-Evil: 1");
  m.body = QStringLiteral("body");
  QString error;
  EXPECT_FALSE(buildMessage(m, &error).has_value()) << "a From with a line break is no address";
  m.from = QStringLiteral("Me\r\nX-Evil: 1 <me@example.jp>");
  m.to = QStringLiteral("a@example.jp");
  const QByteArray built = build(m);
  const QStringList names = headerNames(built);
  EXPECT_FALSE(names.contains(QStringLiteral("Bcc")));
  EXPECT_FALSE(names.contains(QStringLiteral("X-Evil")));
  m.to = QStringLiteral("a@example.jp\r\nBcc: victim@example.com");
  EXPECT_FALSE(buildMessage(m, &error).has_value());
  EXPECT_TRUE(envelopeAddresses(m.to).filter(QStringLiteral("\n")).isEmpty());
}

TEST(MimeBuild, RecipientsInEveryShapeTheUserTypes) {
  EXPECT_EQ(envelopeAddresses(QStringLiteral("a@x.jp")), QStringList{QStringLiteral("a@x.jp")});
  EXPECT_EQ(
      envelopeAddresses(QStringLiteral(" a@x.jp , 山田 <b@y.jp>,\"Doe, J\" <c@z.jp>")),
      (QStringList{QStringLiteral("a@x.jp"), QStringLiteral("b@y.jp"), QStringLiteral("c@z.jp")}));
  EXPECT_TRUE(envelopeAddresses(QString()).isEmpty());

  Outgoing m = outgoing();
  m.to = QStringLiteral("a@x.jp, 山田 太郎 <b@y.jp>");
  const QByteArray built = build(m);
  const QByteArray to = built.mid(built.indexOf("\r\nTo: ") + 6);
  EXPECT_TRUE(to.startsWith("a@x.jp,\r\n =?ISO-2022-JP?B?"));
  EXPECT_TRUE(to.contains("<b@y.jp>"));

  QString error;
  m.to = QString();
  EXPECT_FALSE(buildMessage(m, &error).has_value());
  EXPECT_FALSE(error.isEmpty());
  m.to = QStringLiteral("taro＠example.jp");
  EXPECT_FALSE(buildMessage(m, &error).has_value());
  EXPECT_TRUE(error.contains(QStringLiteral("taro＠example.jp")));
}

TEST(MimeBuild, AnUnreadableAttachmentStopsTheMailAndNamesTheFile) {
  Outgoing m = outgoing();
  m.attachments = {QStringLiteral("/nonexistent/見積書.pdf")};
  QString error;
  EXPECT_FALSE(buildMessage(m, &error).has_value());
  EXPECT_TRUE(error.contains(QStringLiteral("見積書.pdf"))) << error.toStdString();
}
