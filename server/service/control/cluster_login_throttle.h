// The login throttle held across the daemons of a PostgreSQL store: the wrong proofs one
// daemon sees (wrong passwords, unknown names, unknown session ids) are counted by every other
// for the same client address and name, as if all had come to one daemon. Each daemon gathers
// its wrong proofs for kThrottleBatch and sends them as one note (nothing while none come, and
// nothing for a good login); the change listener hands the others' notes to this daemon's
// guard. A batch keeps at most kThrottleBatchKeys keys: past that a flood's further keys are
// counted here only.
#pragma once

#include <chrono>
#include <cstddef>

namespace tarvo {

inline constexpr std::chrono::milliseconds kThrottleBatch{200};
inline constexpr std::size_t kThrottleBatchKeys = 4096;

// Before StartUserChangeListener; does nothing unless that starts the listener.
void ShareLoginThrottle();

}  // namespace tarvo
