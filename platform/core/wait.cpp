#include "platform/core/wait.h"

#include "platform/core/clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace platform {

void waitMilliseconds(int ms) {
  if (ms < 0)
    ms = 0;
  const std::uint32_t start = millisecondCounter();
  // "More than ms" on the counter: keep waiting while elapsed <= ms.
  while (elapsedSince(start, millisecondCounter()) <= std::uint32_t(ms)) {
    const std::uint32_t elapsed = elapsedSince(start, millisecondCounter());
    const int remaining = int(std::uint32_t(ms) - std::min(elapsed, std::uint32_t(ms))) + 1;
    if (!QCoreApplication::instance()) {
      // No event loop to run: sleeping is all that can be done.
      QThread::msleep(ulong(remaining));
      continue;
    }
    // A nested loop that sleeps until the next event or the deadline; a
    // cap on each round keeps a stalled test clock from freezing us.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(std::min(remaining, 50));
    loop.exec();
  }
}

} // namespace platform
