// The service's throughput over the last hour, made from successive readings of its relayed
// byte counters: each reading after the first adds one point, the bytes since the previous
// reading over the time between them. Qt-free, so that it is tested without a chart.
#pragma once

#include <cstdint>
#include <deque>

namespace tarvo {

struct RatePoint {
  std::int64_t atMs = 0;  // the later reading's time, milliseconds since the epoch
  double down = 0;        // bytes per second toward the clients
  double up = 0;          // bytes per second from the clients
};

class RateHistory {
 public:
  static constexpr std::int64_t kSpanMs = 60 * 60 * 1000;

  explicit RateHistory(std::int64_t spanMs = kSpanMs) : spanMs_(spanMs) {}

  // A reading of the counters at atMs. A counter that went down means the daemon restarted
  // (its counters begin at 0 again): no point, the reading is the new base. So is a reading no
  // later than the previous one (the clock was set back; points after it go too). Points older
  // than the span go.
  void AddReading(std::int64_t atMs, double downTotal, double upTotal);
  // A reading that failed: the next one is a new base, as nothing says what happened between.
  void Interrupt() { haveBase_ = false; }

  const std::deque<RatePoint>& points() const { return points_; }

 private:
  std::int64_t spanMs_;
  std::deque<RatePoint> points_;
  bool haveBase_ = false;
  std::int64_t baseMs_ = 0;
  double baseDown_ = 0;
  double baseUp_ = 0;
};

}  // namespace tarvo
