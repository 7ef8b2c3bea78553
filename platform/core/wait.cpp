#include "platform/core/wait.h"

#include "platform/core/clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace platform {

void waitMilliseconds(int ms) {
  waitMilliseconds(ms, {});
}

void waitMilliseconds(int ms, const std::function<bool()> &stop) {
  const std::uint32_t limit = std::uint32_t(std::max(ms, 0));
  const std::uint32_t start = millisecondCounter();
  // Timers run on the same monotonic clock as the system's counter, so one
  // wake-up at the end is enough and the program sleeps in between. Another
  // counter (a test's clock) is read again at least every 50 ms, so a clock
  // moved on without an event here is noticed promptly.
  const std::uint32_t longestSleep = systemClockInUse() ? limit + 1 : 50;
  QTimer wake;
  wake.setTimerType(Qt::PreciseTimer);
  for (;;) {
    if (stop && stop())
      return;
    const std::uint32_t elapsed = elapsedSince(start, millisecondCounter());
    if (elapsed > limit) // strictly more than asked
      return;
    const int sleep = int(std::min<std::uint32_t>(limit - elapsed + 1, longestSleep));
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread()) {
      // No event loop of ours to run here: sleeping is all there is to do.
      QThread::msleep(ulong(std::min(sleep, 50)));
      continue;
    }
    wake.start(sleep);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

namespace {
bool onMainThread() {
  const QCoreApplication *app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}
} // namespace

void runElsewhere(QObject *context, const std::function<void()> &job) {
  if (!onMainThread() || context->thread() == QThread::currentThread()) {
    job();
    return;
  }
  QEventLoop loop;
  QMutex mutex;
  bool done = false;
  QMetaObject::invokeMethod(
      context,
      [&] {
        job();
        // Under the lock: the caller destroys the loop only after it has
        // seen `done`, so the quit is never posted to a loop that is gone.
        const QMutexLocker lock(&mutex);
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
  for (;;) {
    loop.exec();
    const QMutexLocker lock(&mutex);
    if (done)
      return;
  }
}

void runAside(const std::function<void()> &job) {
  if (!onMainThread()) {
    job();
    return;
  }
  QThread thread;
  QObject context;
  context.moveToThread(&thread);
  thread.start();
  runElsewhere(&context, job);
  thread.quit();
  thread.wait();
}

} // namespace platform
