// Clock seam: UTC now (the check schedule), local now (the clock display)
// and a millisecond counter (the wait). Tests install their own source.
#pragma once

#include <QDateTime>
#include <cstdint>

namespace platform {

class ClockSource {
public:
  virtual ~ClockSource() = default;
  virtual QDateTime utcNow() const = 0;
  virtual QDateTime localNow() const = 0;
  // Milliseconds since some start; wraps around at 2^32 like timeGetTime.
  virtual std::uint32_t milliseconds() const = 0;
};

QDateTime utcNow();
QDateTime localNow();
std::uint32_t millisecondCounter();

// Milliseconds from `start` to `now` of the wrapping counter; correct across
// one wrap of the 32-bit counter.
inline std::uint32_t elapsedSince(std::uint32_t start, std::uint32_t now) {
  return now - start; // unsigned arithmetic is modulo 2^32
}

// Installs `source` (not owned); nullptr restores the system clock.
void setClockSource(const ClockSource *source);
// Whether the counter is the system's monotonic clock, the one timers run
// on (no other source installed).
bool systemClockInUse();

} // namespace platform
