// The destination rules reader on arbitrary text: bad lines are numbered within the text and
// in order, and first-match holds: rules appended after the text never overturn its verdict.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/service/policy/access_rules.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<AccessRuleError> errors;
  const AccessRules rules = AccessRules::Parse(text, errors);
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  FUZZ_CHECK(rules.size() + errors.size() <= lines);
  for (std::size_t i = 0; i < errors.size(); ++i) {
    FUZZ_CHECK(errors[i].line >= 1 && errors[i].line <= lines);
    FUZZ_CHECK(!errors[i].reason.empty());
    if (i > 0) FUZZ_CHECK(errors[i].line > errors[i - 1].line);
  }

  std::vector<AccessRuleError> ignored;
  const AccessRules denyAfter = AccessRules::Parse(text + "\ndeny 0.0.0.0/0\n", ignored);
  const AccessRules allowAfter = AccessRules::Parse(text + "\nallow 0.0.0.0/0\n", ignored);
  for (const char* dotted : {"0.0.0.0", "127.0.0.1", "10.1.2.3", "169.254.169.254",
                             "255.255.255.255"}) {
    const std::uint32_t address = ::inet_addr(dotted);
    for (const std::uint16_t port : {std::uint16_t{0}, std::uint16_t{80}, std::uint16_t{65535}}) {
      const bool verdict = rules.allows(address, port);
      FUZZ_CHECK(!denyAfter.allows(address, port) || verdict);
      FUZZ_CHECK(allowAfter.allows(address, port) || !verdict);
    }
  }
  return 0;
}
