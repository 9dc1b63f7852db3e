// The PROXY v2 header reader on arbitrary bytes, whole and split at every point: the same
// verdict, client and length either way, and never more taken than it was given.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "server/common/proxy_header.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  ProxyHeaderParser whole;
  const ParseResult verdict = whole.feed(bytes);
  FUZZ_CHECK(whole.consumed() <= size);
  if (verdict == ParseResult::kDone) FUZZ_CHECK(whole.consumed() >= kProxyHeaderFixedSize);
  for (std::size_t split = 0; split <= size; split += 1 + size / 16) {
    ProxyHeaderParser parts;
    ParseResult result = parts.feed(bytes.first(split));
    std::size_t taken = parts.consumed();
    if (result == ParseResult::kNeedMore) {
      result = parts.feed(bytes.subspan(split));
      taken += parts.consumed();
    }
    FUZZ_CHECK(result == verdict);
    if (verdict == ParseResult::kDone) {
      FUZZ_CHECK(taken == whole.consumed());
      FUZZ_CHECK(parts.hasClient() == whole.hasClient());
      FUZZ_CHECK(parts.clientAddress() == whole.clientAddress());
    }
  }
  return 0;
}
