// Opening the history viewer on a full received history, against the time
// it takes to read that file once from a warm cache.
//
//   bench_viewer [records]      (default 32766, the most a history holds)
//
// Prints both times and their ratio; never fails on time.
#include "mail/history.h"
#include "mail/tyakuform.h"
#include "platform/core/ansi.h"
#include "platform/core/paths.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>

#include <cstdio>

using namespace mail;

namespace {

bool writeHistory(const QString &path, int records) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
    return false;
  QString body;
  for (int line = 0; line < 150; ++line)
    body += QStringLiteral("本文の%1行目です。The quick brown fox jumps over the lazy dog.\r\n").arg(line);
  for (int i = 1; i <= records; ++i) {
    MailRecord r;
    r.Subject = QStringLiteral("定例会議のお知らせ（第%1回）").arg(i);
    r.Info1 = QStringLiteral("山田 太郎 <taro%1@example.jp>").arg(i % 97);
    r.Info2 = QStringLiteral("Mon, 7 Dec 2026 09:%1:00 +0900").arg(i % 60, 2, 10, QChar(u'0'));
    r.Body = body;
    if (f.write(encodeMailRecord(r)) != MailLayout::RecordLength)
      return false;
  }
  return true;
}

double readOnceMs(const QString &path) {
  QElapsedTimer t;
  t.start();
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    return -1;
  const QByteArray all = f.readAll();
  const double ms = t.nsecsElapsed() / 1e6;
  if (all.isEmpty())
    return -1;
  return ms;
}

double openViewerMs(int expectedRows) {
  QElapsedTimer t;
  t.start();
  openHistoryViewer(History::Received);
  const double ms = t.nsecsElapsed() / 1e6;
  TyakuForm *f = forms::tyakuForm().get();
  if (f->List1->count() != expectedRows)
    std::fprintf(stderr, "viewer listed %d rows, expected %d\n", f->List1->count(), expectedRows);
  forms::tyakuForm().unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return ms;
}

} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, int(MailLayout::MaxRecords))
                               : MailLayout::MaxRecords;

  QTemporaryDir dir;
  if (!dir.isValid() || !QDir(dir.path()).mkdir(QString::fromUtf16(platform::DataFolderName))) {
    std::fprintf(stderr, "cannot make a temporary program folder\n");
    return 1;
  }
  platform::setProgramFolder(dir.path());
  const QString path = historyPath(History::Received);
  std::printf("writing %d records (%.0f MB)...\n", records,
              double(records) * MailLayout::RecordLength / 1e6);
  std::fflush(stdout);
  if (!writeHistory(path, records)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return 1;
  }

  readOnceMs(path); // warm the page cache
  double readBest = 1e300, openBest = 1e300;
  constexpr int Rounds = 5;
  for (int i = 0; i < Rounds; ++i) {
    readBest = std::min(readBest, readOnceMs(path));
    openBest = std::min(openBest, openViewerMs(records));
  }
  std::printf("records:                 %d\n", records);
  std::printf("read file once (warm):   %.1f ms (best of %d)\n", readBest, Rounds);
  std::printf("open viewer:             %.1f ms (best of %d)\n", openBest, Rounds);
  std::printf("ratio open/read:         %.2f\n", openBest / readBest);
  return 0;
}
