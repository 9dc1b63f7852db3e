#include "server/service/base/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "external/reader.h"
#include "server/service/base/service_counters.h"

namespace tarvo {

namespace {
std::atomic<bool> StoreLost{false};
}  // namespace

void Diagnose(const char* format, ...) {
  char line[512];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  // One call per line: lines from several threads do not interleave.
  std::fprintf(stderr, "TarvoServer: %s\n", line);
}

void NoteStoreAnswer(std::int32_t readerStatus) {
  const bool failed = readerStatus == READER_FAILED;
  if (failed) Counters().storeFailures.fetch_add(1, std::memory_order_relaxed);
  // Only the thread that changes the state speaks, so a change is told once.
  if (StoreLost.exchange(failed) == failed) return;
  if (failed) {
    Diagnose("the user store does not answer; logged-in sessions go on, their counts are kept");
  } else {
    Diagnose("the user store answers again");
  }
}

}  // namespace tarvo
