// How fast one session's messages are handled, so that a client flooding its session costs a
// small share of the network thread and other users do not notice. Requests (TrafficInfo,
// Resolve, TextMessage, UdpClose and anything else) are handled at most kRequestsPerSecond a
// second, with kRequestBurst at once; datagrams (UdpData) at most kDatagramsPerSecond a second,
// with kDatagramBurst at once. Past that the session is not read until the debt is paid: the
// messages wait in the kernel, and a client that keeps sending is slowed by TCP, not dropped.
#pragma once

#include <chrono>
#include <cstdint>

#include "server/service/net/network_loop.h"

namespace tarvo {

// A client sends one TrafficInfo every 10 s and a few look-ups per page it opens.
inline constexpr double kRequestsPerSecond = 50;
inline constexpr double kRequestBurst = 100;
// Far above a call or a game; a bulk UDP transfer is relayed at about 20 MB/s per session.
inline constexpr double kDatagramsPerSecond = 20000;
inline constexpr double kDatagramBurst = 2000;

class MessagePace {
 public:
  // Charges count messages of type handled at now; how long to wait before the next is
  // handled (zero while within the rate).
  std::chrono::nanoseconds charge(std::uint32_t type, std::size_t count, NetworkTime now);
  // How many messages of type may be handled at now within the pace (at least one: a session
  // that waited its turn handles the next message).
  std::size_t available(std::uint32_t type, NetworkTime now);

 private:
  struct Bucket {
    double tokens;
    NetworkTime refilled{};
  };

  struct Kind {
    double rate;
    double burst;
    Bucket bucket;
  };
  // The kind of type with its bucket brought up to now.
  Kind& refilled(std::uint32_t type, NetworkTime now);

  Kind requests_{kRequestsPerSecond, kRequestBurst, {kRequestBurst}};
  Kind datagrams_{kDatagramsPerSecond, kDatagramBurst, {kDatagramBurst}};
};

}  // namespace tarvo
