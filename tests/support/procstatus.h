// A field of /proc/self/status in kB (VmRSS, VmHWM …), for the tests and
// benchmarks that look at this process's memory; -1 when it can't be read.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

namespace testsupport {

inline long statusKb(const char *key) {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly))
    return -1;
  for (const QByteArray &line : f.readAll().split('\n'))
    if (line.startsWith(key))
      return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
  return -1;
}

// Sets this process's peak (VmHWM) back to its present size; false when the
// kernel refused.
inline bool resetPeakMemory() {
  QFile clear(QStringLiteral("/proc/self/clear_refs"));
  return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

} // namespace testsupport
