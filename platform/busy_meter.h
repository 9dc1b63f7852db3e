// How much of its time a thread spends working rather than waiting: a running total and the
// share of the last whole seconds. One thread adds; any thread reads, without a lock, so that
// a reader never holds up the thread it measures.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace tarvo {

class BusyMeter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kWindowSeconds = 10;

  // The thread worked from start to end. The writing thread only.
  void add(Clock::time_point start, Clock::time_point end);

  std::uint64_t totalNanoseconds() const { return total_.load(std::memory_order_relaxed); }
  // The share (0 to 1) of the kWindowSeconds whole seconds before now's second that was work.
  double recentShare(Clock::time_point now) const;

 private:
  struct Slot {
    std::atomic<std::int64_t> second{-1};
    std::atomic<std::uint64_t> nanoseconds{0};
  };
  static std::int64_t SecondOf(Clock::time_point time);
  void addWithin(std::int64_t second, std::uint64_t nanoseconds);

  std::array<Slot, 2 * kWindowSeconds> slots_{};
  std::atomic<std::uint64_t> total_{0};
};

}  // namespace tarvo
