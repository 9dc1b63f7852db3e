// The daemon's running figures for its metrics: counters and gauges bumped where things
// happen, read by the metrics server's thread. Relaxed atomics: a bump costs one instruction
// on the network thread and a reader never takes a lock for them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tarvo {

// How a login ended, as the metrics name it.
enum class LoginOutcome : std::size_t {
  kAccepted,
  kWrongPassword,
  kUnknownUser,
  kLocked,
  kExpired,
  kDoubleConnect,
  kStoreFailed,
  kThrottled,
  kProtocolRefused,  // a designed-protocol login of a user kept to v2
  kCount
};
const char* LoginOutcomeLabel(LoginOutcome outcome);

// TCP relays and UDP channels.
enum class RelayKind : std::size_t { kTcp, kUdp, kCount };
const char* RelayKindLabel(RelayKind kind);

// Upper bounds of the latency histograms' buckets, in seconds (+Inf follows).
inline constexpr std::array<double, 14> kLatencyBounds = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

class LatencyHistogram {
 public:
  void observe(std::chrono::nanoseconds took);
  // Cumulative counts per bound, then the count of all (+Inf), and the sum in seconds.
  struct Reading {
    std::array<std::uint64_t, kLatencyBounds.size() + 1> cumulative{};
    double sumSeconds = 0;
  };
  Reading read() const;

 private:
  std::array<std::atomic<std::uint64_t>, kLatencyBounds.size() + 1> buckets_{};
  std::atomic<std::uint64_t> sumNanoseconds_{0};
};

struct ServiceCounters {
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(LoginOutcome::kCount)> logins{};
  std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(RelayKind::kCount)> openRelays{};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(RelayKind::kCount)> relaysOpened{};
  // Relays refused and datagrams dropped for the destination rules.
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(RelayKind::kCount)> refusedByRules{};
  std::atomic<std::uint64_t> bytesDown{0};  // toward clients
  std::atomic<std::uint64_t> bytesUp{0};    // from clients
  std::atomic<std::int64_t> sessions{0};    // logged in
  std::atomic<std::int64_t> sessionsV2{0};  // of them, over protocol v2
  std::atomic<std::uint64_t> throttleHolds{0};  // addresses held for their wrong passwords
  LatencyHistogram storeCalls;
  std::atomic<std::uint64_t> storeFailures{0};
  LatencyHistogram resolverAnswers;
};

ServiceCounters& Counters();

inline void CountLogin(LoginOutcome outcome) {
  Counters().logins[static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
}
inline void CountRelayOpened(RelayKind kind) {
  auto& counters = Counters();
  counters.relaysOpened[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  counters.openRelays[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
}
inline void CountRelayClosed(RelayKind kind) {
  Counters().openRelays[static_cast<std::size_t>(kind)].fetch_sub(1, std::memory_order_relaxed);
}
inline void CountRefusedByRules(RelayKind kind) {
  Counters().refusedByRules[static_cast<std::size_t>(kind)].fetch_add(1,
                                                                      std::memory_order_relaxed);
}

}  // namespace tarvo
