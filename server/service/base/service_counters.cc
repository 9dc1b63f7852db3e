#include "server/service/base/service_counters.h"

#include <algorithm>

namespace tarvo {

const char* LoginOutcomeLabel(LoginOutcome outcome) {
  switch (outcome) {
    case LoginOutcome::kAccepted: return "accepted";
    case LoginOutcome::kWrongPassword: return "wrong_password";
    case LoginOutcome::kUnknownUser: return "unknown_user";
    case LoginOutcome::kLocked: return "locked";
    case LoginOutcome::kExpired: return "expired";
    case LoginOutcome::kDoubleConnect: return "double_connect";
    case LoginOutcome::kStoreFailed: return "store_failed";
    case LoginOutcome::kThrottled: return "throttled";
    case LoginOutcome::kProtocolRefused: return "protocol_refused";
    case LoginOutcome::kCount: break;
  }
  return "other";
}

const char* RelayKindLabel(RelayKind kind) { return kind == RelayKind::kTcp ? "tcp" : "udp"; }

void LatencyHistogram::observe(std::chrono::nanoseconds took) {
  const double seconds = std::chrono::duration<double>(took).count();
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), seconds) -
      kLatencyBounds.begin());
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumNanoseconds_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(took.count(), 0)),
                            std::memory_order_relaxed);
}

LatencyHistogram::Reading LatencyHistogram::read() const {
  Reading reading;
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    reading.cumulative[i] = running;
  }
  reading.sumSeconds = static_cast<double>(sumNanoseconds_.load(std::memory_order_relaxed)) / 1e9;
  return reading;
}

ServiceCounters& Counters() {
  static ServiceCounters counters;
  return counters;
}

}  // namespace tarvo
