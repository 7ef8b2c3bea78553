// A scheduled check of the real main window against the real Dovecot of
// tests/servers, whose certificate no authority vouches for: the check
// nobody watches asks nothing and says so; a click asks whether to trust it,
// goes on when trusted, and a certificate that changed since is refused.
// Through a relay that deletes the servers' offer of TLS, the way someone on
// the network would, no password goes out in the clear unless the user
// agreed for that server. Boxes of a scheduled check never hold back the next
// one; a bad line (cut, silent, trickling) ends the check with a clear box
// while the window goes on; a receive can be stopped, and closing the window
// during one loses nothing.
#include "main/lib/mainform.h"

#include "compose/sendmail.h"
#include "compose/writeform.h"
#include "mail/certpins.h"
#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/tyakuform.h"
#include "main/lib/checktime.h"
#include "platform/core/paths.h"
#include "settings/config.h"
#include "tests/main/mainwindowfixture.h"
#include "tests/support/relay.h"
#include "tests/support/servers.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::MsgAnswer;
using testsupport::MailServers;
using testsupport::Relay;

namespace {

const QString User = QStringLiteral("alice");

class ScheduledCheck : public MainWindowTest {
protected:
  void SetUp() override {
    servers = MailServers::load();
    ASSERT_TRUE(servers) << MailServers::loadError().toStdString();
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(servers->clear(User));
    ASSERT_TRUE(servers->seed(User, {numberedMail("scheduled", 1), numberedMail("scheduled", 2)}));
    // The server as a user types it: no fingerprint anywhere.
    settings::Pop3Server = servers->pop3Server();
    ASSERT_TRUE(settings::SaveServerSettings());
    settings::Pop3Server.clear();
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), User));
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), servers->user(User).password));
    ASSERT_TRUE(checkAtNineOhFive());
    loadFormChecking();
  }

  void TearDown() override {
    MainWindowTest::TearDown();
    if (servers)
      servers->clear(User);
  }

  QString pinFile() const { return mail::certificatePinFile(); }
  int storedCount() const { return int(mail::readHistory(mail::History::Received).size()); }

  std::optional<MailServers> servers;
};

TEST_F(ScheduledCheck, AnUntrustedCertificateIsAskedAboutAtTheClickAndTrustingItFetchesTheMail) {
  // Nobody watches the scheduled check: it fails visibly and asks nothing.
  boxes.pushAnswer(MsgAnswer::Ok);
  runPass();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::Ok);
  EXPECT_FALSE(boxes.boxes()[0].blocking);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("次に「受信」をクリックしたとき")));
  EXPECT_EQ(servers->messageCount(User), 2);

  // The click asks.
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  form->Command4_Click();
  ASSERT_EQ(boxes.boxes().size(), 1);
  const auto &ask = boxes.boxes()[0];
  EXPECT_TRUE(ask.blocking);
  EXPECT_EQ(ask.buttons, platform::MsgButtons::YesNo);
  EXPECT_TRUE(ask.defaultNo);
  EXPECT_TRUE(ask.text.contains(QStringLiteral("127.0.0.1:%1").arg(servers->pop3Port)));
  EXPECT_TRUE(ask.text.contains(QStringLiteral("CN=")));
  EXPECT_TRUE(ask.text.contains(QStringLiteral("有効期間")));
  const QString colons =
      QString::fromLatin1(QByteArray::fromHex(servers->certSha256.toLatin1()).toHex(':').toUpper());
  EXPECT_TRUE(ask.text.contains(colons));
  EXPECT_TRUE(ask.text.contains(QStringLiteral("信頼しますか")));

  // The check went on: both mails stored and gone from the server.
  EXPECT_EQ(mail::readHistory(mail::History::Received).size(), 2);
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール有り。"));
  // The pin is kept in the data folder, and the setting keeps the bare host.
  EXPECT_EQ(mail::storedCertificatePin(QStringLiteral("127.0.0.1"), quint16(servers->pop3Port)),
            QByteArray::fromHex(servers->certSha256.toLatin1()));
  EXPECT_FALSE(folder.readBytes(folder.file(QStringLiteral("qelmar.ini"))).contains("sha256"));

  // The next check trusts it without asking.
  ASSERT_TRUE(servers->seed(User, numberedMail("scheduled", 3)));
  boxes.clear();
  runPass();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(mail::readHistory(mail::History::Received).size(), 3);
}

