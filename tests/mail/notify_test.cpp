// The new-mail notification against a real notification service: Debian's
// dunst on a private session bus and a virtual X display of the test's own,
// fed by a check against the real Dovecot of tests/servers.
#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/receive.h"
#include "mail/tyakuform.h"
#include "platform/core/notify.h"
#include "settings/config.h"
#include "settings/idpassform.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"
#include "tests/support/servers.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace mail;
using testsupport::MailServers;

namespace {

const QString User = QStringLiteral("bob");

class QuietHost final : public ReceiveHost {
public:
  QWidget window;
  QWidget *hostWindow() override { return &window; }
  void setHelpText(const QString &) override {}
  void setStatusText(const QString &) override {}
  void restoreWindow() override {}
  bool hangUpMode() const override { return false; }
  void hangUp() override {}
};

QByteArray mailWithSubject(const QByteArray &subject, int n) {
  return "From: Taro <taro@example.jp>\r\nTo: bob@korvex.test\r\nSubject: " + subject +
         "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nMessage-ID: <n" + QByteArray::number(n) +
         "@example.jp>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
         "charset=us-ascii\r\n\r\nbody\r\n";
}

// A desktop of the test's own: Xvfb, a session bus without service
// activation (so no notification service appears unless the test starts
// one) and, on request, dunst recording every notification it shows.
class PrivateDesktop {
public:
  bool start(QString *error) {
    if (!dir.isValid())
      return fail(error, QStringLiteral("no temporary folder"));
    xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                        QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(10000) || !readLine(xvfb, &display))
      return fail(error, QStringLiteral("Xvfb did not start"));
    QFile config(dir.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly))
      return fail(error, config.errorString());
    config.write(
        "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
        "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
        "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    config.close();
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
               QStringLiteral("--config-file=") + config.fileName()});
    if (!bus.waitForStarted(10000) || !readLine(bus, &address))
      return fail(error, QStringLiteral("dbus-daemon did not start"));
    return true;
  }

  bool startDunst(QString *error) {
    const QString log = dir.filePath(QStringLiteral("shown"));
    const QString script = dir.filePath(QStringLiteral("record.sh"));
    QFile s(script);
    if (!s.open(QIODevice::WriteOnly))
      return fail(error, s.errorString());
    // One record per notification shown: summary, unit separator, body,
    // record separator.
    s.write("#!/bin/sh\nprintf '%s\\037%s\\036' \"$DUNST_SUMMARY\" \"$DUNST_BODY\" >> '" +
            log.toUtf8() + "'\n");
    s.close();
    s.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile rc(dir.filePath(QStringLiteral("dunstrc")));
    if (!rc.open(QIODevice::WriteOnly))
      return fail(error, rc.errorString());
    rc.write("[global]\n    markup = full\n[record]\n    appname = Korvex\n    script = " +
             script.toUtf8() + "\n");
    rc.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + display);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    dunst.setProcessEnvironment(env);
    dunst.start(QStringLiteral("dunst"), {QStringLiteral("-config"), rc.fileName()});
    if (!dunst.waitForStarted(10000))
      return fail(error, QStringLiteral("dunst did not start"));
    return true;
  }

  // Every notification dunst has shown so far: {summary, body}.
  QList<QStringList> shown() const {
    QFile f(dir.filePath(QStringLiteral("shown")));
    QList<QStringList> out;
    if (!f.open(QIODevice::ReadOnly))
      return out;
    for (const QString &record :
         QString::fromUtf8(f.readAll()).split(QChar(0x1e), Qt::SkipEmptyParts))
      out.append(record.split(QChar(0x1f)));
    return out;
  }

  ~PrivateDesktop() {
    for (QProcess *p : {&dunst, &bus, &xvfb}) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(5000);
      }
    }
  }

  QTemporaryDir dir;
  QString display;
  QString address;

private:
  static bool readLine(QProcess &p, QString *line) {
    while (!p.canReadLine())
      if (!p.waitForReadyRead(10000))
        return false;
    *line = QString::fromUtf8(p.readLine()).trimmed();
    return !line->isEmpty();
  }
  static bool fail(QString *error, const QString &why) {
    *error = why;
    return false;
  }

  QProcess xvfb, bus, dunst;
};

// Collects everything written to stderr (Qt's messages included) meanwhile.
class StderrCapture {
public:
  StderrCapture() {
    fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(file_.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  QByteArray finish() {
    fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    QFile f(file_);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
  }

private:
  QTemporaryDir dir_;
  QString file_ = dir_.filePath(QStringLiteral("stderr"));
  int saved_ = -1;
};

} // namespace

class NewMailNotification : public ::testing::Test {
protected:
  PrivateDesktop desktop;
  std::optional<TempProgramFolder> folder;
  std::optional<MailServers> servers;
  MessageBoxDouble boxes;
  QuietHost host;
  QString connection = QStringLiteral("korvex-notify-test");

