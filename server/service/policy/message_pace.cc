#include "server/service/policy/message_pace.h"

#include <algorithm>

#include "server/common/session_protocol.h"

namespace tarvo {

MessagePace::Kind& MessagePace::refilled(std::uint32_t type, NetworkTime now) {
  Kind& kind = type == MessageType::UdpData ? datagrams_ : requests_;
  Bucket& bucket = kind.bucket;
  if (bucket.refilled != NetworkTime{}) {
    const double elapsed = std::chrono::duration<double>(now - bucket.refilled).count();
    bucket.tokens = std::min(kind.burst, bucket.tokens + elapsed * kind.rate);
  }
  bucket.refilled = now;
  return kind;
}

std::size_t MessagePace::available(std::uint32_t type, NetworkTime now) {
  return static_cast<std::size_t>(std::max(1.0, refilled(type, now).bucket.tokens));
}

std::chrono::nanoseconds MessagePace::charge(std::uint32_t type, std::size_t count,
                                             NetworkTime now) {
  Kind& kind = refilled(type, now);
  double& tokens = kind.bucket.tokens;
  tokens -= static_cast<double>(count);
  if (tokens >= 0) return std::chrono::nanoseconds::zero();
  // In debt: nothing more until it is paid.
  return std::chrono::nanoseconds(static_cast<std::int64_t>(-tokens / kind.rate * 1e9) + 1);
}

}  // namespace tarvo
