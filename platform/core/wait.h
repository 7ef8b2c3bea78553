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

// Runs `job` on the thread `context` lives on and returns once it has
// finished, letting this thread's events run meanwhile (windows paint, timers
// tick, clicks arrive), as the wait does. Called off the application's main
// thread, or before there is an application, it runs `job` in place.
void runElsewhere(QObject *context, const std::function<void()> &job);
// The same on a thread made for the job (slow disk work: syncing files).
void runAside(const std::function<void()> &job);

} // namespace platform