// Regression: the question's default button was Yes, so a stray Enter
// stored the pin and fetched every mail.
TEST_F(ScheduledCheck, EnterAloneOnTheCertificateQuestionTrustsAndFetchesNothing) {
  boxes.pushEnter();
  form->Command4_Click();

  ASSERT_EQ(boxes.boxes().size(), 1); // the question, and no other box
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::YesNo);
  EXPECT_TRUE(mail::readHistory(mail::History::Received).isEmpty());
  EXPECT_EQ(servers->messageCount(User), 2);
  EXPECT_FALSE(QFile::exists(pinFile()));
  EXPECT_EQ(form->Text3->text(), QStringLiteral("チェックに失敗しました。"));
}

TEST_F(ScheduledCheck, ACertificateThatChangedSinceItWasTrustedIsRefusedWithAWarning) {
  // Trusted once, and the server now shows another certificate.
  ASSERT_TRUE(mail::storeCertificatePin(QStringLiteral("127.0.0.1"), quint16(servers->pop3Port),
                                        QByteArray(32, '\x5a')));
  runPass();

  ASSERT_EQ(boxes.boxes().size(), 1);
  const auto &box = boxes.boxes()[0];
  EXPECT_FALSE(box.blocking);
  EXPECT_EQ(box.title, QStringLiteral("エラー"));
  EXPECT_EQ(box.buttons, platform::MsgButtons::Ok);
  EXPECT_TRUE(box.text.contains(QStringLiteral("変わっています")));
  EXPECT_TRUE(box.text.contains(QStringLiteral("certpins.txt")));
  EXPECT_TRUE(mail::readHistory(mail::History::Received).isEmpty());
  EXPECT_EQ(servers->messageCount(User), 2);
  EXPECT_EQ(form->Text3->text(), QStringLiteral("チェックに失敗しました。"));
}

TEST_F(ScheduledCheck, AServerThatRefusesTheConnectionIsReportedNotTakenForNoMail) {
  settings::Pop3Server = QStringLiteral("127.0.0.1:1"); // nothing listens on port 1
  runPass();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_FALSE(boxes.boxes()[0].blocking);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("127.0.0.1:1")));
  EXPECT_EQ(form->Text3->text(), QStringLiteral("チェックに失敗しました。"));

  // No server at all, for a click as for a check.
  settings::Pop3Server.clear();
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Ok);
  form->Command4_Click();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].blocking); // somebody clicked: the box waits for them
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("POP3サーバーが設定されていない")));
  EXPECT_EQ(form->Text3->text(), QStringLiteral("チェックに失敗しました。"));
}

