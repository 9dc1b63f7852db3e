// The daemon's figures in the Prometheus text exposition format (version 0.0.4): what a scrape
// of the metrics endpoint and `tarvoadm stats` return.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo {

// Writes families and their samples; label values are escaped and made valid UTF-8.
class MetricsWriter {
 public:
  using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

  void family(std::string_view name, std::string_view type, std::string_view help);
  void sample(std::string_view name, const Labels& labels, double value);
  void sample(std::string_view name, const Labels& labels, std::uint64_t value);
  void sample(std::string_view name, std::uint64_t value) { sample(name, {}, value); }

  const std::string& text() const { return text_; }

 private:
  void start(std::string_view name, const Labels& labels);
  std::string text_;
};

// Label values are UTF-8 in the format: a byte that is not part of a valid sequence becomes
// U+FFFD, then backslash, double quote and line feed are escaped.
std::string EscapeLabelValue(std::string_view value);

// Every figure of the daemon, read now. Takes the network lock only to copy the few figures it
// guards (pending names, per-user figures); the rest are atomics. Any thread but the network
// thread.
std::string CurrentMetricsText();

}  // namespace tarvo
