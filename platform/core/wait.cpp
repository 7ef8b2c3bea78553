#include "platform/core/wait.h"

#include "platform/core/clock.h"
#include "platform/core/workers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutex>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <memory>

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
    if (!onMainThread()) {
      // No event loop of ours to run here: sleeping is all there is to do.
      QThread::msleep(ulong(std::min(sleep, 50)));
      continue;
    }
    wake.start(sleep);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

bool onMainThread() {
  const QCoreApplication *app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void runAndWait(const std::function<void()> &job, QObject *context) {
  if (!onMainThread() || (context && context->thread() == QThread::currentThread())) {
    job();
    return;
  }
  struct State {
    QMutex mutex;
    bool done = false;
  };
  const auto state = std::make_shared<State>();
  QObject waker; // a call posted to it wakes this thread when the job is done
  const auto run = [state, &job, &waker] {
    job();
    // Under the lock: the caller destroys `waker` only after it has seen
    // `done`, so the call is never posted to an object that is gone (and a
    // call still pending then goes with it).
    const QMutexLocker lock(&state->mutex);
    state->done = true;
    QMetaObject::invokeMethod(&waker, [] {}, Qt::QueuedConnection);
  };
  if (context)
    QMetaObject::invokeMethod(context, run, Qt::QueuedConnection);
  else
    workers().start(run);
  // Events are run here rather than in a nested event loop: once the
  // application has been asked to quit, a new loop returns at once without
  // running anything, and the wait would spin a core with the window frozen
  // until the job ended.
  for (;;) {
    {
      const QMutexLocker lock(&state->mutex);
      if (state->done)
        return;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

} // namespace platform
