#include "platform/core/profile.h"

#include "platform/core/ansi.h"
#include "tests/support/programfolder.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace platform;

namespace {

class ProfileTest : public ::testing::Test {
protected:
  TempProgramFolder folder;
  QString ini = folder.dataFile(QStringLiteral("iniIdPass.ini"));

  QString get(const QString &section, const QString &key, int size = 256) {
    return getPrivateProfileString(section, key, QString(), size, ini);
  }
};

} // namespace

TEST_F(ProfileTest, ReadsKeysWithoutRegardToCase) {
  ASSERT_TRUE(folder.writeBytes(ini, "[Other]\r\nNAME=wrong\r\n[exeini]\r\nname = user01 \r\nName2=p=a ss\r\n"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME")), QString("user01"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME2")), QString("p=a ss"));
  EXPECT_EQ(get(QStringLiteral("Other"), QStringLiteral("name")), QString("wrong"));
}

TEST_F(ProfileTest, ReadAndWriteAgreeOnTheFirstOfTwoSections) {
  ASSERT_TRUE(folder.writeBytes(ini, "[EXEINI]\r\nNAME=a\r\n[EXEINI]\r\nNAME2=b\r\n"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME2")), QString());
  ASSERT_TRUE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME2"), QStringLiteral("c"), ini));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME2")), QString("c"));
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(getPrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"), QStringLiteral("d"), 256, ini),
            QString("d"));
  ASSERT_TRUE(folder.writeBytes(ini, "[EXEINI]\r\nNAME=x\r\n[B]\r\nNAME3=1\r\n"));
  EXPECT_EQ(get(QStringLiteral("NOPE"), QStringLiteral("NAME")), QString());
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME3")), QString()); // belongs to [B]
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME"), 0), QString());
}

TEST_F(ProfileTest, ValueIsCutToTheBufferOnACharacterBoundary) {
  ASSERT_TRUE(folder.writeBytes(ini, "[EXEINI]\r\nNAME=" + toAnsi(QString::fromUtf16(u"ab漢字")) + "\r\n"));
  // Three bytes hold "ab" and 漢's lead byte, which is left out.
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME"), 4), QString::fromUtf16(u"ab"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME"), 5), QString::fromUtf16(u"ab漢"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME"), 6), QString::fromUtf16(u"ab漢"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME"), 7), QString::fromUtf16(u"ab漢字"));
  const QByteArray longValue(300, 'x');
  ASSERT_TRUE(folder.writeBytes(ini, "[EXEINI]\r\nNAME=" + longValue + "\r\n"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME")).size(), 255);
}

TEST_F(ProfileTest, WriteCreatesFileAndSection) {
  EXPECT_TRUE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"), QStringLiteral("1"), ini));
  EXPECT_EQ(folder.readBytes(ini), QByteArray("[EXEINI]\r\nNAME=1\r\n"));
  EXPECT_TRUE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME2"), QString::fromUtf16(u"秘密"), ini));
  EXPECT_EQ(folder.readBytes(ini), "[EXEINI]\r\nNAME=1\r\nNAME2=" + toAnsi(QString::fromUtf16(u"秘密")) + "\r\n");
}

TEST_F(ProfileTest, WriteKeepsEveryOtherLine) {
  const QByteArray before = "; written by hand\r\n[A]\r\nx=1\r\n\r\n[exeini]\r\nName=old\r\nNAME3=1\r\n"
                            "\xff\xfe odd bytes\r\n[Z]\r\nNAME=z";
  ASSERT_TRUE(folder.writeBytes(ini, before));
  EXPECT_TRUE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"), QStringLiteral("new"), ini));
  QByteArray after = before;
  after.replace("Name=old", "NAME=new");
  EXPECT_EQ(folder.readBytes(ini), after);

  // A new key goes at the end of its section, before the next one.
  EXPECT_TRUE(writePrivateProfileString(QStringLiteral("A"), QStringLiteral("y"), QStringLiteral("2"), ini));
  after.replace("x=1\r\n", "x=1\r\ny=2\r\n");
  EXPECT_EQ(folder.readBytes(ini), after);

  // A new section after a last line without a line end.
  EXPECT_TRUE(writePrivateProfileString(QStringLiteral("New"), QStringLiteral("k"), QStringLiteral("v"), ini));
  EXPECT_EQ(folder.readBytes(ini), after + "\r\n[New]\r\nk=v\r\n");
}

TEST_F(ProfileTest, ValuesRoundTripUnchanged) {
  const QStringList values = {QStringLiteral("pa ss=word"), QStringLiteral("  outer blanks "),
                              QStringLiteral("\"quoted\""), QStringLiteral("'single'"), QStringLiteral("="),
                              QString::fromUtf16(u"パスワード①"), QString()};
  for (const QString &value : values) {
    ASSERT_TRUE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME2"), value, ini));
    EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME2")), value) << value.toStdString();
  }
  // Quotes written by the Windows program are not part of the value.
  ASSERT_TRUE(folder.writeBytes(ini, "[EXEINI]\r\nNAME=\" a \"\r\n"));
  EXPECT_EQ(get(QStringLiteral("EXEINI"), QStringLiteral("NAME")), QString(" a "));
}

TEST_F(ProfileTest, LineBreaksCannotSlipInAKey) {
  EXPECT_FALSE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"),
                                         QStringLiteral("x\r\nNAME2=injected"), ini));
  EXPECT_FALSE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("A=B"), QStringLiteral("x"), ini));
  EXPECT_FALSE(QFileInfo::exists(ini));
}

TEST_F(ProfileTest, EveryProfileIsTheOwnersAloneAndAFailedWriteLeavesNothing) {
  EXPECT_TRUE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME2"), QStringLiteral("pw"), ini));
  const auto perms = QFileInfo(ini).permissions();
  EXPECT_TRUE(perms.testFlag(QFileDevice::ReadOwner));
  EXPECT_FALSE(perms.testFlag(QFileDevice::ReadGroup));
  EXPECT_FALSE(perms.testFlag(QFileDevice::ReadOther));

  const QString nowhere = folder.path() + QStringLiteral("/missing/option.ini");
  EXPECT_FALSE(writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"), QStringLiteral("1"), nowhere));
  EXPECT_FALSE(QFileInfo::exists(folder.path() + QStringLiteral("/missing")));
}
