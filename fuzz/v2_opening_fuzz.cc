// Protocol v2's opening frame, the first bytes a TLS client sends: every prefix of an input
// that parses needs more, the parser never takes bytes past its frame, a frame it takes is
// rebuilt byte for byte by the builders, and an enrolment line never upsets its parser.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/common/v2_wire.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  V2Opening opening;
  std::size_t consumed = 0;
  const ParseResult result = ParseV2Opening(bytes, opening, consumed);
  if (result == ParseResult::kDone) {
    FUZZ_CHECK(consumed <= size);
    for (std::size_t cut = 0; cut < consumed; ++cut) {
      V2Opening part;
      std::size_t partConsumed = 0;
      FUZZ_CHECK(ParseV2Opening(bytes.first(cut), part, partConsumed) == ParseResult::kNeedMore);
    }
    ByteBuffer rebuilt;
    if (opening.kind == kV2KindSession) {
      AppendV2SessionOpening(rebuilt, opening.name, opening.proof);
    } else {
      AppendV2RelayOpening(rebuilt, opening.sessionId, opening.proof);
    }
    FUZZ_CHECK(rebuilt.view().size() == consumed);
    FUZZ_CHECK(std::equal(rebuilt.view().begin(), rebuilt.view().end(), data));
  }
  Enrolment enrolment;
  if (ParseEnrolment(std::string_view(reinterpret_cast<const char*>(data), size), enrolment)) {
    FUZZ_CHECK(enrolment.fingerprint.size() == 64 && enrolment.port != 0);
  }
  return 0;
}
