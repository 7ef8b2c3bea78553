// Start-up of the main window with both histories full (32,766 records each,
// the most a history holds) against both histories empty.
//
//   bench_startup [records] [--keep]
//
// With --keep the program folders stay (their path is printed), for a
// profiler: bench_startup --child FOLDER starts once on one of them.
//
// Each start is its own process (this program run with --child FOLDER): the
// time is from starting the process to the main window shown and painted,
// and the peak memory is the child's VmHWM at that moment. Five starts of
// each, taken in turn; prints the medians and the ratio, never fails on time.
#include "bench/support/benchsupport.h"
#include "mail/store/history.h"
#include "main/lib/mainform.h"
#include "platform/core/paths.h"
#include "settings/config.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace mail;

namespace {

long vmHwmKb() {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly))
    return -1;
  for (const QByteArray &line : f.readAll().split('\n'))
    if (line.startsWith("VmHWM:"))
      return line.mid(6).trimmed().split(' ').value(0).toLong();
  return -1;
}

int child(int argc, char **argv, const QString &folder) {
  QApplication app(argc, argv);
  platform::setProgramFolder(folder);
  MainForm *form = forms::mainForm().get();
  form->show();
  form->repaint();
  QCoreApplication::processEvents();
  std::printf("ready %ld\n", vmHwmKb());
  std::fflush(stdout);
  std::_Exit(0);
}

// A program folder with both histories of `records` records (0: empty files)
// and a POP3 server set, so no dialog opens beside the window.
bool makeFolder(const QString &folder, int records) {
  if (!bench::makeProgramFolder(folder))
    return false;
  settings::Pop3Server = QStringLiteral("127.0.0.1");
  if (!settings::SaveServerSettings())
    return false;
  const QString received = historyPath(History::Received), sent = historyPath(History::Sent);
  if (!bench::writeUniformHistory(received, records))
    return false;
  // The sent history holds the same records: a link saves writing them twice.
  QFile::remove(sent);
  return QFile::link(received, sent) ? true : QFile::copy(received, sent);
}

struct Start {
  double ms = -1;
  long hwmKb = -1;
};

Start startOnce(const QString &self, const QString &folder) {
  Start s;
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QElapsedTimer t;
  t.start();
  p.start(self, {QStringLiteral("--child"), folder});
  while (p.waitForReadyRead(60000)) {
    const QByteArray line = p.readLine();
    if (line.startsWith("ready ")) {
      s.ms = t.nsecsElapsed() / 1e6;
      s.hwmKb = line.mid(6).trimmed().toLong();
      break;
    }
  }
  p.waitForFinished(60000);
  return s;
}


} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc == 3 && QByteArray(argv[1]) == "--child")
    return child(argc, argv, QString::fromLocal8Bit(argv[2]));

  QCoreApplication app(argc, argv);
  const bool keep = QCoreApplication::arguments().contains(QStringLiteral("--keep"));
  const int records = argc > 1 && QByteArray(argv[1]) != "--keep"
                          ? std::clamp(std::atoi(argv[1]), 1, int(MailLayout::MaxRecords))
                          : MailLayout::MaxRecords;
  QTemporaryDir dir;
  dir.setAutoRemove(!keep);
  if (keep)
    std::printf("program folders in %s\n", qPrintable(dir.path()));
  const QString full = dir.filePath(QStringLiteral("full")),
                empty = dir.filePath(QStringLiteral("empty"));
  std::printf("writing two histories of %d records (%.0f MB each)...\n", records,
              double(records) * MailLayout::RecordLength / 1e6);
  std::fflush(stdout);
  if (!dir.isValid() || !makeFolder(full, records) || !makeFolder(empty, 0)) {
    std::fprintf(stderr, "bench_startup: cannot make the program folders\n");
    return 1;
  }
  const QString self = QCoreApplication::applicationFilePath();
  startOnce(self, full); // warm the page cache and the loader
  startOnce(self, empty);
  QList<double> fullMs, emptyMs, ratios;
  QList<long> fullHwm, emptyHwm;
  constexpr int Rounds = 5;
  for (int i = 0; i < Rounds; ++i) {
    const Start f = startOnce(self, full), e = startOnce(self, empty);
    if (f.ms < 0 || e.ms < 0) {
      std::fprintf(stderr, "bench_startup: a start did not report\n");
      return 1;
    }
    fullMs << f.ms;
    emptyMs << e.ms;
    ratios << f.ms / e.ms;
    fullHwm << f.hwmKb;
    emptyHwm << e.hwmKb;
  }
  std::printf("start to painted main window, median of %d pairs:\n", Rounds);
  std::printf("  histories of %d records: %.0f ms, peak %.1f MB (VmHWM)\n", records, bench::median(fullMs),
              bench::median(fullHwm) / 1024.0);
  std::printf("  empty histories:            %.0f ms, peak %.1f MB (VmHWM)\n", bench::median(emptyMs),
              bench::median(emptyHwm) / 1024.0);
  std::printf("  ratio full/empty:           %.2f (median of the pairs)\n", bench::median(ratios));
  return 0;
}
