// The daemon's figures as the administration tools read them: the text its metrics socket
// serves (the Prometheus text exposition format), parsed into samples.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

struct MetricSample {
  std::string name;     // "tarvo_relayed_bytes_total", "tarvo_store_call_seconds_bucket"
  MetricLabels labels;  // as written, in order
  double value = 0;
};

// One family's # HELP and # TYPE lines.
struct MetricFamily {
  std::string name;
  std::string type;  // counter, gauge, histogram, untyped
  std::string help;
};

using LabelMatch = std::initializer_list<std::pair<std::string_view, std::string_view>>;

struct MetricsReading {
  std::vector<MetricFamily> families;
  std::vector<MetricSample> samples;

  // The first sample named name that carries every label of match; nothing when none does.
  std::optional<double> value(std::string_view name, LabelMatch match = {}) const;
  // The sum of every sample named name that carries every label of match (0 when none).
  double sum(std::string_view name, LabelMatch match = {}) const;
};

// Parses the text exposition format. False, with the line number and what is wrong in *error,
// on a line that is not a comment, a blank line or a sample.
bool ParseMetricsText(std::string_view text, MetricsReading& reading, std::string* error);

// GET /metrics from the daemon's metrics socket in the runtime directory. The whole exchange
// is bounded by timeoutMs. False with the reason in *error: no daemon, access denied (not an
// administrator), an answer that is not 200, or text that does not parse.
bool FetchServiceMetricsText(std::string& text, std::string* error, int timeoutMs = 3000);
bool ReadServiceMetrics(MetricsReading& reading, std::string* error, int timeoutMs = 3000);

}  // namespace tarvo