TEST_F(ScheduledCheck, WithoutStlsAClickAsksAndEnterSendsNoPasswordWhileYesIsKept) {
  Relay relay(servers->pop3Port, Relay::StripTls);
  settings::Pop3Server = relay.address();

  boxes.pushEnter();
  form->Command4_Click();
  ASSERT_EQ(boxes.boxes().size(), 1); // the question, and nothing else
  const auto &ask = boxes.boxes()[0];
  EXPECT_EQ(ask.buttons, platform::MsgButtons::YesNo);
  EXPECT_TRUE(ask.defaultNo);
  EXPECT_TRUE(ask.text.contains(relay.address())) << ask.text.toStdString();
  EXPECT_TRUE(ask.text.contains(QStringLiteral("暗号化されずに")));
  EXPECT_TRUE(ask.text.contains(QStringLiteral("plainauth.txt")));
  // What is at risk depends on the login: the password itself with USER/PASS,
  // a digest open to guessing offline with APOP (or CRAM-MD5 when sending).
  EXPECT_TRUE(ask.text.contains(QStringLiteral("USER/PASS（通常のログイン）、PLAIN、LOGIN：パスワードそのもの")))
      << ask.text.toStdString();
  EXPECT_TRUE(ask.text.contains(QStringLiteral("APOP、CRAM-MD5：パスワードそのものは送られません")));
  EXPECT_FALSE(ask.text.contains(QStringLiteral("パスワードが暗号化されずにネットワークを流れ")));
  EXPECT_TRUE(relay.clientSent(QStringLiteral("CAPA")));
  for (const QString &secret : {QStringLiteral("USER"), QStringLiteral("PASS"), QStringLiteral("APOP")})
    EXPECT_FALSE(relay.clientSent(secret)) << relay.clientLines().join(u'|').toStdString();
  EXPECT_EQ(storedCount(), 0);
  EXPECT_EQ(servers->messageCount(User), 2);
  EXPECT_FALSE(QFile::exists(mail::plaintextAgreementFile()));

  // Yes: the user agreed for this server, and the check goes on.
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  form->Command4_Click();
  EXPECT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(relay.clientSent(QStringLiteral("PASS")));
  EXPECT_EQ(storedCount(), 2);
  EXPECT_EQ(servers->messageCount(User), 0);
  EXPECT_EQ(folder.readBytes(mail::plaintextAgreementFile()),
            QStringLiteral("127.0.0.1 %1\r\n").arg(relay.port()).toUtf8());

  // Kept: the next click asks no more.
  ASSERT_TRUE(servers->seed(User, numberedMail("scheduled", 3)));
  boxes.clear();
  form->Command4_Click();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_EQ(storedCount(), 3);
}

TEST_F(ScheduledCheck, AScheduledCheckNeverAsksAndTheQuestionComesAtTheNextClick) {
  Relay relay(servers->pop3Port, Relay::StripTls);
  settings::Pop3Server = relay.address();
  boxes.pushAnswer(MsgAnswer::Ok);
  runPass();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::Ok);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("次に「受信」をクリックしたとき")));
  EXPECT_FALSE(relay.clientSent(QStringLiteral("PASS")));
  EXPECT_EQ(form->Text3->text(), QStringLiteral("チェックに失敗しました。"));

  boxes.clear();
  boxes.pushAnswer(MsgAnswer::No);
  form->Command4_Click();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::YesNo);
  EXPECT_FALSE(relay.clientSent(QStringLiteral("PASS")));
  EXPECT_EQ(servers->messageCount(User), 2);
}

TEST_F(ScheduledCheck, AServerThatOfferedTlsBeforeAndNowDoesNotIsRefusedWhateverWasAgreed) {
  Relay relay(servers->pop3Port);
  settings::Pop3Server = relay.address();
  // A first check over TLS (the certificate trusted): the offer is noted.
  ASSERT_TRUE(mail::storeCertificatePin(QStringLiteral("127.0.0.1"), relay.port(),
                                        QByteArray::fromHex(servers->certSha256.toLatin1())));
  form->Command4_Click();
  ASSERT_TRUE(boxes.boxes().isEmpty());
  ASSERT_EQ(storedCount(), 2);
  EXPECT_TRUE(mail::offeredTlsBefore(QStringLiteral("127.0.0.1"), relay.port()));

  // Now the offer is gone, the pin too, and an agreement is on file.
  ASSERT_TRUE(QFile::remove(mail::certificatePinFile()));
  ASSERT_TRUE(mail::storePlaintextAgreement(QStringLiteral("127.0.0.1"), relay.port()));
  ASSERT_TRUE(servers->seed(User, numberedMail("scheduled", 3)));
  relay.setMode(Relay::StripTls);
  boxes.pushAnswer(MsgAnswer::Ok);
  form->Command4_Click();

  ASSERT_EQ(boxes.boxes().size(), 1); // a warning, no question
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::Ok);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("警告")));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("tlsservers.txt")));
  EXPECT_FALSE(relay.clientSent(QStringLiteral("PASS")));
  EXPECT_FALSE(relay.clientSent(QStringLiteral("USER")));
  EXPECT_EQ(storedCount(), 2);
  EXPECT_EQ(servers->messageCount(User), 1);
}

