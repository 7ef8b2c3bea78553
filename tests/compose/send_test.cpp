// Sending from the compose window through the real Postfix, each mail
// fetched back from Dovecot over POP3; the sent history checked byte by byte.
// The main window is loaded as at start-up: the compose window takes its
// clock text for the sent mail's date.
#include "compose/fortune.h"
#include "compose/writeform.h"
#include "mail/store/history.h"
#include "mail/store/mailrecord.h"
#include "mail/net/nmail.h"
#include "mail/store/originals.h"
#include "main/lib/mainform.h"
#include "platform/core/ansi.h"
#include "settings/addressbook.h"
#include "settings/config.h"
#include "settings/serverfile.h"
#include "tests/support/fakes.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"
#include "tests/support/servers.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace nmail;
using platform::MsgAnswer;
using testsupport::MailServers;

namespace {

struct Fetched {
  QString subject, header, body;
  int attachments = 0;
};

// The receive routine's calls for every mail waiting for `user`; each mail's
// attachments are unpacked into `folder`.
QList<Fetched> fetchAll(const MailServers &servers, const QString &user, const QString &folder) {
  QList<Fetched> out;
  const auto u = servers.user(user);
  const int h =
      NMailPop3Connect(servers.pop3Server() + QStringLiteral("#sha256=") + servers.certSha256);
  if (h == -1)
    return out;
  const int count = NMailPop3Authenticate(h, u.name, u.password, -1);
  QString subject = newTextBuffer(), date = newTextBuffer(), from = newTextBuffer(),
          header = newTextBuffer();
  for (int n = 1; n <= count; ++n) {
    NMailPop3GetMailStatus(h, n, subject, date, from, header, 0);
    QString body(NMailPop3GetMailSize(h, n) + 1, QLatin1Char(' '));
    NMailPop3GetMail(h, n, subject, date, from, header, body, 0, 0);
    Fetched f{cutAtNul(subject), cutAtNul(header), cutAtNul(body)};
    f.attachments =
        NMailAttachmentFileFirst(0, f.subject, cutAtNul(date), cutAtNul(from), f.header, body,
                                 folder + "/", folder + "/0.txt", f.header + f.body, 0);
    NMailAttachmentFileClose(0);
    NMailPop3DeleteMail(h, n);
    out << f;
  }
  NMailPop3Close(h);
  return out;
}

QByteArray fileBytes(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A sent-history record laid out by hand.
QByteArray sentRecord(const QString &subject, const QString &date, const QString &to,
                      const QString &body) {
  const auto field = [](const QString &text, int width) {
    QByteArray b = platform::toAnsi(text);
    return b + QByteArray(width - b.size(), ' ');
  };
  return field(subject, 100) + field(date, 90) + field(to, 90) + field(body, 12000) + "\r\n" +
         QByteArray("\x01\x00", 2);
}

int count(const QString &text, const QString &part) {
  return int(text.count(part));
}

class SendFromWindow : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    servers = MailServers::load();
    ASSERT_TRUE(servers) << MailServers::loadError().toStdString();
    for (const char *u : {"alice", "taro", "bob"})
      ASSERT_TRUE(servers->clear(QString::fromLatin1(u)));
    alice = servers->user(QStringLiteral("alice")).address;
    taro = servers->user(QStringLiteral("taro")).address;

    settings::ServerSettings s;
    s.smtp = servers->submissionServer() + QStringLiteral("#sha256=") + servers->certSha256;
    s.pop3 = servers->pop3Server();
    s.mail = QStringLiteral("bob@") + servers->domain;
    ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("qelmar.ini")),
                                  *settings::serverFileBytes(s)));
    ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("iniIdPass.ini")),
                                  "[EXEINI]\r\nNAME=bob\r\nNAME2=" +
                                      servers->user(QStringLiteral("bob")).password.toLatin1() +
                                      "\r\n"));
    // As the program does at start-up: SMTP AUTH with the account profile.
    setSmtpAccountProvider([] {
      return SmtpAccount{settings::ReadAccountKey(QStringLiteral("NAME")),
                         settings::ReadAccountKey(QStringLiteral("NAME2"))};
    });
    setNetworkTimeoutMs(15000);

    clock.setUtc(QDateTime(QDate(2024, 5, 1), QTime(9, 30), Qt::UTC));
    clock.setLocal(QDateTime(QDate(2024, 5, 1), QTime(18, 30)));
    main = std::make_unique<MainForm>();
    main->receiveMail = [](mail::ReceiveHost &) {};
    main->endProgram = [] {};
    main->Form_Load();
    main->Timer3->stop();
    ASSERT_FALSE(main->Text2->text().isEmpty());
  }
  void TearDown() override {
    forms::writeForm().unload();
    main.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    setSmtpAccountProvider(nullptr);
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }

  WriteForm *compose() { return forms::writeForm().show(); }
  void send(WriteForm *f) { QTest::mouseClick(f->Command1, Qt::LeftButton); }
  QByteArray history() const { return fileBytes(folder.dataFile(QStringLiteral("qlmdata5.data"))); }
  void addEntry(const QString &name, const QString &address) {
    ASSERT_EQ(settings::appendAddressRecord({settings::paddedName(name), 1, address}),
              settings::AddressWriteResult::Ok);
  }

  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeFileDialogs dialogs;
  FakeClock clock;
  std::optional<MailServers> servers;
  std::unique_ptr<MainForm> main;
  QString alice, taro;
};

