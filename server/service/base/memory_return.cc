#include "server/service/base/memory_return.h"

#include <malloc.h>

#include "server/service/net/network_loop.h"

namespace tarvo {
namespace {

std::size_t freedSinceTrim = 0;

NetworkTimer& TrimTimer() {
  static NetworkTimer timer;
  return timer;
}

}  // namespace

void NoteFreedMemory(std::size_t bytes) {
  freedSinceTrim += bytes;
  if (freedSinceTrim < kTrimAfterFreed || TrimTimer().armed()) return;
  TrimTimer().arm(std::chrono::duration_cast<std::chrono::milliseconds>(kTrimDelay), [] {
    freedSinceTrim = 0;
    ::malloc_trim(0);
  });
}

}  // namespace tarvo