TEST_F(ScheduledCheck, SendingWithoutStarttlsAsksAndNoSendsNeitherAuthNorTheMail) {
  // The relay drops STARTTLS and offers AUTH PLAIN, as one harvesting
  // passwords would.
  Relay relay(servers->smtpPort, Relay::StripTls | Relay::OfferAuth);
  settings::SmtpServer = relay.address();
  settings::MailAddress = QStringLiteral("taro@example.jp");
  nmail::setSmtpAccountProvider([] {
    const settings::Account account = settings::accountInUse();
    return nmail::SmtpAccount{account.id, account.password};
  });
  compose::Draft draft;
  draft.to = servers->user(User).address;
  draft.subject = QStringLiteral("secret");
  draft.body = QStringLiteral("body");

  boxes.pushEnter();
  boxes.pushAnswer(MsgAnswer::Ok);
  const compose::SendOutcome outcome = compose::sendDraft(form.get(), draft, false, {}, {});

  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[0].defaultNo);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(relay.address()));
  EXPECT_EQ(boxes.boxes()[1].title, QStringLiteral("送信エラー"));
  EXPECT_EQ(outcome.refused, 1);
  EXPECT_TRUE(relay.clientSent(QStringLiteral("EHLO")));
  EXPECT_FALSE(relay.clientSent(QStringLiteral("AUTH")));
  EXPECT_FALSE(relay.clientSent(QStringLiteral("MAIL")));
  const QByteArray token = QByteArray(1, '\0') + User.toUtf8() + QByteArray(1, '\0') +
                           servers->user(User).password.toUtf8();
  EXPECT_FALSE(relay.clientSent(QString::fromLatin1(token.toBase64())));
}

// ---- Checks nobody watches -----------------------------------------------------

class ScheduledCheckTrusted : public ScheduledCheck {
protected:
  void SetUp() override {
    ScheduledCheck::SetUp();
    if (HasFatalFailure())
      return;
    ASSERT_TRUE(mail::storeCertificatePin(QStringLiteral("127.0.0.1"),
                                          quint16(servers->pop3Port),
                                          QByteArray::fromHex(servers->certSha256.toLatin1())));
  }

  void TearDown() override {
    nmail::setNetworkTimeoutMs(0);
    ScheduledCheck::TearDown();
  }

  // The server setting through a relay, with the servers' certificate.
  QString through(const Relay &relay) const {
    return relay.address() + QStringLiteral("#sha256=") + servers->certSha256;
  }

  // A mail of about `kb` kilobytes, so that a fault can fall inside one.
  static QByteArray largeMail(int n, int kb) {
    QByteArray text;
    while (text.size() < kb * 1024)
      text += "Line of a larger mail, to be cut in the middle of its transfer.\r\n";
    return numberedMail("scheduled", n).replace("body\r\n", text);
  }
};

TEST_F(ScheduledCheckTrusted, AServerDownAtOneTimeIsReportedAndTheNextTimeStillFetches) {
  ASSERT_EQ(korvex::putCheckTimeRecord(2, QStringLiteral("9:10")), korvex::CheckTimeError::None);
  form->Command10_Click();
  settings::Pop3Server = QStringLiteral("127.0.0.1:1"); // down at 9:05
  // The timers drive everything; the millisecond counter runs fast so each
  // pass's wait ends within a few ticks.
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout,
                   [this] { clock.setMilliseconds(clock.milliseconds() + 1000); });
  ticker.start(2);
  form->Timer3->start();
  form->Timer4->start();

  QTRY_VERIFY_WITH_TIMEOUT(boxes.boxes().size() >= 2, 20000);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("127.0.0.1:1")));

  // Nobody answered; at 9:10 the server is back, and the check fetches.
  settings::Pop3Server = servers->pop3Server();
  clock.setUtc(QDateTime(QDate(2026, 12, 7), QTime(0, 10, 5), Qt::UTC));
  QTRY_COMPARE_WITH_TIMEOUT(mail::historyCount(mail::History::Received), 2, 30000);
  QTRY_COMPARE_WITH_TIMEOUT(servers->messageCount(User), 0, 10000);
  QTRY_COMPARE_WITH_TIMEOUT(form->Text3->text(), QStringLiteral("新着メール有り。"), 10000);
  form->Timer3->stop();
  form->Timer4->stop();
  for (const auto &box : boxes.boxes())
    EXPECT_FALSE(box.blocking) << box.text.toStdString();
}