TEST_F(SendFromWindow, JapaneseMailWithTwoAttachmentsArrivesAsTypedAndIsRecorded) {
  QTemporaryDir work;
  const QString binPath = work.filePath(QStringLiteral("bytes.bin"));
  const QString jpPath = work.filePath(QStringLiteral("見積書①.txt"));
  QByteArray binary;
  for (int i = 0; i < 5000; ++i)
    binary.append(char(i * 7 % 256));
  const QByteArray japanese = QStringLiteral("合計　１２，３４５円～\r\n").toUtf8();
  ASSERT_TRUE(folder.writeBytes(binPath, binary));
  ASSERT_TRUE(folder.writeBytes(jpPath, japanese));

  compose::seedFortuneDraw(7);
  const int fortune = compose::FortuneDraw(7).next();

  WriteForm *f = compose();
  f->ToText->setText(QStringLiteral(" ") + alice + QStringLiteral(" "));
  const QString subject = QStringLiteral(" ①番の件～ご確認 ");
  f->SubjectText->setText(subject);
  f->BodyText->setPlainText(QStringLiteral("山田様\n\n①の件、よろしくお願いします～。\n.\n以上 "));
  dialogs.pushOpenFileName(binPath);
  QTest::mouseClick(f->AttachCommand, Qt::LeftButton);
  dialogs.pushOpenFileName(jpPath);
  QTest::mouseClick(f->Command9, Qt::LeftButton);
  f->Check1->setChecked(true);
  send(f);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_FALSE(forms::writeForm().loaded()); // the window closes after the send

  // Subject and body trimmed of blanks, the date as the main window shows
  // it, the To text trimmed; the body without the fortune footer.
  EXPECT_EQ(
      history(),
      sentRecord(QStringLiteral("①番の件～ご確認"), main->Text2->text(), alice,
                 QStringLiteral("山田様\r\n\r\n①の件、よろしくお願いします～。\r\n.\r\n以上")));

  ASSERT_TRUE(servers->waitForMessages(QStringLiteral("alice"), 1));
  const QByteArray delivered = servers->messages(QStringLiteral("alice")).value(0);
  QTemporaryDir unpacked;
  const auto mails = fetchAll(*servers, QStringLiteral("alice"), unpacked.path());
  ASSERT_EQ(mails.size(), 1);
  // The subject goes out as typed; the reader drops its outer blanks.
  EXPECT_EQ(mails[0].subject, subject.trimmed());
  const QString body = mails[0].body;
  EXPECT_TRUE(body.startsWith(
      QStringLiteral("山田様\r\n\r\n①の件、よろしくお願いします～。\r\n.\r\n以上 \r\n\r\n") +
      compose::fortuneHeading() + QStringLiteral("\r\n\r\n")))
      << body.toStdString();
  EXPECT_TRUE(body.contains(compose::fortuneHeading() + QStringLiteral("\r\n\r\n") +
                            compose::fortuneText(fortune)))
      << body.toStdString();
  EXPECT_EQ(count(body, compose::fortuneHeading()), 1);
  EXPECT_EQ(mails[0].attachments, NMailAttachmentWritten);
  EXPECT_EQ(fileBytes(unpacked.filePath(QStringLiteral("bytes.bin"))), binary);
  EXPECT_EQ(fileBytes(unpacked.filePath(QStringLiteral("見積書①.txt"))), japanese);

  // The mail as it went out is kept in the Maildir++ folder .Sent, linked to
  // its record: Postfix delivered that very text, footer and attachments
  // included, and the viewer's text of the record comes from it.
  const QString kept = mail::originalPath(mail::History::Sent, 1);
  ASSERT_TRUE(kept.contains(QStringLiteral("/Maildir/.Sent/cur/"))) << kept.toStdString();
  const QByteArray sent = fileBytes(kept);
  auto lf = [](QByteArray b) { return b.replace("\r\n", "\n"); };
  const QByteArray sentBody = lf(sent.mid(sent.indexOf("\r\n\r\n")));
  ASSERT_GT(sentBody.size(), 5000);
  EXPECT_TRUE(lf(delivered).contains(sentBody));
  EXPECT_TRUE(mail::recordText(mail::History::Sent, 1)->contains(compose::fortuneText(fortune)));
}

