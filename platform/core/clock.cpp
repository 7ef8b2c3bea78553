#include "platform/core/clock.h"

#include <QElapsedTimer>

#include <atomic>

namespace platform {
namespace {

class SystemClock final : public ClockSource {
public:
  QDateTime utcNow() const override { return QDateTime::currentDateTimeUtc(); }
  QDateTime localNow() const override { return QDateTime::currentDateTime(); }
  // A monotonic clock cut to 32 bits, so it wraps like the counter the
  // schedules were written against (about every 49.7 days).
  // Counted from the monotonic clock's reference (about the boot time), so
  // two processes agree and a long-running machine does wrap.
  std::uint32_t milliseconds() const override {
    QElapsedTimer t;
    t.start();
    return std::uint32_t(quint64(t.msecsSinceReference()));
  }
};

const SystemClock &systemClock() {
  static const SystemClock clock;
  return clock;
}

std::atomic<const ClockSource *> installed{nullptr};

const ClockSource &source() {
  const ClockSource *s = installed.load();
  return s ? *s : systemClock();
}

} // namespace

QDateTime utcNow() { return source().utcNow(); }
QDateTime localNow() { return source().localNow(); }
std::uint32_t millisecondCounter() { return source().milliseconds(); }
void setClockSource(const ClockSource *s) { installed.store(s); }
bool systemClockInUse() { return installed.load() == nullptr; }

} // namespace platform
