#include "console/usage_metrics.h"

#include <cstdio>

namespace tarvo {

namespace {
constexpr char kRelayedBytes[] = "tarvo_relayed_bytes_total";
}

bool RelayedTotals(const MetricsReading& reading, double& down, double& up, std::string* error) {
  const auto readDown = reading.value(kRelayedBytes, {{"direction", "down"}});
  const auto readUp = reading.value(kRelayedBytes, {{"direction", "up"}});
  if (!readDown || !readUp) {
    if (error != nullptr) *error = std::string("the daemon serves no ") + kRelayedBytes;
    return false;
  }
  down = *readDown;
  up = *readUp;
  return true;
}

std::string ServiceStatusLine(const MetricsReading& reading) {
  std::string line;
  const auto add = [&](const char* label, std::optional<double> value) {
    if (!value) return;
    char text[64];
    std::snprintf(text, sizeof text, "%s%s: %.0f", line.empty() ? "" : "   ", label, *value);
    line += text;
  };
  add("Sessions", reading.value("tarvo_sessions"));
  add("TCP relays", reading.value("tarvo_relays", {{"kind", "tcp"}}));
  add("UDP relays", reading.value("tarvo_relays", {{"kind", "udp"}}));
  return line;
}

}  // namespace tarvo
