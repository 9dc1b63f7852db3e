// Which relays get wide kernel buffers (net/relay_io.h). A relay's buffers are fixed before its
// first byte, so what a stalled relay pins in the kernel is known when it opens: a user holds
// at most kWideRelaysPerUser wide relays at once, the daemon kWideRelaysInAll, and every other
// relay is narrow. The host's TCP memory (net.ipv4.tcp_mem, everybody's) is thus never the
// bound: one user's relays pin at most kUserWideKernelBound plus kNarrowRelayKernelBound per relay
// past its wide ones. Network lock held for everything here.
#pragma once

#include <string>

#include "server/service/net/relay_io.h"

namespace tarvo {

inline constexpr int kWideRelaysPerUser = 8;
inline constexpr int kWideRelaysInAll = 128;
inline constexpr long kUserWideKernelBound = kWideRelaysPerUser * kWideRelayKernelBound;

// One relay's claim on a wide grant; released when it goes.
class WideGrant {
 public:
  explicit WideGrant(std::string userName);
  ~WideGrant();
  WideGrant(const WideGrant&) = delete;
  WideGrant& operator=(const WideGrant&) = delete;

  // Takes a grant if the user and the daemon have one left; true when held.
  bool take();
  bool held() const { return held_; }
  const KernelBuffers& buffers() const { return held_ ? kWideBuffers : kNarrowBuffers; }

 private:
  std::string key_;  // the user's folded name
  bool held_ = false;
};

}  // namespace tarvo
