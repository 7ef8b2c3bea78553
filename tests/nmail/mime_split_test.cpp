// Split mails (message/partial) as they reach the attachment folder: whose
// parts join a set, what stays hidden after a join, and what a large set
// costs in memory while it is joined.
#include "mail/mime/mime.h"
#include "mail/net/nmail.h"
#include "tests/support/procstatus.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

using namespace nmail;
using namespace nmail::mime;

namespace {

QByteArray wire(QByteArray text) {
  return text.replace("\n", "\r\n");
}

// A mail with one attachment `name` holding `data`.
QByteArray innerMail(const QByteArray &subject, const QByteArray &data,
                     const QByteArray &name = "big.bin") {
  return wire("From: Taro <taro@example.jp>\nSubject: " + subject +
              "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"S\"\n\n--S\n"
              "Content-Type: text/plain\n\nsee the file\n--S\n"
              "Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n"
              "Content-Disposition: attachment; filename=\"" +
              name + "\"\n\n" + data.toBase64() + "\n--S--\n");
}

// The header of part `number` of `count`; only the last says the total.
QByteArray partHeader(int number, int count, const QByteArray &from,
                      const QByteArray &id = "split-1@example.jp") {
  return wire("From: " + from + "\nSubject: part\nMIME-Version: 1.0\n" +
              "Content-Type: message/partial; id=\"" + id +
              "\"; number=" + QByteArray::number(number) +
              (number == count ? "; total=" + QByteArray::number(count) : QByteArray()) + "\n\n");
}

// `inner` cut into `count` parts sent by `from`.
QList<QByteArray> partsOf(const QByteArray &inner, int count, const QByteArray &from) {
  QList<QByteArray> parts;
  const qsizetype piece = inner.size() / count + 1;
  for (int i = 0; i < count; ++i)
    parts << partHeader(i + 1, count, from) + inner.mid(i * piece, piece);
  return parts;
}

class SplitSets : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(QDir(root.path()).mkdir(QStringLiteral("添付フォルダ")));
    folder = root.filePath(QStringLiteral("添付フォルダ"));
  }
  void TearDown() override { dropJoinedMail(); }
  QStringList visible() const { return QDir(folder).entryList(QDir::Files, QDir::Name); }
  QByteArray fileBytes(const QString &name) const {
    QFile f(folder + u'/' + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
  QTemporaryDir root;
  QString folder;
};

const QByteArray Genuine(3000, '\x07');
const QByteArray Forged(3000, 'X');

} // namespace

// Anyone who knows a set's id can send a part of it. Whatever arrives from
// another sender before the genuine parts, the genuine set joins with its
// own bytes and nothing of it stays hidden.
TEST_F(SplitSets, PartsFromAnotherSenderNeitherJoinNorHideTheSet) {
  const QList<QByteArray> genuine = partsOf(innerMail("genuine", Genuine), 3, "taro@example.jp");
  const QList<QByteArray> forgedThree =
      partsOf(innerMail("forged", Forged), 3, "Taro <mallory@evil.example>");
  struct Row {
    const char *what;
    QList<QByteArray> forged;
    int forgedResult;
  };
  const QList<Row> rows = {
      // Joined at once: its mark must not hide the genuine set.
      {"a whole forged set of one",
       partsOf(innerMail("forged", Forged, "forged.bin"), 1, "mallory@evil.example"),
       NMailAttachmentWritten},
      // Kept first: they must neither take the place of the genuine parts 1
      // and 3 nor make a set with the genuine part 2.
      {"forged parts 1 and 3 of 3", {forgedThree[0], forgedThree[2]}, NMailAttachmentPartial},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    QTemporaryDir r;
    folder = r.path();
    for (const QByteArray &part : row.forged)
      EXPECT_EQ(unpackAttachments(part, folder), row.forgedResult);
    EXPECT_EQ(unpackAttachments(genuine[0], folder), NMailAttachmentPartial);
    EXPECT_EQ(unpackAttachments(genuine[1], folder), NMailAttachmentPartial);
    EXPECT_EQ(unpackAttachments(genuine[2], folder), NMailAttachmentWritten);
    EXPECT_EQ(fileBytes(QStringLiteral("big.bin")), Genuine);
    EXPECT_TRUE(visible().contains(QStringLiteral("genuine.txt")))
        << visible().join(u' ').toStdString();
  }
}

