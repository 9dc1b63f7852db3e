// The settings file reader on arbitrary text, and the version rule on what it leaves: the
// version text always ends inside its field, and the dotted comparison is a consistent order.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/service/base/settings.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ServerSettingsRecord settings;
  ParseSettingsText(text, settings);
  FUZZ_CHECK(strnlen(settings.MinClientVersion, kMinClientVersionSize) < kMinClientVersionSize);

  const char* minimum = settings.MinClientVersion;
  FUZZ_CHECK(CompareVersions(minimum, minimum) == 0);
  for (const char* client : {"2.0.4", "2.0.5", "0", "2.0.5.1", ""}) {
    const int order = CompareVersions(client, minimum);
    FUZZ_CHECK(order == -CompareVersions(minimum, client));
    FUZZ_CHECK(IsClientVersionAllowed(client, minimum) ==
               (order >= 0 && CompareVersions(client, kServerVersion) <= 0));
  }
  // Two halves of the input as versions: antisymmetric.
  const std::string a(text.substr(0, size / 2));
  const std::string b(text.substr(size / 2));
  FUZZ_CHECK(CompareVersions(a.c_str(), b.c_str()) == -CompareVersions(b.c_str(), a.c_str()));
  return 0;
}