TEST_F(ScheduledCheckTrusted, AViewerOnScreenKeepsTheWholeHistoryThroughTheMatchingMinute) {
  for (const char *subject : {"earlier one", "earlier two"}) {
    mail::MailRecord r;
    r.Subject = QString::fromLatin1(subject);
    r.Info1 = QStringLiteral("someone@example.jp");
    r.Info2 = QStringLiteral("2026/12/06");
    r.Body = QStringLiteral("text");
    r.Flag = 1;
    ASSERT_TRUE(mail::appendHistoryRecord(mail::History::Received, r).ok());
  }
  form->Command6_Click();
  TyakuForm *viewer = forms::tyakuForm().get();
  ASSERT_TRUE(viewer->isVisible());
  ASSERT_EQ(viewer->List1->count(), 2);

  // While the check is writing the file, the user tries to delete
  // everything, then one mail, then to send a mail: each is refused, the
  // typed mail stays in its window, and nothing is lost or sent.
  for (MsgAnswer a : {MsgAnswer::Yes, MsgAnswer::Ok, MsgAnswer::Yes, MsgAnswer::Ok, MsgAnswer::Ok})
    boxes.pushAnswer(a);
  WriteForm *compose = nullptr;
  QObject::connect(form->Text3, &QLineEdit::textChanged, [&](const QString &text) {
    if (text != QStringLiteral("受信中 1/2"))
      return;
    viewer->Command5_Click();
    viewer->List1->setCurrentRow(0);
    viewer->Command1_Click();
    compose = forms::writeForm().show();
    compose->ToText->setText(QStringLiteral("someone@example.jp"));
    compose->BodyText->setPlainText(QStringLiteral("書きかけ"));
    compose->Command1_Click();
  });
  runPass(); // two new mails
  ASSERT_EQ(boxes.boxes().size(), 5);
  // One wording for the running receive, then what to do again.
  for (int i : {1, 3, 4})
    EXPECT_TRUE(boxes.boxes()[i].text.startsWith(QStringLiteral("メールを受信中です。受信が終わってから")))
        << boxes.boxes()[i].text.toStdString();
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("もう一度削除して下さい")));
  EXPECT_TRUE(boxes.boxes()[3].text.contains(QStringLiteral("もう一度削除して下さい")));
  EXPECT_TRUE(boxes.boxes()[4].text.contains(QStringLiteral("受信が終わってから、もう一度送信")));
  ASSERT_TRUE(forms::writeForm().loaded());
  EXPECT_EQ(compose->BodyText->toPlainText(), QStringLiteral("書きかけ"));
  forms::writeForm().unload();
  EXPECT_EQ(mail::historyCount(mail::History::Sent), 0);
  EXPECT_EQ(mail::historyCount(mail::History::Received), 4);
  ASSERT_EQ(viewer->List1->count(), 4);
  EXPECT_EQ(viewer->Text2->text(), QStringLiteral("4"));
  EXPECT_TRUE(viewer->List1->item(3)->text().contains(QStringLiteral("scheduled 2")));
  runPass(); // nothing more in the same minute
  ASSERT_EQ(viewer->List1->count(), 4);
  EXPECT_EQ(viewer->Text2->text(), QStringLiteral("4"));
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール有り。"));

  // A new row stands for its record.
  viewer->List1->setCurrentRow(2);
  viewer->List1_MouseDown();
  EXPECT_EQ(viewer->Text9->text(), QStringLiteral("scheduled 1"));
}

