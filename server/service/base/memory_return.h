// Freed relay buffers stay in the allocator's free lists, so after a burst of busy relays the
// daemon would keep its peak resident memory for good. Once enough has been freed, the free
// memory goes back to the system shortly after, in one malloc_trim. Network thread only.
#pragma once

#include <chrono>
#include <cstddef>

namespace tarvo {

inline constexpr std::size_t kTrimAfterFreed = std::size_t{16} << 20;
// Long enough for a burst to finish closing, so one trim follows it.
inline constexpr std::chrono::seconds kTrimDelay{1};

// bytes of relay buffers were freed.
void NoteFreedMemory(std::size_t bytes);

}  // namespace tarvo
