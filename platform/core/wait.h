#pragma once

#include <functional>

class QObject;

namespace platform {

// Returns once more than `ms` milliseconds have passed on the millisecond
// counter, letting pending events (timers, clicks, repaints) run meanwhile.
// It sleeps in the event loop between events; it never spins a core.
void waitMilliseconds(int ms);
// The same, returning early once `stop` is true; it is asked after each
// batch of events, which is where whatever it looks at can change.
void waitMilliseconds(int ms, const std::function<bool()> &stop);

// True on the application's main thread, the window's; false on any other
// thread and before there is an application.
bool onMainThread();

// The one way the window's thread waits for work done elsewhere: runs `job`
// on a worker of the pool (workers.h), or, given a `context`, on the thread
// that object lives on (the transport thread), and returns once it has
// finished, letting this thread's events run meanwhile (windows paint,
// timers tick, clicks arrive), as the wait does. Anywhere but on the main
// thread, and on `context`'s own thread, it runs `job` in place.
void runAndWait(const std::function<void()> &job, QObject *context = nullptr);

} // namespace platform
