// The opening message as a connection delivers it: the same bytes fed in the pieces the input
// chooses and fed whole must give the same decision, the parser never takes a byte past the
// message (and a data connection's session id), and an admitted version text passes through
// the version rule without harm.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/common/session_protocol.h"
#include "server/service/base/settings.h"

using namespace tarvo;

namespace {

// Feeds a parser as a socket would: never more than it asks for. Returns the bytes taken.
ParseResult FeedWhole(OpeningParser& parser, const std::vector<std::uint8_t>& bytes,
                      std::size_t& taken) {
  ParseResult result = ParseResult::kNeedMore;
  taken = 0;
  while (result == ParseResult::kNeedMore && taken < bytes.size()) {
    std::size_t n = std::min(parser.wanted(), bytes.size() - taken);
    FUZZ_CHECK(n > 0);
    result = parser.feed({bytes.data() + taken, n});
    taken += n;
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  OpeningParser pieces;
  std::vector<std::uint8_t> fed;
  ParseResult result = ParseResult::kNeedMore;
  while (result == ParseResult::kNeedMore && input.remaining_bytes() > 0) {
    const std::size_t wanted = pieces.wanted();
    FUZZ_CHECK(wanted > 0);
    // Piece sizes come from the end of the input, the bytes from its front.
    const std::size_t n = input.ConsumeIntegralInRange<std::size_t>(1, wanted);
    std::vector<std::uint8_t> piece = input.ConsumeBytes<std::uint8_t>(n);
    if (piece.empty()) break;
    result = pieces.feed(piece);
    fed.insert(fed.end(), piece.begin(), piece.end());
    FUZZ_CHECK(pieces.received() == fed.size());
  }
  FUZZ_CHECK(fed.size() <= kOpeningMaxLength + kSessionIdSize);
  if (result != ParseResult::kNeedMore) FUZZ_CHECK(pieces.wanted() == 0);

  OpeningParser whole;
  std::size_t taken = 0;
  const ParseResult wholeResult = FeedWhole(whole, fed, taken);
  FUZZ_CHECK(wholeResult == result);
  FUZZ_CHECK(taken == fed.size());

  if (result == ParseResult::kDone) {
    FUZZ_CHECK(pieces.kind() == kOpeningKindSession || pieces.kind() == kOpeningKindData);
    FUZZ_CHECK(pieces.kind() == whole.kind());
    if (pieces.kind() == kOpeningKindSession) {
      const std::string version = pieces.versionText();
      FUZZ_CHECK(version == whole.versionText());
      FUZZ_CHECK(version.size() <= kOpeningMaxLength - kOpeningVersionOffset);
      FUZZ_CHECK(version.find('\0') == std::string::npos);
      IsClientVersionAllowed(version.c_str(), "2.0.4");
    } else {
      FUZZ_CHECK(pieces.sessionId() == whole.sessionId());
    }
  }
  return 0;
}
