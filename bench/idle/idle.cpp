// How much of one core the main window uses while it waits for a check time:
// the real window with its real timers (10 ms check pass, 1 s clocks), the
// check switched on and a registered time that does not come up during the
// run. Prints the CPU time of the process as a percentage of the wall time,
// measured from five seconds after the window appeared.
//
//   bench_idle [seconds] [--screen-reader | --check-off]      (default 60)
//
// With --check-off the check is left off, as the window starts.
//
// With --screen-reader (run-idle.sh sets up the accessibility bus) the
// window's accessibility bridge is on and a second process registers for
// every object, window and focus event, as a screen reader does; the bridge
// sends events only to registered listeners.
#include "main/lib/checktime.h"
#include "main/lib/mainform.h"
#include "main/lib/schedule.h"
#include "platform/core/clock.h"
#include "platform/core/paths.h"
#include "settings/config.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcess>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QAccessible>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

namespace {

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The stand-in screen reader: registers for the events on the accessibility
// bus and stays connected (a listener goes with its connection).
int listen(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QDBusReply<QString> address = QDBusConnection::sessionBus().call(
      QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                     QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")));
  if (!address.isValid()) {
    std::fprintf(stderr, "bench_idle: no accessibility bus: %s\n", qPrintable(address.error().message()));
    return 1;
  }
  QDBusConnection bus = QDBusConnection::connectToBus(address.value(), QStringLiteral("a11y"));
  for (const char *event : {"object:", "window:", "focus:"}) {
    QDBusMessage m = QDBusMessage::createMethodCall(
        QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/registry"),
        QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("RegisterEvent"));
    m << QString::fromLatin1(event);
    const QDBusMessage reply = bus.call(m);
    if (reply.type() == QDBusMessage::ErrorMessage) {
      std::fprintf(stderr, "bench_idle: RegisterEvent %s: %s\n", event, qPrintable(reply.errorMessage()));
      return 1;
    }
  }
  std::printf("listening\n");
  std::fflush(stdout);
  return app.exec();
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && QByteArray(argv[1]) == "--listen")
    return listen(argc, argv);
  const bool screenReader = argc > 2 && QByteArray(argv[2]) == "--screen-reader";
  const bool checkOff = argc > 2 && QByteArray(argv[2]) == "--check-off";
  QProcess reader;
  if (screenReader) {
    reader.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    reader.start(QString::fromLocal8Bit(argv[0]), {QStringLiteral("--listen")});
    if (!reader.waitForReadyRead(10000) || !reader.readAll().startsWith("listening"))
      return 1;
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;

  QTemporaryDir programFolder;
  if (!programFolder.isValid() || !QDir(programFolder.path()).mkdir(QStringLiteral("★MAilData")) ||
      !QDir(programFolder.path()).mkdir(QStringLiteral("添付フォルダ"))) {
    std::fprintf(stderr, "bench_idle: cannot make a temporary program folder\n");
    return 1;
  }
  platform::setProgramFolder(programFolder.path());

  // A POP3 server keeps the server dialog closed; the time registered is
  // twelve hours away, so no receive is due during the run.
  settings::Pop3Server = QStringLiteral("127.0.0.1");
  settings::SaveServerSettings();
  const QString farAway = korvex::japanTimeText(platform::utcNow().addSecs(12 * 3600));
  korvex::putCheckTimeRecord(1, farAway);

  MainForm form;
  int receives = 0;
  form.receiveMail = [&receives](mail::ReceiveHost &) { ++receives; };
  form.endProgram = [] {};
  form.Form_Load();
  form.show();
  if (!checkOff)
    form.Command1_Click();

  // The first seconds after the window appears (its first paint, a screen
  // reader reading the window's tree) are not idle time: the measurement
  // starts once they are over.
  constexpr int SettleMs = 5000;
  QElapsedTimer wall;
  double cpuStart = 0;
  QTimer::singleShot(SettleMs, &app, [&] {
    cpuStart = cpuSeconds();
    wall.start();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
  });
  app.exec();
  const double cpu = cpuSeconds() - cpuStart;
  const double elapsed = double(wall.elapsed()) / 1000.0;

  std::printf("platform: %s, accessibility %s%s\n", qPrintable(QGuiApplication::platformName()),
              QAccessible::isActive() ? "on" : "off",
              screenReader ? ", a screen reader listening" : "");
  if (screenReader) {
    reader.kill();
    reader.waitForFinished();
  }
  std::printf("check %s, registered %s, measured %.1f s after %d s to settle, receives %d\n",
              checkOff ? "off" : "on", qPrintable(farAway), elapsed, SettleMs / 1000, receives);
  std::printf("cpu %.3f s = %.2f %% of one core\n", cpu, elapsed > 0 ? 100.0 * cpu / elapsed : 0.0);
  return 0;
}