TEST_F(SendFromWindow, ARefusedMailStaysInTheWindowUnrecordedAndGoesOutOnceCorrected) {
  QTemporaryDir work;
  const QString attachment = work.filePath(QStringLiteral("議事録.txt"));
  ASSERT_TRUE(folder.writeBytes(attachment, "minutes\r\n"));

  WriteForm *f = compose();
  f->ToText->setText(QStringLiteral("nobody@") + servers->domain);
  f->SubjectText->setText(QStringLiteral("議事録"));
  f->BodyText->setPlainText(QStringLiteral("昨日の議事録を送ります。"));
  dialogs.pushOpenFileName(attachment);
  QTest::mouseClick(f->AttachCommand, Qt::LeftButton);
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);

  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, u"送信エラー");
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("550")))
      << boxes.boxes()[0].text.toStdString();
  ASSERT_TRUE(forms::writeForm().loaded());
  EXPECT_EQ(forms::writeForm().get(), f);
  EXPECT_EQ(f->SubjectText->text(), u"議事録");
  EXPECT_EQ(f->BodyText->toPlainText(), u"昨日の議事録を送ります。");
  EXPECT_EQ(f->AttachText->text(), attachment);
  EXPECT_TRUE(history().isEmpty()); // nothing in the sent history looks sent

  f->ToText->setText(alice);
  send(f);
  EXPECT_EQ(boxes.boxes().size(), 1);
  EXPECT_FALSE(forms::writeForm().loaded());
  EXPECT_EQ(history(), sentRecord(QStringLiteral("議事録"), main->Text2->text(), alice,
                                  QStringLiteral("昨日の議事録を送ります。")));
  ASSERT_TRUE(servers->waitForMessages(QStringLiteral("alice"), 1));
  QTemporaryDir unpacked;
  const auto mails = fetchAll(*servers, QStringLiteral("alice"), unpacked.path());
  ASSERT_EQ(mails.size(), 1);
  EXPECT_TRUE(mails[0].body.startsWith(QStringLiteral("昨日の議事録を送ります。")))
      << mails[0].body.toStdString();
  EXPECT_EQ(fileBytes(unpacked.filePath(QStringLiteral("議事録.txt"))), "minutes\r\n");
}

// The mail goes out and its record is kept; only the copy of the whole mail
// could not be written (a file stands where its folder belongs): the user
// hears of it instead of finding the copy missing later.
TEST_F(SendFromWindow, ASentMailWhoseCopyCannotBeKeptIsSentAndRecordedAndTheUserIsTold) {
  ASSERT_TRUE(QDir().mkpath(folder.dataFile(QStringLiteral("Maildir"))));
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("Maildir/.Sent")), "not a folder"));
  WriteForm *f = compose();
  f->ToText->setText(alice);
  f->SubjectText->setText(QStringLiteral("控えなし"));
  f->BodyText->setPlainText(QStringLiteral("本文"));
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, mail::SentCopyFailureText);
  EXPECT_TRUE(servers->waitForMessages(QStringLiteral("alice"), 1));
  EXPECT_EQ(mail::historyCount(mail::History::Sent), 1);
}

