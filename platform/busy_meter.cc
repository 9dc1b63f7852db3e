#include "platform/busy_meter.h"

#include <algorithm>

namespace tarvo {

namespace {
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
}

std::int64_t BusyMeter::SecondOf(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

void BusyMeter::addWithin(std::int64_t second, std::uint64_t nanoseconds) {
  Slot& slot = slots_[static_cast<std::size_t>(second) % slots_.size()];
  if (slot.second.load(std::memory_order_relaxed) != second) {
    // A reader that sees the new second before the reset may count a stale slot once; the
    // share is a gauge, and the next read is right.
    slot.nanoseconds.store(0, std::memory_order_relaxed);
    slot.second.store(second, std::memory_order_release);
  }
  slot.nanoseconds.fetch_add(nanoseconds, std::memory_order_relaxed);
}

void BusyMeter::add(Clock::time_point start, Clock::time_point end) {
  if (end <= start) return;
  const auto nanos = [](Clock::duration d) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
  };
  total_.fetch_add(nanos(end - start), std::memory_order_relaxed);
  // A batch that spans a second's end is shared out between the seconds it spans.
  std::int64_t second = SecondOf(start);
  Clock::time_point from = start;
  while (SecondOf(end) > second) {
    const Clock::time_point boundary{std::chrono::seconds(second + 1)};
    addWithin(second, nanos(boundary - from));
    from = boundary;
    ++second;
  }
  addWithin(second, nanos(end - from));
}

double BusyMeter::recentShare(Clock::time_point now) const {
  const std::int64_t current = SecondOf(now);
  std::uint64_t busy = 0;
  for (const Slot& slot : slots_) {
    const std::int64_t second = slot.second.load(std::memory_order_acquire);
    if (second >= current - kWindowSeconds && second < current) {
      busy += slot.nanoseconds.load(std::memory_order_relaxed);
    }
  }
  const double share = static_cast<double>(busy) / (double(kWindowSeconds) * kNanosPerSecond);
  return std::clamp(share, 0.0, 1.0);
}

}  // namespace tarvo
