#include "platform/core/workers.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <memory>

namespace platform {

namespace {

// Sized to the machine, but never below what the flush of a receive keeps
// busy at once: its jobs wait on the disk rather than compute, and their
// waits overlap (four lanes of fsync, one of them on the worker that awaits
// them), with room beside them for an index update or a mail being read.
constexpr int MinimumWorkers = 6;

void waitForWorkers() {
  workers().waitForDone();
}

} // namespace

QThreadPool &workers() {
  static QThreadPool *const pool = [] {
    // Never destroyed: a job may still be queued when static objects go.
    auto *p = new QThreadPool;
    p->setObjectName(QStringLiteral("korvex-workers"));
    p->setMaxThreadCount(std::max(QThread::idealThreadCount(), MinimumWorkers));
    return p;
  }();
  static std::atomic<bool> awaitedAtEnd{false};
  if (QCoreApplication::instance() && !awaitedAtEnd.exchange(true))
    qAddPostRoutine(waitForWorkers);
  return *pool;
}

void runInParallel(int count, const std::function<void(int)> &job) {
  if (count <= 0)
    return;
  struct Shared {
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable allDone;
    int finished = 0;
  };
  auto shared = std::make_shared<Shared>();
  // A worker that starts after every job was taken finds nothing to do and
  // touches nothing but `shared`, which it keeps alive itself.
  const auto takeJobs = [shared, &job, count] {
    for (int k = shared->next++; k < count; k = shared->next++) {
      job(k);
      const std::lock_guard<std::mutex> lock(shared->mutex);
      if (++shared->finished == count)
        shared->allDone.notify_all();
    }
  };
  for (int k = 1; k < count; ++k)
    workers().start(takeJobs);
  takeJobs();
  std::unique_lock<std::mutex> lock(shared->mutex);
  shared->allDone.wait(lock, [&] { return shared->finished == count; });
}

void SerialQueue::post(std::function<void()> job) {
  bool start = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    start = !std::exchange(running_, true);
  }
  if (start)
    workers().start([this] { runNext(); });
}

void SerialQueue::runNext() {
  std::function<void()> job;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
  job();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) {
      running_ = false;
      idle_.notify_all();
      return;
    }
  }
  // The next one goes to the back of the pool's queue: a long series of
  // updates does not keep a worker from the others' jobs.
  workers().start([this] { runNext(); });
}

void SerialQueue::waitForDone() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return !running_; });
}

} // namespace platform
