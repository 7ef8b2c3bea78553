// The unpack step on its own: what goes through the work file, what the
// transport makes of it, and what the user is told.
#include "mail/unpack.h"
#include "mail/net/nmail.h"
#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace mail;

namespace {

const QString MultipartHeader = QStringLiteral(
    "From: taro@example.jp\r\nTo: alice@korvex.test\r\nSubject: report\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n");

const QString MultipartBody = QStringLiteral(
    "--XYZ\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nSee the attachment.\r\n"
    "--XYZ\r\nContent-Type: application/octet-stream; name=\"report.bin\"\r\n"
    "Content-Disposition: attachment; filename=\"report.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nS29ydmV4\r\n--XYZ--");

} // namespace

TEST(WorkFileText, EveryLineEndsInCrLfWhateverBreakItHadInTheFile) {
  EXPECT_EQ(messageTextOf("a\r\nb\nc\rd\r\n"), QStringLiteral("a\r\nb\r\nc\r\nd\r\n"));
  EXPECT_EQ(messageTextOf("last line without break"), QStringLiteral("last line without break\r\n"));
  EXPECT_EQ(messageTextOf("\r\n\r\n"), QStringLiteral("\r\n\r\n")); // empty lines stay
  EXPECT_EQ(messageTextOf(QByteArray("\x83\x65\x83\x58\x83\x67\r\n")), QStringLiteral("テスト\r\n"));
  EXPECT_TRUE(messageTextOf({}).isEmpty());
}

class Unpack : public ::testing::Test {
protected:
  std::optional<TempProgramFolder> folder;
  MessageBoxDouble boxes;
  void SetUp() override {
    nmail::NMailInitializeWinSock();
    folder.emplace();
    ASSERT_TRUE(folder->isValid());
  }
};

TEST_F(Unpack, AnAttachmentLandsInTheFolderAndTheWorkFileGoes) {
  EXPECT_TRUE(attachmentFolderArgument().endsWith(QDir::separator()));
  const int r = unpackMail(UnpackInput{QStringLiteral("report"), {}, QStringLiteral("taro@example.jp"),
                                       MultipartHeader, MultipartBody, MultipartBody},
                           nullptr);
  EXPECT_EQ(r, nmail::NMailAttachmentWritten);
  QFile written(folder->attachmentPath() + QStringLiteral("/report.bin"));
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_EQ(written.readAll(), QByteArray("Korvex"));
  EXPECT_FALSE(QFile::exists(workFilePath()));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(Unpack, AMailWithoutAttachmentsShowsNothing) {
  const int r = unpackMail(UnpackInput{QStringLiteral("hello"), {}, {},
                                       QStringLiteral("Subject: hello\r\nContent-Type: text/plain"),
                                       QStringLiteral("just text"), QStringLiteral("just text")},
                           nullptr);
  EXPECT_NE(r, nmail::NMailAttachmentWritten);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_FALSE(QFile::exists(workFilePath()));
  EXPECT_TRUE(QDir(folder->attachmentPath()).isEmpty());
}

TEST_F(Unpack, AMissingAttachmentFolderIsReportedNotCreated) {
  folder.emplace(QString::fromUtf16(platform::DataFolderName), false);
  ASSERT_TRUE(folder->isValid());
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  const int r = unpackMail(UnpackInput{QStringLiteral("report"), {}, {}, MultipartHeader,
                                       MultipartBody, MultipartBody},
                           nullptr);
  EXPECT_EQ(r, nmail::NMailAttachmentOpenError);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("添付ファイルをオープンできません"));
  EXPECT_TRUE(boxes.boxes()[0].title.isEmpty());
  EXPECT_FALSE(QDir(folder->attachmentPath()).exists());
}