// A server whose certificate no authority vouches for (the test server's is
// self-signed): the sender is asked, as when receiving; yes sends this mail
// and trusts that certificate for the next ones, no sends nothing.
TEST_F(SendFromWindow, AnUnvouchedCertificateIsAskedAboutOnceAndThenTrusted) {
  settings::SmtpServer = servers->submissionServer();
  auto sendOne = [&](const QString &subject) {
    WriteForm *f = compose();
    f->ToText->setText(alice);
    f->SubjectText->setText(subject);
    f->BodyText->setPlainText(QStringLiteral("本文"));
    send(f);
  };
  boxes.pushAnswer(MsgAnswer::No);
  boxes.pushAnswer(MsgAnswer::Ok); // the send error that follows
  sendOne(QStringLiteral("いいえ"));
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].title, u"証明書の確認");
  EXPECT_TRUE(boxes.boxes()[0].text.contains(
      fingerprintText(QByteArray::fromHex(servers->certSha256.toLatin1()))));
  EXPECT_EQ(mail::historyCount(mail::History::Sent), 0);

  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  sendOne(QStringLiteral("はい"));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, u"証明書の確認");
  boxes.clear();
  sendOne(QStringLiteral("二通目"));
  EXPECT_TRUE(boxes.boxes().isEmpty());
  ASSERT_TRUE(servers->waitForMessages(QStringLiteral("alice"), 2));
  const QList<QByteArray> got = servers->messages(QStringLiteral("alice"));
  EXPECT_EQ(got.size(), 2);
  EXPECT_EQ(mail::historyCount(mail::History::Sent), 2);
}

TEST_F(SendFromWindow, BulkSendsOneMailPerEntryAndASecondSendReachesOnlyThoseNotDelivered) {
  addEntry(QStringLiteral("アリス"), alice);
  addEntry(QStringLiteral("nobody"), QStringLiteral("nobody@") + servers->domain);
  addEntry(QStringLiteral("太郎"), taro);

  WriteForm *f = compose();
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  ASSERT_EQ(f->List1->count(), 3);
  QTest::mouseClick(f->Option2, Qt::LeftButton);
  f->ToText->setText(QStringLiteral("皆様"));
  f->SubjectText->setText(QStringLiteral("お知らせ"));
  f->BodyText->setPlainText(QStringLiteral("本文です。"));
  f->Check1->setChecked(true);
  boxes.pushAnswer(MsgAnswer::Ok);
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);

  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].title, u"送信エラー");
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::Ok);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("550")))
      << boxes.boxes()[0].text.toStdString();
  // The window keeps the mail, since one entry did not get it, and says who.
  ASSERT_TRUE(forms::writeForm().loaded());
  EXPECT_EQ(f->BodyText->toPlainText(), u"本文です。");
  EXPECT_TRUE(f->Label7->text().contains(QStringLiteral("3件のうち2件に送信しました")))
      << f->Label7->text().toStdString();
  // The status line shows its text whole; the box tells who and what to do.
  EXPECT_LE(f->Label7->fontMetrics().horizontalAdvance(f->Label7->text()), f->Label7->width());
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("送信できなかった宛先：nobody。")));
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("もう一度「送信」を押すと")));

  // One record per pass that went out, each with the To text and the body
  // as typed; the refused pass leaves none.
  const QByteArray record = sentRecord(QStringLiteral("お知らせ"), main->Text2->text(),
                                       QStringLiteral("皆様"), QStringLiteral("本文です。"));
  EXPECT_EQ(history(), record + record);

  // Sent again while the entry is still refused: only that entry is tried.
  boxes.pushAnswer(MsgAnswer::Ok);
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);
  ASSERT_EQ(boxes.boxes().size(), 4);
  EXPECT_TRUE(f->Label7->text().contains(QStringLiteral("1件のうち0件に送信しました")))
      << f->Label7->text().toStdString();

  // The entry corrected in the address book (to bob's address): the third
  // send reaches bob alone and closes the window.
  const QString bob = servers->user(QStringLiteral("bob")).address;
  {
    QFile book(settings::addressBookPath());
    ASSERT_TRUE(book.open(QIODevice::ReadWrite));
    ASSERT_TRUE(book.seek(settings::AddressLayout::RecordLength));
    const QByteArray fixed =
        settings::encodeAddressRecord({settings::paddedName(QStringLiteral("nobody")), 1, bob});
    ASSERT_EQ(book.write(fixed), fixed.size());
  }
  send(f);
  EXPECT_EQ(boxes.boxes().size(), 4);
  EXPECT_FALSE(forms::writeForm().loaded());
  EXPECT_EQ(history(), record + record + record);
  ASSERT_TRUE(servers->waitForMessages(QStringLiteral("bob"), 1));

  for (const QString &user : {QStringLiteral("alice"), QStringLiteral("taro"),
                              QStringLiteral("bob")}) {
    ASSERT_TRUE(servers->waitForMessages(user, 1)) << user.toStdString();
    QTemporaryDir unpacked;
    const auto mails = fetchAll(*servers, user, unpacked.path());
    ASSERT_EQ(mails.size(), 1) << user.toStdString(); // nobody gets it twice
    EXPECT_EQ(mails[0].subject, u"お知らせ");
    EXPECT_TRUE(
        mails[0].body.startsWith(QStringLiteral("本文です。\r\n\r\n") + compose::fortuneHeading()));
    EXPECT_EQ(count(mails[0].body, compose::fortuneHeading()), 1) << user.toStdString();
  }

  // Bulk mode over an empty address book sends nothing, writes nothing, and
  // still closes.
  forms::writeForm().unload();
  ASSERT_TRUE(QFile::resize(settings::addressBookPath(), 0));
  f = compose();
  QTest::mouseClick(f->Command4, Qt::LeftButton);
  QTest::mouseClick(f->Option2, Qt::LeftButton);
  f->ToText->setText(alice);
  send(f);
  EXPECT_FALSE(forms::writeForm().loaded());
  EXPECT_EQ(history().size(), 3 * 12284);
  EXPECT_EQ(boxes.boxes().size(), 4);
}