// ---- A bad line -------------------------------------------------------------------

TEST_F(ScheduledCheckTrusted, ACutConnectionEndsTheCheckAtOnceAndTheNextCheckFetchesAll) {
  ASSERT_TRUE(servers->clear(User));
  ASSERT_TRUE(servers->seed(User, {largeMail(1, 40), largeMail(2, 40), largeMail(3, 40)}));
  Relay relay(servers->pop3Port);
  settings::Pop3Server = through(relay);
  relay.afterServerBytes(60000, Relay::Fault::Cut); // inside the second mail
  runPass();

  // A cut, not a wait for the time limit: the box says the line was cut.
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("接続が途中で切れました")))
      << boxes.boxes()[0].text.toStdString();
  EXPECT_FALSE(boxes.boxes()[0].blocking);
  const int stored = mail::historyCount(mail::History::Received);
  EXPECT_LT(stored, 3);
  EXPECT_EQ(servers->messageCount(User), 3); // no QUIT: nothing deleted

  // The line is back: every mail stored once, and the server empty.
  relay.afterServerBytes(0, Relay::Fault::None);
  boxes.clear();
  runPass();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  const auto history = mail::readHistory(mail::History::Received);
  ASSERT_EQ(history.size(), 3);
  QStringList subjects;
  for (const auto &r : history)
    subjects << r.Subject.trimmed();
  subjects.sort();
  EXPECT_EQ(subjects, (QStringList{QStringLiteral("scheduled 1"), QStringLiteral("scheduled 2"),
                                   QStringLiteral("scheduled 3")}));
  EXPECT_EQ(servers->messageCount(User), 0);
}

TEST_F(ScheduledCheckTrusted, ASilentServerEndsTheCheckWithABoxWhileTheClockTicks) {
  nmail::setNetworkTimeoutMs(3000);
  Relay relay(servers->pop3Port);
  settings::Pop3Server = through(relay);
  relay.afterServerBytes(0, Relay::Fault::Silent);
  int ticks = 0;
  QObject::connect(form->Timer2, &QTimer::timeout, [&] { ++ticks; });
  form->Timer2->start();
  boxes.pushAnswer(MsgAnswer::Ok);
  form->Command4_Click();
  const int ticksDuringTheCheck = ticks;
  form->Timer2->stop();

  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("3 秒以内")))
      << boxes.boxes()[0].text.toStdString();
  // The clock went on all the while (a blocked window would show none).
  EXPECT_GE(ticksDuringTheCheck, 2);
  EXPECT_EQ(servers->messageCount(User), 2);
}

TEST_F(ScheduledCheckTrusted, AServerPassingAByteAtATimeEndsTheCheckAtTheTimeLimit) {
  // Every byte comes well within the limit, the whole line never does.
  nmail::setNetworkTimeoutMs(1500);
  Relay relay(servers->pop3Port);
  relay.setTrickleMs(100);
  settings::Pop3Server = through(relay);
  relay.afterServerBytes(0, Relay::Fault::Trickle);
  boxes.pushAnswer(MsgAnswer::Ok);
  form->Command4_Click();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("2 秒以内に応答がありませんでした")))
      << boxes.boxes()[0].text.toStdString();
  EXPECT_EQ(servers->messageCount(User), 2);
  EXPECT_TRUE(mail::readHistory(mail::History::Received).isEmpty());
}

// ---- Stopping and closing ---------------------------------------------------------

