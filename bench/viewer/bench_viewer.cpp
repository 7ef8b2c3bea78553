// Opening the history viewer on a full received history, against the time
// `cat file > /dev/null` takes to read that file from a warm cache. The
// viewer's time is from the click to the count shown.
//
// Then "１件削除" of a mail in the middle of that history, from the answer
// "はい" until "件数" shows one fewer, against one warm copy of the file
// flushed to the disk (the least a crash-safe rewrite can cost).
//
//   bench_viewer [records]            (default 32766, the most a history holds)
//   bench_viewer [records] --profile  only opens the viewer 20 times, for perf
//
// Prints the medians, this process's CPU time and the load beside them, and
// the ratios; never fails on time.
#include "bench/support/benchsupport.h"
#include "mail/store/history.h"
#include "mail/tyakuform.h"
#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/messagebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

using namespace mail;

namespace {

double catOnceMs(const QString &path) {
  QProcess cat;
  cat.setStandardOutputFile(QProcess::nullDevice());
  QElapsedTimer t;
  t.start();
  cat.start(QStringLiteral("cat"), {path});
  if (!cat.waitForFinished(60000) || cat.exitCode() != 0)
    return -1;
  return t.nsecsElapsed() / 1e6;
}

double openViewerMs(int expectedRows) {
  QElapsedTimer t;
  t.start();
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  f->Text2->repaint();
  const double ms = t.nsecsElapsed() / 1e6;
  if (f->Text2->text() != QString::number(expectedRows))
    std::fprintf(stderr, "viewer shows the count %s\n", qPrintable(f->Text2->text()));
  if (f->List1->count() != expectedRows)
    std::fprintf(stderr, "viewer listed %d rows, expected %d\n", f->List1->count(), expectedRows);
  forms::tyakuForm().unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return ms;
}

// Answers every box "はい" and notes when it did.
class AnswerYes : public platform::MessageBoxBackend {
public:
  platform::MsgAnswer show(QWidget *, const platform::MessageBoxRequest &request) override {
    answered.start();
    return request.buttons == platform::MsgButtons::YesNo ? platform::MsgAnswer::Yes
                                                          : platform::MsgAnswer::Ok;
  }
  QElapsedTimer answered;
};

double copyWithFsyncMs(const QString &path) {
  QElapsedTimer t;
  t.start();
  QFile in(path);
  QFile out(path + QStringLiteral(".copy"));
  if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
    return -1;
  QByteArray block(1 << 20, Qt::Uninitialized);
  qint64 n;
  while ((n = in.read(block.data(), block.size())) > 0)
    out.write(block.constData(), n);
  out.flush();
  ::fsync(out.handle());
  const double ms = t.nsecsElapsed() / 1e6;
  out.close();
  out.remove();
  return ms;
}

double deleteOneMs(AnswerYes &boxes, int row) {
  openHistoryViewer(History::Received);
  TyakuForm *f = forms::tyakuForm().get();
  const int before = f->List1->count();
  f->List1->setCurrentRow(row);
  f->Command1->click();
  f->Text2->repaint();
  const double ms = boxes.answered.nsecsElapsed() / 1e6;
  if (f->Text2->text() != QString::number(before - 1))
    std::fprintf(stderr, "after the delete the count is %s, expected %d\n",
                 qPrintable(f->Text2->text()), before - 1);
  forms::tyakuForm().unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return ms;
}

} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int records = argc > 1 && argv[1][0] != '-'
                            ? std::clamp(std::atoi(argv[1]), 1, int(MailLayout::MaxRecords))
                            : MailLayout::MaxRecords;
  const bool profile = QCoreApplication::arguments().contains(QStringLiteral("--profile"));

  QTemporaryDir dir;
  if (!dir.isValid() || !bench::makeProgramFolder(dir.path(), false)) {
    std::fprintf(stderr, "cannot make a temporary program folder\n");
    return 1;
  }
  const QString path = historyPath(History::Received);
  std::printf("writing %d records (%.0f MB)...\n", records,
              double(records) * MailLayout::RecordLength / 1e6);
  std::fflush(stdout);
  if (!bench::writeUniformHistory(path, records)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return 1;
  }

  catOnceMs(path); // warm the page cache
  if (profile) {
    for (int i = 0; i < 20; ++i)
      openViewerMs(records);
    return 0;
  }
  bench::printLoad("before");
  QList<double> readMs, openMs;
  QList<qint64> openCpu;
  constexpr int Rounds = 7;
  for (int i = 0; i < Rounds; ++i) {
    readMs << catOnceMs(path);
    const qint64 cpu = bench::cpuMs();
    openMs << openViewerMs(records);
    openCpu << bench::cpuMs() - cpu;
  }
  std::printf("records:                 %d\n", records);
  std::printf("cat file > /dev/null:    %.1f ms (warm, median of %d)\n", bench::median(readMs),
              Rounds);
  std::printf("click to count shown:    %.1f ms (median of %d), CPU %lld ms\n",
              bench::median(openMs), Rounds, bench::median(openCpu));
  std::printf("ratio viewer/cat:        %.2f\n", bench::median(openMs) / bench::median(readMs));

  AnswerYes boxes;
  platform::setMessageBoxBackend(&boxes);
  QList<double> copyMs, deleteMs;
  QList<qint64> deleteCpu;
  constexpr int DeleteRounds = 5;
  for (int i = 0; i < DeleteRounds; ++i) {
    copyMs << copyWithFsyncMs(path);
    const qint64 cpu = bench::cpuMs();
    deleteMs << deleteOneMs(boxes, records / 2);
    deleteCpu << bench::cpuMs() - cpu;
  }
  platform::setMessageBoxBackend(nullptr);
  std::printf("copy file + fsync:       %.1f ms (warm, median of %d)\n", bench::median(copyMs),
              DeleteRounds);
  std::printf("はい to 件数 one fewer:  %.1f ms (median of %d); open and delete CPU %lld ms\n",
              bench::median(deleteMs), DeleteRounds, bench::median(deleteCpu));
  std::printf("ratio delete/copy:       %.2f\n", bench::median(deleteMs) / bench::median(copyMs));
  bench::printLoad("after");
  return 0;
}