// The mark of a joined set keeps a part that comes again from writing the
// files twice, but not for ever.
TEST_F(SplitSets, AJoinedSetsMarkExpiresWithItsSet) {
  const QList<QByteArray> parts = partsOf(innerMail("genuine", Genuine), 2, "taro@example.jp");
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(parts[1], folder), NMailAttachmentWritten);
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentNone) << "a late duplicate";

  const QDir kept(folder + QStringLiteral("/.partial"));
  const QStringList marks = kept.entryList({QStringLiteral("*.joined")}, QDir::Files);
  ASSERT_EQ(marks.size(), 1);
  QFile mark(kept.filePath(marks[0]));
  ASSERT_TRUE(mark.open(QIODevice::ReadWrite));
  ASSERT_TRUE(mark.setFileTime(QDateTime::currentDateTimeUtc().addDays(-31),
                               QFileDevice::FileModificationTime));
  mark.close();
  // The joined mail nobody took goes as well, once it is an hour old.
  const QStringList untaken = kept.entryList({QStringLiteral("*.mail")}, QDir::Files);
  ASSERT_EQ(untaken.size(), 1);
  QFile joined(kept.filePath(untaken[0]));
  ASSERT_TRUE(joined.open(QIODevice::ReadWrite));
  ASSERT_TRUE(joined.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-7200),
                                 QFileDevice::FileModificationTime));
  joined.close();
  releaseStaleSplitSets(folder);
  EXPECT_FALSE(mark.exists());
  EXPECT_FALSE(joined.exists());
  EXPECT_EQ(unpackAttachments(parts[0], folder), NMailAttachmentPartial)
      << "the same sender's set with the same id is kept again";
}

