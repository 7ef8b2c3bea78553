// The search of "全メール検索" on a full received history (32,766 records of
// Japanese business mail of mixed length):
//  - the index built from scratch (wall and CPU time, size on the disk);
//  - queries of 1, 2, 3 and 8 characters: the index alone, and the whole
//    click from the button to the rows and the count shown;
//  - the update after 1,000 more mails and after one delete.
//
//   bench_search [records]      (default 32766)
//
// Prints the figures; never fails on time.
#include "bench/support/benchsupport.h"
#include "editor/editorpane.h"
#include "mail/store/history.h"
#include "mail/store/searchindex.h"
#include "mail/tyakuform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace mail;

namespace {


const QStringList Sentences = {
    QStringLiteral("いつもお世話になっております。"),
    QStringLiteral("先日の打合せの件でご連絡いたします。"),
    QStringLiteral("来週の定例会議は火曜日の十時からに変更となりました。"),
    QStringLiteral("資料を添付いたしますので、ご確認のほどよろしくお願いいたします。"),
    QStringLiteral("見積書の金額について、再度ご検討いただけますでしょうか。"),
    QStringLiteral("ご不明な点がございましたら、お気軽にお問い合わせください。"),
    QStringLiteral("本日は急な雨で電車が遅れており、到着が少し遅れます。"),
    QStringLiteral("新しい担当者をご紹介させていただきます。"),
    QStringLiteral("納品日は月末を予定しております。"),
    QStringLiteral("請求書を郵送いたしましたので、ご査収ください。"),
    QStringLiteral("システムの保守作業のため、土曜日の夜間は停止いたします。"),
    QStringLiteral("アンケートへのご協力をお願いいたします。"),
    QStringLiteral("忘年会の出欠を金曜日までにお知らせください。"),
    QStringLiteral("出張の日程が決まりましたので、ホテルの手配をお願いします。"),
    QStringLiteral("サーバーの容量が不足しているとの警告が出ています。"),
    QStringLiteral("お客様から製品の不具合について問い合わせがありました。"),
    QStringLiteral("契約更新の書類に押印のうえ、ご返送ください。"),
    QStringLiteral("健康診断の予約を受け付けております。"),
    QStringLiteral("Please find the revised schedule attached."),
    QStringLiteral("The meeting room on the third floor is booked until noon."),
    QStringLiteral("ＵＲＬ：https://example.jp/news/"),
    QStringLiteral("ﾃｽﾄ用の半角ｶﾀｶﾅも時々混じります。"),
};

QString body(QRandomGenerator &rng, int characters) {
  QString text;
  while (text.size() < characters) {
    text += Sentences[rng.bounded(int(Sentences.size()))];
    // Numbers, names and dates make most pieces of text differ, as in real mail.
    if (rng.bounded(3) == 0)
      text += QStringLiteral("（No.%1）").arg(rng.bounded(100000));
    if (rng.bounded(6) == 0)
      text += QStringLiteral("\r\n");
  }
  return text;
}

// 40 % short notes, 30 % letters, 20 % long letters, 10 % newsletters that
// fill the record.
MailRecord mailNumber(QRandomGenerator &rng, int i) {
  static const int lengths[] = {300, 300, 300, 300, 800, 800, 800, 2000, 2000, 5500};
  MailRecord r;
  r.Subject = QStringLiteral("Re: %1 (%2)").arg(Sentences[i % Sentences.size()].left(12)).arg(i);
  r.Info1 = QStringLiteral("担当者%1 <user%1@example.co.jp>").arg(rng.bounded(500));
  r.Info2 = QStringLiteral("Mon, %1 Dec 2026 09:%2:00 +0900").arg(1 + i % 28).arg(i % 60);
  r.Body = body(rng, lengths[rng.bounded(10)]);
  // A few mails carry the words looked for below in their last lines.
  if (i % 5000 == 0)
    r.Body += QStringLiteral("\r\nプロジェクト進捗報告");
  return r;
}

bool writeHistory(const QString &path, int from, int count, qint64 *characters) {
  QRandomGenerator rng(quint32(from) * 7919u + 1);
  return bench::appendRecords(path, from, count, [&](int i) {
    const MailRecord r = mailNumber(rng, i);
    *characters += r.Subject.size() + r.Info1.size() + r.Info2.size() + r.Body.size();
    return r;
  });
}


} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int records = argc > 1 ? QByteArray(argv[1]).toInt() : MailLayout::MaxRecords;
  if (records < 1 || records > MailLayout::MaxRecords) {
    std::fprintf(stderr, "usage: bench_search [records, 1..%d]\n", MailLayout::MaxRecords);
    return 2;
  }
  QTemporaryDir work;
  if (!bench::makeProgramFolder(work.filePath(QStringLiteral("program")), false))
    return 2;

  bench::printLoad("at the start");
  const int first = records;
  qint64 characters = 0;
  if (!writeHistory(historyPath(History::Received), 1, first, &characters))
    return 2;
  const search::Paths paths = search::pathsFor(History::Received);
  std::printf("history: %d records, %.1f M characters of text, %.0f MB\n", first,
              characters / 1e6, QFileInfo(paths.history).size() / 1e6);

  QElapsedTimer clock;
  clock.start();
  qint64 cpu = bench::cpuMs();
  const search::SyncResult built = search::syncIndex(paths, History::Received);
  std::printf("index built from scratch: %d records in %lld ms (CPU %lld ms), %.0f MB on the "
              "disk%s\n",
              built.indexed, clock.elapsed(), bench::cpuMs() - cpu,
              QFileInfo(paths.index).size() / 1e6, built.ok ? "" : "  FAILED");

  TyakuForm *viewer = forms::tyakuForm().get();
  viewer->openHistory(History::Received);
  const QStringList queries = {QStringLiteral("議"), QStringLiteral("会議"),
                               QStringLiteral("打合せ"), QStringLiteral("プロジェクト進捗"),
                               QStringLiteral("ｶﾀｶﾅ"), QStringLiteral("見")};
  for (const QString &q : queries) {
    QList<double> indexMs, clickMs;
    QList<qint64> clickCpu;
    int found = 0;
    for (int run = 0; run < 5; ++run) {
      QElapsedTimer t;
      t.start();
      const search::SearchResult r = search::searchHistory(paths, History::Received, q);
      indexMs << t.nsecsElapsed() / 1e6;
      found = int(r.records.size());
      viewer->editorPane->Text1->setText(q);
      t.restart();
      const qint64 cpu = bench::cpuMs();
      viewer->cmdAllSearch_Click();
      // Shown: the list lays its rows out and paints those in view.
      QCoreApplication::processEvents();
      viewer->List1->viewport()->repaint();
      viewer->Text2->repaint();
      clickMs << t.nsecsElapsed() / 1e6;
      clickCpu << bench::cpuMs() - cpu;
    }
    std::printf("query \"%s\" (%d characters): %d mails; index %.1f ms, whole click %.1f ms "
                "(CPU %lld ms; medians of 5), %d rows shown\n",
                qPrintable(q), int(q.toUcs4().size()), found, bench::median(indexMs),
                bench::median(clickMs), bench::median(clickCpu), viewer->List1->count());
  }

  // The last 1,000 mails taken away and appended again, as a receive
  // appends them; then the update after it.
  if (records > 1000) {
    const QByteArray all = [&] {
      QFile f(paths.history);
      return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    const qsizetype keep = qsizetype(records - 1000) * MailLayout::RecordLength;
    QFile::resize(paths.history, keep);
    search::syncIndex(paths, History::Received);
    QFile f(paths.history);
    if (!f.open(QIODevice::Append) || f.write(all.mid(keep)) != all.size() - keep)
      return 2;
    f.close();
    clock.restart();
    cpu = bench::cpuMs();
    const search::SyncResult more = search::syncIndex(paths, History::Received);
    std::printf("update after 1,000 new mails: %d indexed in %lld ms (CPU %lld ms)\n",
                more.indexed, clock.elapsed(), bench::cpuMs() - cpu);
  }

  // One mail deleted near the start: every later record moves up one.
  markHistoryRecord(History::Received, 2);
  rewriteHistory(History::Received);
  clock.restart();
  cpu = bench::cpuMs();
  const search::SyncResult after = search::syncIndex(paths, History::Received);
  std::printf("update after deleting record 2: %d removed in %lld ms (CPU %lld ms), %.0f MB on "
              "the disk\n",
              after.removed, clock.elapsed(), bench::cpuMs() - cpu, QFileInfo(paths.index).size() / 1e6);
  clock.restart();
  const search::SyncResult current = search::syncIndex(paths, History::Received);
  std::printf("check of an index in step: %.1f ms\n", clock.nsecsElapsed() / 1e6);
  bench::printLoad("at the end");
  return built.ok && after.ok && current.ok ? 0 : 1;
}
