#pragma once

namespace platform {

// Returns once more than `ms` milliseconds have passed on the millisecond
// counter, letting pending events (timers, clicks, repaints) run meanwhile.
// It sleeps in the event loop between events; it never spins a core.
void waitMilliseconds(int ms);

} // namespace platform