TEST_F(SendFromWindow, NoMailGoesOutWrongWhenAFileOrAFieldIsBad) {
  // An attachment that isn't there: the transport's text, no mail.
  WriteForm *f = compose();
  f->ToText->setText(alice);
  f->SubjectText->setText(QStringLiteral("添付なし"));
  f->AttachText->setText(QStringLiteral("/no/such/folder/請求書.pdf"));
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, u"送信エラー");
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("/no/such/folder/請求書.pdf")));

  // The sent history can't be written: nothing is sent, the typed mail stays.
  ASSERT_TRUE(QFile::rename(folder.dataFile(QStringLiteral("qlmdata5.data")),
                            folder.dataFile(QStringLiteral("kept.data"))));
  ASSERT_TRUE(QDir(folder.dataPath()).mkdir(QStringLiteral("qlmdata5.data")));
  f = compose();
  f->ToText->setText(alice);
  f->SubjectText->setText(QStringLiteral("記録できない"));
  f->BodyText->setPlainText(QStringLiteral("消えてはいけない本文"));
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("送信履歴")))
      << boxes.boxes()[1].text.toStdString();
  ASSERT_TRUE(forms::writeForm().loaded());
  EXPECT_EQ(f->BodyText->toPlainText(), u"消えてはいけない本文");
  forms::writeForm().unload();
  ASSERT_TRUE(QDir(folder.dataPath()).rmdir(QStringLiteral("qlmdata5.data")));

  // Line breaks in the To and subject fields start no header of their own:
  // a To with one is refused, a subject with one goes out on one line.
  f = compose();
  f->ToText->setText(alice + QStringLiteral("\r\nBcc: ") + taro);
  boxes.pushAnswer(MsgAnswer::Ok);
  send(f);
  ASSERT_EQ(boxes.boxes().size(), 3);
  EXPECT_EQ(boxes.boxes()[2].title, u"送信エラー");
  f = compose();
  f->ToText->setText(alice);
  f->SubjectText->setText(QStringLiteral("件名\r\nBcc: ") + taro);
  f->BodyText->setPlainText(QStringLiteral("本文"));
  send(f);
  EXPECT_EQ(boxes.boxes().size(), 3);
  ASSERT_TRUE(servers->waitForMessages(QStringLiteral("alice"), 1));
  QTemporaryDir unpacked;
  const auto mails = fetchAll(*servers, QStringLiteral("alice"), unpacked.path());
  ASSERT_EQ(mails.size(), 1); // the mail with the missing attachment never went out
  EXPECT_FALSE(mails[0].header.contains(QStringLiteral("\nBcc:"))) << mails[0].header.toStdString();
  EXPECT_TRUE(mails[0].subject.startsWith(QStringLiteral("件名")))
      << mails[0].subject.toStdString();
  EXPECT_EQ(servers->messageCount(QStringLiteral("taro")), 0);
}

} // namespace
