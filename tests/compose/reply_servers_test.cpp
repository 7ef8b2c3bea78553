// A mail received from the real Dovecot, answered through the reply window,
// arrives at its original sender through the real Postfix: the recipient is
// the sender text as received, display name and all.
#include "compose/backform.h"
#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/receive.h"
#include "mail/tyakuform.h"
#include "main/lib/mainform.h"
#include "settings/config.h"
#include "settings/serverfile.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"
#include "tests/support/servers.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using testsupport::MailServers;

TEST(ReplyThroughServers, AReceivedMailIsAnsweredAndTheAnswerReachesItsSenderInItsThread) {
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  ASSERT_TRUE(folder.isValid());
  auto servers = MailServers::load();
  ASSERT_TRUE(servers) << MailServers::loadError().toStdString();
  ASSERT_TRUE(servers->clear(QStringLiteral("alice")));
  ASSERT_TRUE(servers->clear(QStringLiteral("taro")));
  const QString alice = servers->user(QStringLiteral("alice")).address;
  const QString taro = servers->user(QStringLiteral("taro")).address;

  settings::ServerSettings s;
  s.smtp = servers->submissionServer() + QStringLiteral("#sha256=") + servers->certSha256;
  s.pop3 = servers->pop3Server() + QStringLiteral("#sha256=") + servers->certSha256;
  s.mail = alice;
  ASSERT_TRUE(
      folder.writeBytes(folder.file(QStringLiteral("qelmar.ini")), *settings::serverFileBytes(s)));
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("iniIdPass.ini")),
                                "[EXEINI]\r\nNAME=alice\r\nNAME2=" +
                                    servers->user(QStringLiteral("alice")).password.toLatin1() +
                                    "\r\n"));
  nmail::setSmtpAccountProvider([] {
    return nmail::SmtpAccount{settings::ReadAccountKey(QStringLiteral("NAME")),
                              settings::ReadAccountKey(QStringLiteral("NAME2"))};
  });
  nmail::setNetworkTimeoutMs(15000);

  // "山田太郎" and "会議の件" in ISO-2022-JP, B-encoded, as Japanese mail comes.
  const QByteArray mail =
      "From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <" + taro.toLatin1() +
      ">\r\nTo: " + alice.toLatin1() +
      "\r\nSubject: =?ISO-2022-JP?B?GyRCMnE1RCRON28bKEI=?=\r\n"
      "Date: Mon, 7 Dec 2026 09:05:00 +0900\r\nMessage-ID: <reply-test@example.jp>\r\n"
      "References: <first@example.jp>\r\n <second@example.jp>\r\n"
      "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
      "Shall we meet at ten?\r\n";
  ASSERT_TRUE(servers->seed(QStringLiteral("alice"), mail));

  auto main = std::make_unique<MainForm>();
  main->endProgram = [] {};
  main->Form_Load();
  main->Timer3->stop();
  mail::ReceiveMail(*main);
  ASSERT_EQ(mail::historyCount(mail::History::Received), 1);

  mail::openHistoryViewer(mail::History::Received);
  TyakuForm *viewer = forms::tyakuForm().get();
  ASSERT_EQ(viewer->List1->count(), 1);
  const QRect r = viewer->List1->visualItemRect(viewer->List1->item(0));
  QTest::mouseClick(viewer->List1->viewport(), Qt::LeftButton, {}, r.center());
  QTest::mouseClick(viewer->Command4, Qt::LeftButton);

  BackForm *reply = forms::backForm().get();
  ASSERT_TRUE(reply->isVisible());
  EXPECT_EQ(reply->ToText->text(), QStringLiteral("山田太郎 <") + taro + QStringLiteral(">"));
  EXPECT_EQ(reply->SubjectText->text(), QStringLiteral("Re:  会議の件"));
  reply->BodyText->setPlainText(QStringLiteral("Ten is fine.\n\n") +
                                reply->BodyText->toPlainText());
  // An address Postfix refuses: the window stays with the answer typed.
  const QString typed = reply->BodyText->toPlainText();
  reply->ToText->setText(QStringLiteral("nobody@") + servers->domain);
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  QTest::mouseClick(reply->Command2, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, u"送信エラー");
  ASSERT_TRUE(forms::backForm().loaded());
  EXPECT_EQ(reply->BodyText->toPlainText(), typed);

  boxes.clear();
  reply->ToText->setText(QStringLiteral("山田太郎 <") + taro + QStringLiteral(">"));
  QTest::mouseClick(reply->Command2, Qt::LeftButton);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_FALSE(forms::backForm().loaded());
  // Nothing of a reply goes into the sent history.
  EXPECT_EQ(mail::historyCount(mail::History::Sent), 0);

  ASSERT_TRUE(servers->waitForMessages(QStringLiteral("taro"), 1));
  const QByteArray arrived = servers->messages(QStringLiteral("taro")).first();
  const QByteArray header = arrived.left(
      arrived.indexOf("\r\n\r\n") >= 0 ? arrived.indexOf("\r\n\r\n") : arrived.indexOf("\n\n"));
  // The display name goes out encoded, the address beside it.
  EXPECT_TRUE(
      header.contains("To: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <" + taro.toLatin1() + ">"))
      << header.constData();
  // The answer names the mail it answers and the thread before it, so the
  // recipient's program puts it under that mail.
  QByteArray lines = header;
  lines.replace("\r\n", "\n");
  EXPECT_TRUE(lines.contains("\nIn-Reply-To: <reply-test@example.jp>\n")) << header.constData();
  EXPECT_TRUE(lines.contains(
      "\nReferences: <first@example.jp>\n <second@example.jp>\n <reply-test@example.jp>\n"))
      << header.constData();
  EXPECT_TRUE(arrived.contains("Ten is fine."));
  EXPECT_TRUE(arrived.contains("Shall we meet at ten?"));

  forms::tyakuForm().unload();
  main.reset();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  nmail::setSmtpAccountProvider(nullptr);
}
