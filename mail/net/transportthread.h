// The transport's own thread. Every connection lives and waits there (a
// socket is used only from the thread that made it); an NMail call made on
// the window's thread hands its work over and runs the window's events until
// the answer comes, the way the 4-second wait does, so the window keeps
// painting, ticking and taking clicks while the server is slow.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>

namespace nmail::detail {

// Runs `job` on the transport thread and returns when it has finished. Called
// from any other thread than the application's main one (or before there is
// an application), it runs the job in place.
void runOnTransportThread(const std::function<void()> &job);

template <class F> auto onTransportThread(F &&job) -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  std::optional<R> result;
  runOnTransportThread([&] { result.emplace(job()); });
  return std::move(*result);
}

// From a job on the transport thread: queues `job` to run there after it,
// without anybody waiting for it (work ahead, such as fetching the next mail
// while the window's thread stores this one). Elsewhere it does nothing.
void queueOnTransportThread(std::function<void()> job);

// From the application's main thread: hands `job` to the transport thread and
// returns at once; it runs there after every job handed over before it and
// before every later one. Elsewhere it runs the job in place.
void postToTransportThread(std::function<void()> job);

// What runs on the transport thread just before it ends (the connections
// must be destroyed on the thread that made them).
void setTransportThreadCleanup(std::function<void()> lastJob);
// Runs the cleanup on the transport thread and ends the thread; the next job
// starts a new one. Also done when the application object goes.
void stopTransportThread();

} // namespace nmail::detail