  void SetUp() override {
    nmail::NMailInitializeWinSock();
    nmail::NMailSetOption(1, 8192);
    servers = MailServers::load();
    ASSERT_TRUE(servers) << MailServers::loadError().toStdString();
    QString error;
    ASSERT_TRUE(desktop.start(&error)) << error.toStdString();
    ASSERT_TRUE(QDBusConnection::connectToBus(desktop.address, connection).isConnected());
    platform::setNotificationBus(connection);
    folder.emplace();
    ASSERT_TRUE(folder->isValid());
    ASSERT_TRUE(servers->clear(User));
    settings::Pop3Server = servers->pop3Server() + QStringLiteral("#sha256=") + servers->certSha256;
    settings::UseApop = 0;
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), User));
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), servers->user(User).password));
  }

  void TearDown() override {
    platform::setNotificationBus({});
    QDBusConnection::disconnectFromBus(connection);
    forms::tyakuForm().unload();
    forms::idPassForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (servers)
      servers->clear(User);
  }

  void startDunst() {
    QString error;
    ASSERT_TRUE(desktop.startDunst(&error)) << error.toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return QDBusConnection(connection)
              .interface()
              ->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications"));
        },
        10000));
  }

  // A notification of the test's own, sent after everything before it: once
  // it is shown, whatever Korvex sent earlier has been shown too (or never).
  void waitForMarker() {
    const int before = desktop.shown().size();
    platform::notifyNewMail({QStringLiteral("marker")});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return desktop.shown().size() > before &&
                 desktop.shown().constLast().value(1) == u"marker";
        },
        10000));
  }
};

TEST_F(NewMailNotification, ACheckThatStoresMailSaysHowManyCameAndShowsTheFirstSubjects) {
  startDunst();
  const QString tricky = QStringLiteral("見積書 <改訂版> & 納期");
  const QList<QByteArray> mails = {
      mailWithSubject("=?UTF-8?B?" + tricky.toUtf8().toBase64() + "?=", 1),
      mailWithSubject("second", 2), mailWithSubject("third", 3), mailWithSubject("fourth", 4)};
  ASSERT_TRUE(servers->seed(User, mails));

  ReceiveMail(host);
  ASSERT_EQ(readHistory(History::Received).size(), 4);

  ASSERT_TRUE(QTest::qWaitFor([&] { return !desktop.shown().isEmpty(); }, 10000));
  ASSERT_EQ(desktop.shown().size(), 1);
  const QStringList shown = desktop.shown().constFirst();
  EXPECT_EQ(shown.value(0), QStringLiteral("新着メールが4通届きました"));
  // The body as the service renders it (the service reads markup).
  QStringList lines = shown.value(1).split(u'\n');
  for (QString &line : lines)
    line = QTextDocumentFragment::fromHtml(line).toPlainText();
  ASSERT_EQ(lines.size(), 4) << shown.value(1).toStdString();
  const QStringList subjects = {tricky, QStringLiteral("second"), QStringLiteral("third"),
                                QStringLiteral("fourth")};
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(subjects.contains(lines[i])) << lines[i].toStdString(); // markup shown as typed
  EXPECT_EQ(lines[3], QStringLiteral("ほか1通"));

  // A check that finds nothing stays quiet.
  ReceiveMail(host);
  waitForMarker();
  EXPECT_EQ(desktop.shown().size(), 2);
}

TEST_F(NewMailNotification, WithoutANotificationServiceNothingHappensAndNothingIsPrinted) {
  ASSERT_TRUE(servers->seed(User, mailWithSubject("unheard", 1)));
  StderrCapture capture;
  ReceiveMail(host);
  // No bus at all: the same silence.
  const QString nowhere = QStringLiteral("korvex-notify-nowhere");
  QDBusConnection::connectToBus(
      QStringLiteral("unix:path=") + desktop.dir.filePath(QStringLiteral("none")), nowhere);
  platform::setNotificationBus(nowhere);
  platform::notifyNewMail({QStringLiteral("unheard")});
  platform::setNotificationBus(connection);
  // The service that starts later is not handed the old news.
  startDunst();
  waitForMarker();
  const QByteArray printed = capture.finish();
  QDBusConnection::disconnectFromBus(nowhere);
  EXPECT_EQ(readHistory(History::Received).size(), 1);
  EXPECT_TRUE(printed.isEmpty()) << printed.constData();
  ASSERT_EQ(desktop.shown().size(), 1);
}