// Parts kept by an older version, under a name made of the id alone, still
// join with the parts of the same sender that come now; another sender's
// part kept there never does.
TEST_F(SplitSets, ASetBegunBeforeStillJoins) {
  const QList<QByteArray> genuine = partsOf(innerMail("genuine", Genuine), 3, "taro@example.jp");
  const QList<QByteArray> forged = partsOf(innerMail("forged", Forged), 3, "mallory@evil.example");
  const QString older =
      folder + QStringLiteral("/.partial/") +
      QString::fromLatin1(QCryptographicHash::hash("split-1@example.jp", QCryptographicHash::Sha256)
                              .toHex()
                              .left(32));
  ASSERT_TRUE(QDir().mkpath(older));
  for (const auto &[name, bytes] :
       {std::pair{"1.eml", genuine[0]}, std::pair{"2.eml", forged[1]}}) {
    QFile f(older + u'/' + QLatin1String(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  EXPECT_EQ(unpackAttachments(genuine[2], folder), NMailAttachmentPartial);
  EXPECT_EQ(unpackAttachments(genuine[1], folder), NMailAttachmentWritten);
  EXPECT_EQ(fileBytes(QStringLiteral("big.bin")), Genuine);
}

// A set of 20 parts of 5 MB each is joined through a file on the disk: the
// process takes little more than a part's worth of memory for it (all parts
// in memory at once took 1.16 GB). The joined mail's header is part 1's own,
// with the content fields of the header it encloses (RFC 2046 5.2.2).
TEST_F(SplitSets, ALargeSetJoinsOnTheDiskWithItsHeaderMerged) {
  QTemporaryDir work;
  constexpr int Count = 20;
  constexpr qint64 Data = 75 * 1024 * 1024; // about 100 MB as base64
  const QString innerPath = work.filePath(QStringLiteral("inner"));
  QCryptographicHash expected(QCryptographicHash::Sha256);
  qint64 size = 0;
  {
    QFile inner(innerPath);
    ASSERT_TRUE(inner.open(QIODevice::WriteOnly));
    inner.write(wire("From: Someone Else <else@example.jp>\nX-Enclosed: dropped\n"
                     "Subject: big set\nMIME-Version: 1.0\n"
                     "Content-Type: multipart/mixed; boundary=\"S\"\n\n--S\n"
                     "Content-Type: text/plain\n\nsee the file\n--S\n"
                     "Content-Type: application/octet-stream\n"
                     "Content-Transfer-Encoding: base64\n"
                     "Content-Disposition: attachment; filename=\"big.bin\"\n\n"));
    quint32 state = 12345;
    QByteArray chunk(57 * 1024, Qt::Uninitialized); // whole base64 lines of 76
    for (qint64 done = 0; done < Data; done += chunk.size()) {
      for (char &c : chunk) {
        state = state * 1664525u + 1013904223u;
        c = char(state >> 24);
      }
      expected.addData(chunk);
      size += chunk.size();
      const QByteArray text = chunk.toBase64();
      for (qsizetype at = 0; at < text.size(); at += 76)
        inner.write(text.mid(at, 76) + "\r\n");
    }
    inner.write("--S--\r\n");
  }
  QStringList partPaths;
  {
    QFile inner(innerPath);
    ASSERT_TRUE(inner.open(QIODevice::ReadOnly));
    const qint64 piece = inner.size() / Count + 1;
    for (int n = 1; n <= Count; ++n) {
      partPaths << work.filePath(QStringLiteral("part%1").arg(n));
      QFile part(partPaths.last());
      ASSERT_TRUE(part.open(QIODevice::WriteOnly));
      if (n == 1)
        part.write(wire("Received: from relay.example.jp\nX-Outer: kept\n"));
      part.write(partHeader(n, Count, "Taro <taro@example.jp>", "big@example.jp"));
      part.write(inner.read(piece));
    }
  }
  ASSERT_TRUE(QFile::remove(innerPath));

  // Freed memory still counted as this process's (earlier tests) would
  // hide what the join takes.
  ::malloc_trim(0);
  if (!testsupport::resetPeakMemory())
    GTEST_SKIP() << "the kernel keeps this process's peak memory";
  const long before = testsupport::statusKb("VmHWM:");
  for (int n = 1; n <= Count; ++n) {
    const int fd = ::open(QFile::encodeName(partPaths[n - 1]).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(unpackAttachments(Source::fromFile(fd), folder),
              n < Count ? NMailAttachmentPartial : NMailAttachmentWritten);
  }
  const long grown = testsupport::statusKb("VmHWM:") - before;
  RecordProperty("peak_growth_kb", int(grown));
  std::printf("joining %d parts of %lld kB: peak memory grew by %ld kB\n", Count,
              QFileInfo(partPaths[0]).size() / 1024, grown);
#if !defined(__SANITIZE_ADDRESS__)
  // The sanitizers keep freed memory aside, so the peak means nothing there.
  EXPECT_LT(grown, 40 * 1024) << "the set is 100 MB";
#endif

  QFile big(folder + QStringLiteral("/big.bin"));
  ASSERT_TRUE(big.open(QIODevice::ReadOnly));
  QCryptographicHash got(QCryptographicHash::Sha256);
  ASSERT_TRUE(got.addData(&big));
  EXPECT_EQ(big.size(), size);
  EXPECT_EQ(got.result(), expected.result());

  const std::optional<QString> joined = takeJoinedMailFile();
  ASSERT_TRUE(joined);
  QFile mail(*joined);
  ASSERT_TRUE(mail.open(QIODevice::ReadOnly));
  const QByteArray head = mail.read(4096);
  const QByteArray header = head.left(head.indexOf("\r\n\r\n") + 2);
  EXPECT_EQ(header, wire("Received: from relay.example.jp\nX-Outer: kept\n"
                         "From: Taro <taro@example.jp>\nSubject: big set\nMIME-Version: 1.0\n"
                         "Content-Type: multipart/mixed; boundary=\"S\"\n"));
  mail.remove();
}
