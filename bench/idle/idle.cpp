// How much of one core the main window uses while it waits for a check time:
// the real window with its real timers (10 ms check pass, 1 s clocks), the
// check switched on and a registered time that does not come up during the
// run. Prints the CPU time of the process as a percentage of the wall time.
//
//   bench_idle [seconds]      (default 60)
#include "main/lib/checktime.h"
#include "main/lib/mainform.h"
#include "main/lib/schedule.h"
#include "platform/core/clock.h"
#include "platform/core/paths.h"
#include "settings/config.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

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

} // namespace

int main(int argc, char **argv) {
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
  form.Command1_Click();

  QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
  QElapsedTimer wall;
  const double cpuStart = cpuSeconds();
  wall.start();
  app.exec();
  const double cpu = cpuSeconds() - cpuStart;
  const double elapsed = double(wall.elapsed()) / 1000.0;

  std::printf("platform: %s\n", qPrintable(QGuiApplication::platformName()));
  std::printf("check on, registered %s, ran %.1f s, receives %d\n", qPrintable(farAway), elapsed, receives);
  std::printf("cpu %.3f s = %.2f %% of one core\n", cpu, elapsed > 0 ? 100.0 * cpu / elapsed : 0.0);
  return 0;
}
