#include "platform/core/paths.h"

#include "tests/support/programfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace platform;

TEST(Paths, ProgramFolderIsTheTestFolderAndComesBack) {
  const QString before = programFolder();
  {
    TempProgramFolder folder;
    ASSERT_TRUE(folder.isValid());
    EXPECT_EQ(programFolder(), folder.path());
    EXPECT_EQ(attachmentFolder(), folder.attachmentPath());
    EXPECT_TRUE(attachmentFolderExists());
  }
  EXPECT_EQ(programFolder(), before);
  EXPECT_EQ(QDir(before), QDir(QCoreApplication::applicationDirPath()));
}

TEST(Paths, DataFolderIsFoundUnderEitherSpellingAndAnyCase) {
  for (const QString &onDisk : {QStringLiteral(u"★MAilData"), QStringLiteral(u"★MailData"),
                                QStringLiteral(u"★MAILDATA"), QStringLiteral(u"★maildata")}) {
    TempProgramFolder folder(onDisk);
    ASSERT_TRUE(folder.isValid());
    EXPECT_EQ(dataFolder(), folder.dataPath()) << onDisk.toStdString();
    EXPECT_TRUE(dataFolderExists());
  }
}

TEST(Paths, MissingDataFolderIsNotCreated) {
  TempProgramFolder folder(QStringLiteral("elsewhere"), false);
  EXPECT_FALSE(dataFolderExists());
  EXPECT_EQ(dataFolder(), folder.path() + QStringLiteral(u"/★MAilData"));
  EXPECT_EQ(dataFile(QStringLiteral("qlmdata2.data")), folder.path() + QStringLiteral(u"/★MAilData/qlmdata2.data"));
  EXPECT_FALSE(QFileInfo::exists(dataFolder()));
  EXPECT_FALSE(attachmentFolderExists());
}

TEST(Paths, FilesInsideAreMatchedWithoutRegardToCase) {
  TempProgramFolder folder;
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("Qlmdata90.data")), "x"));
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("QELMAR.INI")), "y"));
  EXPECT_EQ(dataFile(QStringLiteral("QLMDATA90.DATA")), folder.dataFile(QStringLiteral("Qlmdata90.data")));
  EXPECT_EQ(programFile(QStringLiteral("qelmar.ini")), folder.file(QStringLiteral("QELMAR.INI")));
  // A file that does not exist yet keeps the spelling asked for.
  EXPECT_EQ(dataFile(QStringLiteral("QLMDATA90.TMP")), folder.dataFile(QStringLiteral("QLMDATA90.TMP")));
  EXPECT_EQ(findCaseInsensitive(folder.dataPath(), QStringLiteral("none")), QString());
  EXPECT_EQ(findCaseInsensitive(folder.path() + QStringLiteral("/nowhere"), QStringLiteral("x")), QString());
}

TEST(Paths, ExactSpellingWinsWhenSeveralExist) {
  TempProgramFolder folder;
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("a.ini")), "1"));
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("A.INI")), "2"));
  EXPECT_EQ(dataFile(QStringLiteral("A.INI")), folder.dataFile(QStringLiteral("A.INI")));
  EXPECT_EQ(dataFile(QStringLiteral("a.ini")), folder.dataFile(QStringLiteral("a.ini")));
}
