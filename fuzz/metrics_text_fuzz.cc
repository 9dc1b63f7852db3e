// The metrics text between the daemon and the tools: any bytes as a user name come back from
// the tools' parser as written (made valid UTF-8 first), and the parser survives any text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/control_client/service_metrics.h"
#include "fuzz/fuzz_check.h"
#include "server/service/metrics/metrics_text.h"

using namespace tarvo;

namespace {

std::size_t Replacements(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find("\xEF\xBF\xBD", at)) != std::string_view::npos; at += 3) {
    ++count;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  MetricsReading reading;
  std::string error;
  ParseMetricsText(input, reading, &error);  // anything: a verdict, no crash

  MetricsWriter out;
  out.family("tarvo_user_sessions", "gauge", "Sessions per user.");
  out.sample("tarvo_user_sessions", {{"user", input}, {"direction", "down"}}, std::uint64_t{size});
  FUZZ_CHECK(ParseMetricsText(out.text(), reading, &error));
  FUZZ_CHECK(reading.samples.size() == 1);
  FUZZ_CHECK(reading.samples[0].labels.size() == 2);
  FUZZ_CHECK(reading.samples[0].labels[1].second == "down");
  FUZZ_CHECK(reading.samples[0].value == static_cast<double>(size));
  const std::string& back = reading.samples[0].labels[0].second;
  // Valid UTF-8 comes back exactly; otherwise only bad bytes were replaced.
  if (Replacements(EscapeLabelValue(input)) == Replacements(input)) FUZZ_CHECK(back == input);
  FUZZ_CHECK(EscapeLabelValue(back) == EscapeLabelValue(input));
  return 0;
}
