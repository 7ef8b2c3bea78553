// What the benchmarks share: medians, this process's CPU time, the machine's
// load beside every figure, a program folder of their own, and histories
// filled with records.
#pragma once

#include "mail/store/mailrecord.h"
#include "platform/core/paths.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace bench {

template <typename T> T median(QList<T> v) {
  std::sort(v.begin(), v.end());
  return v.isEmpty() ? T() : v[v.size() / 2];
}

// On a shared machine the wall time waits for other programs; the CPU time
// of this process is the part that is ours.
inline qint64 cpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// The 1, 5 and 15 minute load averages, as uptime prints them.
inline QByteArray loadAverage() {
  QFile f(QStringLiteral("/proc/loadavg"));
  if (!f.open(QIODevice::ReadOnly))
    return "unknown";
  const QList<QByteArray> parts = f.readLine().split(' ');
  return parts.size() >= 3 ? parts[0] + ' ' + parts[1] + ' ' + parts[2] : QByteArray("unknown");
}

inline void printLoad(const char *when) {
  std::printf("load average %s: %s\n", when, loadAverage().constData());
}

// `folder` made the program folder, with its data folder and, unless told
// otherwise, its attachment folder.
inline bool makeProgramFolder(const QString &folder, bool withAttachments = true) {
  if (!QDir().mkpath(folder + QLatin1Char('/') + QString::fromUtf16(platform::DataFolderName)) ||
      (withAttachments && !QDir().mkpath(folder + QLatin1Char('/') +
                                         QString::fromUtf16(platform::AttachmentFolderName))))
    return false;
  platform::setProgramFolder(folder);
  return true;
}

// The records make(first) … make(first + count - 1) appended to the history
// at `path`, as a receive appends them.
inline bool appendRecords(const QString &path, int first, int count,
                          const std::function<mail::MailRecord(int)> &make) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
    return false;
  for (int i = first; i < first + count; ++i)
    if (f.write(mail::encodeMailRecord(make(i))) != mail::MailLayout::RecordLength)
      return false;
  return true;
}

// `records` records of one long Japanese letter each (150 lines, the body
// nearly full), subjects, senders and dates differing from record to record.
inline bool writeUniformHistory(const QString &path, int records) {
  if (QFile::exists(path) && !QFile::resize(path, 0))
    return false;
  QString body;
  for (int line = 0; line < 150; ++line)
    body += QStringLiteral("本文の%1行目です。The quick brown fox jumps over the lazy dog.\r\n")
                .arg(line);
  return appendRecords(path, 1, records, [&body](int i) {
    mail::MailRecord r;
    r.Subject = QStringLiteral("定例会議のお知らせ（第%1回）").arg(i);
    r.Info1 = QStringLiteral("山田 太郎 <taro%1@example.jp>").arg(i % 97);
    r.Info2 = QStringLiteral("Mon, 7 Dec 2026 09:%1:00 +0900").arg(i % 60, 2, 10, QChar(u'0'));
    r.Body = body;
    r.Flag = 1;
    return r;
  });
}

} // namespace bench
