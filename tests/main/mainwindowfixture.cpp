#include "tests/main/mainwindowfixture.h"

#include "mail/net/nmail.h"
#include "mail/tyakuform.h"
#include "main/lib/checktime.h"
#include "settings/config.h"
#include "settings/idpassform.h"

#include <QCoreApplication>
#include <QTimer>

QByteArray numberedMail(const QByteArray &subject, int n) {
  return "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: " + subject + ' ' +
         QByteArray::number(n) +
         "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
}

bool MainWindowTest::checkAtNineOhFive() {
  clock.setUtc(QDateTime(QDate(2026, 12, 7), QTime(0, 5, 10), Qt::UTC)); // 9:05 in Japan
  return korvex::putCheckTimeRecord(1, QStringLiteral("9:05")) == korvex::CheckTimeError::None;
}

void MainWindowTest::loadForm() {
  form = std::make_unique<MainForm>();
  form->endProgram = [] {};
  form->Form_Load();
  form->Timer2->stop();
  form->Timer3->stop();
  form->Timer4->stop();
}

void MainWindowTest::loadFormChecking() {
  loadForm();
  form->Timer4_Timer();
  form->Command1_Click();
}

void MainWindowTest::runPass() {
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout,
                   [this] { clock.setMilliseconds(clock.milliseconds() + 1000); });
  ticker.start(2);
  form->Timer3_Timer();
}

void MainWindowTest::closeWindow() {
  form.reset();
  forms::tyakuForm().unload();
  forms::idPassForm().unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  settings::Pop3Server.clear();
  settings::SmtpServer.clear();
  settings::MailAddress.clear();
  nmail::setSmtpAccountProvider({});
}
