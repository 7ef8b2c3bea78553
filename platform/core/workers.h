// The program's one pool of workers. Two kinds of thread run beside the
// window's: the transport thread (mail/net: every socket lives there) and
// this pool, for everything else that must not hold the window up: reading a
// mail within its budget, putting files on the disk, the search index,
// freeing a large file. The window's thread waits for a job with
// runAndWait (wait.h).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class QThreadPool;

namespace platform {

// The pool, made on first use. It waits for its jobs when the application
// object goes, so no job outlives the program's objects.
QThreadPool &workers();

// Runs job(0) … job(count - 1) at the same time, on workers and on the
// calling thread, and returns once every one has finished. The caller takes
// any job no worker has taken yet, so this never waits for a free worker
// (even called from a worker while every other one is busy).
void runInParallel(int count, const std::function<void(int)> &job);

// Jobs that must run one at a time and in the order given (updates of the
// search index), on the pool: one worker at a time, taken only while there
// is something to do. The queue must outlive its jobs.
class SerialQueue {
public:
  void post(std::function<void()> job);
  // Returns once every job posted before (and while) it waits has run.
  void waitForDone();

private:
  void runNext();

  std::mutex mutex_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> jobs_;
  bool running_ = false; // a job of this queue is on the pool
};

} // namespace platform