TEST_F(ScheduledCheckTrusted, StoppingAReceiveKeepsWhatItStoredAndLeavesTheRestOnTheServer) {
  ASSERT_TRUE(servers->seed(User, numberedMail("scheduled", 3)));
  QString captionWhileRunning;
  QObject::connect(form->Text3, &QLineEdit::textChanged, [&](const QString &text) {
    if (text == QStringLiteral("受信中 2/3") && captionWhileRunning.isEmpty()) {
      captionWhileRunning = form->Command4->text();
      form->Command4->click();
    }
  });
  form->Command4_Click();

  EXPECT_EQ(captionWhileRunning, QStringLiteral("中止"));
  // 中止 ends the wait in progress at once, and the session without QUIT:
  // what was stored stays on the server until the next check deletes it.
  const int stored = mail::historyCount(mail::History::Received);
  EXPECT_GE(stored, 1);
  EXPECT_LE(stored, 2);
  EXPECT_EQ(servers->messageCount(User), 3);
  EXPECT_EQ(form->Command4->text(), QStringLiteral("受信"));
  EXPECT_TRUE(form->Command4->isEnabled());
  EXPECT_TRUE(form->Text1->toPlainText().contains(QStringLiteral("次のチェックでサーバーから削除")));
  EXPECT_TRUE(boxes.boxes().isEmpty()) << "the mail under way is no failure to tell";

  form->Command4_Click();
  EXPECT_EQ(mail::historyCount(mail::History::Received), 3) << "each mail once";
  EXPECT_EQ(servers->messageCount(User), 0);
}

TEST_F(ScheduledCheckTrusted, ClosingTheWindowDuringAReceiveEndsItWithoutLosingOrDoublingMail) {
  ASSERT_TRUE(servers->seed(User, numberedMail("scheduled", 3)));
  int ended = 0;
  form->endProgram = [&] { ++ended; };
  QObject::connect(form->Text3, &QLineEdit::textChanged, [&](const QString &text) {
    if (text == QStringLiteral("受信中 2/3"))
      form->close();
  });
  form->Command4_Click();

  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  const int stored = mail::historyCount(mail::History::Received);
  EXPECT_GE(stored, 1);
  EXPECT_EQ(servers->messageCount(User), 3); // ended without QUIT

  // The program starts again: the stored mails are deleted there, the rest
  // fetched, none stored twice.
  loadFormChecking();
  form->Command4_Click();
  EXPECT_EQ(mail::historyCount(mail::History::Received), 3);
  EXPECT_EQ(servers->messageCount(User), 0);
}

// A server whose connection never comes about (its queue of connections is
// full, so the kernel drops the handshake): closing the window ends the
// attempt at once, not at the time limit.
TEST_F(ScheduledCheckTrusted, ClosingTheWindowWhileTheConnectionHangsEndsItAtOnce) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
  std::vector<int> fillers; // take up the queue; the program's connect then waits
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(fillers.back(), reinterpret_cast<sockaddr *>(&address), length);
  }
  nmail::setNetworkTimeoutMs(120000);
  settings::Pop3Server =
      QStringLiteral("127.0.0.1:%1").arg(ntohs(address.sin_port)) + QStringLiteral("#sha256=") +
      servers->certSha256;
  int ended = 0;
  form->endProgram = [&] { ++ended; };
  QTimer::singleShot(300, [&] { form->close(); });
  form->Command4_Click();
  for (int fd : fillers)
    ::close(fd);
  ::close(listener);

  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_TRUE(nmail::lastErrorText().contains(QStringLiteral("への接続を中止しました")))
      << nmail::lastErrorText().toStdString();
}

// A server that takes the connection and never finishes the TLS handshake:
// closing the window ends the attempt at once, not at the time limit.
TEST_F(ScheduledCheckTrusted, ClosingTheWindowDuringAHangingTlsHandshakeEndsItAtOnce) {
  nmail::setNetworkTimeoutMs(120000);
  Relay relay(servers->pop3sPort);
  settings::Pop3Server = QStringLiteral("pop3s://") + through(relay);
  relay.afterServerBytes(0, Relay::Fault::Silent);
  int ended = 0;
  form->endProgram = [&] { ++ended; };
  QTimer::singleShot(300, [&] { form->close(); });
  form->Command4_Click();

  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_TRUE(nmail::lastErrorText().contains(QStringLiteral("暗号化（TLS）の開始を中止しました")))
      << nmail::lastErrorText().toStdString();
}

} // namespace
