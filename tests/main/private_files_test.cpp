// Mail is no business of other local users: after a real receive with an
// attachment, a send, an address-book entry and a deletion, every file the
// program wrote is 0600 and every folder it made 0700, although the umask
// (022) would have let everyone read them.
#include "main/lib/mainform.h"

#include "compose/sendmail.h"
#include "mail/certpins.h"
#include "mail/store/history.h"
#include "settings/addressbook.h"
#include "settings/config.h"
#include "tests/main/mainwindowfixture.h"
#include "tests/support/servers.h"

#include <QDirIterator>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::MailServers;

namespace {

QByteArray mailWithAttachment() {
  return "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: report\r\n"
         "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
         "--b1\r\nContent-Type: text/plain\r\n\r\nsee the attachment\r\n"
         "--b1\r\nContent-Type: application/octet-stream; name=\"figures.bin\"\r\n"
         "Content-Disposition: attachment; filename=\"figures.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgc=\r\n--b1--\r\n";
}

mode_t modeOf(const QString &path) {
  struct stat st{};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The umask of most systems (022), whatever the test's own.
class PrivateFiles : public MainWindowTest {
protected:
  void SetUp() override { ASSERT_TRUE(folder.isValid()); }
  void TearDown() override {
    MainWindowTest::TearDown();
    ::umask(oldUmask);
  }
  const mode_t oldUmask = ::umask(022);
};

TEST_F(PrivateFiles, EveryFileTheProgramWritesIsTheUsersAloneWhateverTheUmask) {
  auto servers = MailServers::load();
  ASSERT_TRUE(servers) << MailServers::loadError().toStdString();
  const QString user = QStringLiteral("alice");
  ASSERT_TRUE(servers->clear(user));
  ASSERT_TRUE(servers->seed(user, mailWithAttachment()));

  settings::Pop3Server = servers->pop3Server();
  settings::SmtpServer = servers->smtpServer();
  settings::MailAddress = QStringLiteral("taro@example.jp");
  ASSERT_TRUE(settings::SaveServerSettings());
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), user));
  ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), servers->user(user).password));
  {
    loadForm();
    boxes.pushAnswer(platform::MsgAnswer::Yes); // trust the test certificate
    form->Command4_Click();
    ASSERT_EQ(mail::readHistory(mail::History::Received).size(), 1);

    compose::Draft draft;
    draft.to = servers->user(user).address;
    draft.subject = QStringLiteral("s");
    draft.body = QStringLiteral("b");
    EXPECT_EQ(compose::sendDraft(form.get(), draft, false, {}, {}).refused, 0);
    ASSERT_EQ(settings::appendAddressRecord({settings::paddedName(QStringLiteral("花子")), 1,
                                             QStringLiteral("hanako@example.jp")}),
              settings::AddressWriteResult::Ok);
    // A deletion rewrites the history through a work file renamed into place.
    ASSERT_TRUE(mail::markHistoryRecord(mail::History::Sent, 1));
    ASSERT_TRUE(mail::rewriteHistory(mail::History::Sent));
  }
  closeWindow();
  servers->clear(user);

  // The two folders beside the program are the test's own; all else is the program's.
  QStringList files, seen;
  QDirIterator it(folder.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    const QFileInfo info(path);
    if (path == folder.dataPath() || path == folder.attachmentPath())
      continue;
    seen << info.fileName();
    const mode_t want = info.isDir() ? 0700 : 0600;
    EXPECT_EQ(modeOf(path), want) << path.toStdString() << " is "
                                  << QString::number(modeOf(path), 8).toStdString();
  }
  // What the run is about was written at all.
  for (const QString &name : {QStringLiteral("qelmar.ini"), QStringLiteral("iniIdPass.ini"),
                              QStringLiteral("certpins.txt"), QStringLiteral("figures.bin")})
    EXPECT_TRUE(seen.contains(name, Qt::CaseInsensitive)) << name.toStdString() << " in "
                                                          << seen.join(u' ').toStdString();
  EXPECT_GE(seen.size(), 7) << seen.join(u' ').toStdString();
}

// Files an earlier version (or a copy by hand, or an install) left readable
// by others are made the user's alone at start-up, links left alone; and a
// history rewritten by a delete is private whatever mode the old one had.
TEST_F(PrivateFiles, FilesLeftOpenByAnEarlierVersionAreTightenedAtStartAndByADelete) {
  QTemporaryDir outside;
  const QString foreign = outside.filePath(QStringLiteral("someone-elses.txt"));
  ASSERT_TRUE(folder.writeBytes(foreign, "theirs"));
  ASSERT_EQ(::chmod(QFile::encodeName(foreign).constData(), 0644), 0);

  mail::MailRecord r;
  r.Subject = QStringLiteral("old");
  r.Flag = 1;
  const QString history = mail::historyPath(mail::History::Received);
  settings::Pop3Server = QStringLiteral("127.0.0.1");
  ASSERT_TRUE(settings::SaveServerSettings());
  settings::Pop3Server.clear();
  const QString serverFile = folder.file(QStringLiteral("qelmar.ini"));
  ASSERT_EQ(::chmod(QFile::encodeName(serverFile).constData(), 0644), 0);
  const QStringList files = {
      history,
      folder.dataFile(QStringLiteral("Maildir/cur/1.korvex:2,")),
      folder.attachmentPath() + QStringLiteral("/mail 1/figures.bin"),
  };
  for (const QString &f : files) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(f).absolutePath()));
    ASSERT_TRUE(folder.writeBytes(f, mail::encodeMailRecord(r) + mail::encodeMailRecord(r)));
    ASSERT_EQ(::chmod(QFile::encodeName(f).constData(), 0644), 0);
  }
  const QStringList folders = {folder.dataPath(), folder.dataFile(QStringLiteral("Maildir")),
                               folder.dataFile(QStringLiteral("Maildir/cur")),
                               folder.attachmentPath(),
                               folder.attachmentPath() + QStringLiteral("/mail 1")};
  for (const QString &d : folders)
    ASSERT_EQ(::chmod(QFile::encodeName(d).constData(), 0755), 0);
  const QString link = folder.attachmentPath() + QStringLiteral("/link");
  ASSERT_TRUE(QFile::link(foreign, link));
  // The user's own script among the attachments keeps its owner's bits.
  const QString script = folder.attachmentPath() + QStringLiteral("/mail 1/run.sh");
  ASSERT_TRUE(folder.writeBytes(script, "#!/bin/sh\n"));
  ASSERT_EQ(::chmod(QFile::encodeName(script).constData(), 0755), 0);

  {
    loadForm();
    for (const QString &f : files + QStringList{serverFile})
      EXPECT_EQ(modeOf(f), 0600u) << f.toStdString();
    for (const QString &d : folders)
      EXPECT_EQ(modeOf(d), 0700u) << d.toStdString();
    EXPECT_EQ(modeOf(foreign), 0644u); // a link is not followed
    EXPECT_EQ(modeOf(script), 0700u);

    ASSERT_EQ(::chmod(QFile::encodeName(history).constData(), 0644), 0);
    ASSERT_TRUE(mail::markHistoryRecord(mail::History::Received, 1));
    ASSERT_TRUE(mail::rewriteHistory(mail::History::Received));
    EXPECT_EQ(mail::historyCount(mail::History::Received), 1);
    EXPECT_EQ(modeOf(history), 0600u);
  }
}

} // namespace
