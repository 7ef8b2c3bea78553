// qelmar.ini and the account profile on disk.
#include "settings/config.h"

#include "platform/core/paths.h"
#include "tests/support/programfolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

void resetSettings() {
  settings::SmtpServer.clear();
  settings::Pop3Server.clear();
  settings::MailAddress.clear();
  settings::UseApop = 0;
  settings::AccountId.clear();
  settings::AccountPassword.clear();
}

mode_t fileMode(const QString &path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0)
    return 0;
  return st.st_mode & 0777;
}

class ConfigFiles : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    resetSettings();
  }
  void TearDown() override { resetSettings(); }
  TempProgramFolder folder;
};

} // namespace

TEST_F(ConfigFiles, ServerSettingsRoundTripThroughQelmarIni) {
  settings::SmtpServer = QStringLiteral("smtp.example.jp");
  settings::Pop3Server = QStringLiteral("pop.example.jp");
  settings::MailAddress = QStringLiteral("taro@example.jp");
  settings::UseApop = 1;
  ASSERT_TRUE(settings::SaveServerSettings());
  EXPECT_EQ(folder.readBytes(folder.file(QStringLiteral("qelmar.ini"))),
            QByteArray("SMTP=smtp.example.jp\r\nPOP3=pop.example.jp\r\n"
                       "MAIL=taro@example.jp\r\nAPOP=1\r\n"));

  resetSettings();
  settings::LoadServerSettings();
  EXPECT_EQ(settings::SmtpServer, u"smtp.example.jp");
  EXPECT_EQ(settings::Pop3Server, u"pop.example.jp");
  EXPECT_EQ(settings::MailAddress, u"taro@example.jp");
  EXPECT_EQ(settings::UseApop, 1);
}

TEST_F(ConfigFiles, SaveRewritesTheWholeFile) {
  const QString path = folder.file(QStringLiteral("qelmar.ini"));
  ASSERT_TRUE(
      folder.writeBytes(path, QByteArray("SMTP=old\r\nEXTRA=kept?\r\n") + QByteArray(5000, 'z')));
  settings::Pop3Server = QStringLiteral("pop");
  ASSERT_TRUE(settings::SaveServerSettings());
  EXPECT_EQ(folder.readBytes(path), QByteArray("SMTP=\r\nPOP3=pop\r\nMAIL=\r\nAPOP=0\r\n"));
}

TEST_F(ConfigFiles, MissingQelmarIniLeavesValues) {
  settings::SmtpServer = QStringLiteral("kept");
  settings::UseApop = 1;
  settings::LoadServerSettings();
  EXPECT_EQ(settings::SmtpServer, u"kept");
  EXPECT_EQ(settings::UseApop, 1);
}

TEST_F(ConfigFiles, QelmarIniFoundWhateverItsLetterCase) {
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("QELMAR.INI")), "POP3=upper\r\n"));
  settings::LoadServerSettings();
  EXPECT_EQ(settings::Pop3Server, u"upper");
}

TEST_F(ConfigFiles, SaveReportsAFailedWrite) {
  platform::setProgramFolder(folder.path() + QStringLiteral("/gone"));
  settings::Pop3Server = QStringLiteral("pop");
  EXPECT_FALSE(settings::SaveServerSettings());
  platform::setProgramFolder(folder.path());
  // Values that the file cannot hold are refused, and the old file stays.
  ASSERT_TRUE(settings::SaveServerSettings());
  settings::MailAddress = QStringLiteral("x\r\nPOP3=evil");
  EXPECT_FALSE(settings::SaveServerSettings());
  settings::MailAddress.clear();
  settings::Pop3Server.clear();
  settings::LoadServerSettings();
  EXPECT_EQ(settings::Pop3Server, u"pop");
  EXPECT_EQ(settings::MailAddress, u"");
}

TEST_F(ConfigFiles, AccountPasswordWithBlanksAndEqualsSignsReadsBackUnchanged) {
  for (const QString &password :
       {QStringLiteral("pa ss=wo=rd"), QStringLiteral("  lead and trail  "),
        QStringLiteral("\"quoted\""), QStringLiteral("'single'"), QStringLiteral("=")}) {
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), password));
    EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME2")), password);
  }
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral(u"山田")));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"山田");
}

TEST_F(ConfigFiles, AccountFileLayoutAndOtherLinesKept) {
  const QString path = folder.dataFile(QStringLiteral("iniIdPass.ini"));
  ASSERT_TRUE(folder.writeBytes(path, "; by hand\r\n[OTHER]\r\nNAME=other\r\n"
                                      "[EXEINI]\r\nNAME=old\r\nNAME2=secret\r\nNAME3=1\r\n"));
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME3"), QStringLiteral("0")));
  EXPECT_EQ(folder.readBytes(path),
            QByteArray("; by hand\r\n[OTHER]\r\nNAME=other\r\n"
                       "[EXEINI]\r\nNAME=old\r\nNAME2=secret\r\nNAME3=0\r\n"));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"old");
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("name2")), u"secret");
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME4")), u"");
}

TEST_F(ConfigFiles, NewAccountFileGoldenBytes) {
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("taro")));
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral("pw")));
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME3"), QStringLiteral("1")));
  // The file keeps the spelling "iniIdPass.ini", inside the folder as it is on disk.
  EXPECT_EQ(folder.readBytes(folder.dataFile(QStringLiteral("iniIdPass.ini"))),
            QByteArray("[EXEINI]\r\nNAME=taro\r\nNAME2=pw\r\nNAME3=1\r\n"));
}

TEST_F(ConfigFiles, AccountFileIsOwnerOnly) {
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("taro")));
  const QString path = folder.dataFile(QStringLiteral("iniIdPass.ini"));
  EXPECT_EQ(fileMode(path), mode_t(0600));

  // A file others could read is closed to them at the next write.
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral("pw")));
  EXPECT_EQ(fileMode(path), mode_t(0600));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"taro");
}

TEST_F(ConfigFiles, AccountValuesAreCutAt255Bytes) {
  const QString longId(300, u'a');
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), longId));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), QString(255, u'a'));
}

TEST_F(ConfigFiles, AccountWriteFailsWithoutDataFolder) {
  ASSERT_TRUE(QDir(folder.path()).rmdir(QString::fromUtf16(platform::DataFolderName)));
  EXPECT_FALSE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("taro")));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"");
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList{QString::fromUtf16(platform::AttachmentFolderName)});
}

TEST_F(ConfigFiles, AccountValueOutsideCp932IsRefusedNotMangled) {
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral("old")));
  EXPECT_FALSE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral(u"pässwörd")));
  EXPECT_FALSE(settings::WriteAccountKey(QStringLiteral("NAME2"), QStringLiteral("a\r\nNAME=x")));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME2")), u"old");
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"");
}

TEST(ConfigFilesSpelling, AccountFileInLowerCaseDataFolder) {
  TempProgramFolder folder(QStringLiteral(u"★maildata"));
  ASSERT_TRUE(folder.isValid());
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), QStringLiteral("taro")));
  EXPECT_TRUE(QFile::exists(folder.dataFile(QStringLiteral("iniIdPass.ini"))));
  EXPECT_EQ(settings::ReadAccountKey(QStringLiteral("NAME")), u"taro");
}
