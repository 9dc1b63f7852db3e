// Per-user figures for the metrics, kept only when the administrator turned them on
// ([MetricsPerUser]:yes): bytes relayed since the daemon started and sessions open, per user
// who logged in since. Network lock held for every call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/service/net/network_loop.h"

namespace tarvo {

struct UserFigures {
  std::uint64_t bytesDown = 0;
  std::uint64_t bytesUp = 0;
  std::int64_t sessions = 0;
};

// The user's figures, made on first use; null while per-user figures are off. The entry lives
// as long as the process, so a session may keep the pointer.
UserFigures* UserFiguresFor(const std::string& name) REQUIRES(NetworkLock);

// Every user's figures, sorted by name: the copy a scrape takes under the network lock.
std::vector<std::pair<std::string, UserFigures>> CopyUserFigures();

}  // namespace tarvo
