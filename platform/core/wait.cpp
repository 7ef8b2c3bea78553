#include "platform/core/wait.h"

#include "platform/core/clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace platform {

void waitMilliseconds(int ms) {
  const std::uint32_t limit = std::uint32_t(std::max(ms, 0));
  const std::uint32_t start = millisecondCounter();
  // A wake-up timer bounds each sleep in the event loop, so the counter is
  // read again at least every 50 ms even when nothing else happens (and a
  // test's clock that is moved on from a timer is noticed promptly).
  QTimer wake;
  wake.setTimerType(Qt::PreciseTimer);
  for (;;) {
    const std::uint32_t elapsed = elapsedSince(start, millisecondCounter());
    if (elapsed > limit) // strictly more than asked
      return;
    const int sleep = int(std::min<std::uint32_t>(limit - elapsed + 1, 50));
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread()) {
      // No event loop of ours to run here: sleeping is all there is to do.
      QThread::msleep(ulong(sleep));
      continue;
    }
    wake.start(sleep);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

} // namespace platform
