// tarvoadm stats: the daemon's figures once, as its metrics socket serves them. The plain
// output is the exposition text itself, ready for a textfile collector; --json gives every
// sample with its family's type and help.
#include <cstdio>

#include "admin/tarvoadm/command.h"
#include "console/control_client/service_metrics.h"

namespace tarvo::adm {

namespace {

// The family a sample belongs to: a histogram's _bucket, _sum and _count samples are its own.
const MetricFamily* FamilyOf(const MetricsReading& reading, const std::string& sample) {
  for (const MetricFamily& family : reading.families) {
    if (sample == family.name) return &family;
  }
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    const std::string_view end(suffix);
    if (sample.size() <= end.size() || !sample.ends_with(end)) continue;
    const std::string base = sample.substr(0, sample.size() - end.size());
    for (const MetricFamily& family : reading.families) {
      if (base == family.name) return &family;
    }
  }
  return nullptr;
}

nlohmann::json ReadingAsJson(const MetricsReading& reading) {
  nlohmann::json samples = nlohmann::json::array();
  for (const MetricSample& sample : reading.samples) {
    nlohmann::json labels = nlohmann::json::object();
    for (const auto& [name, value] : sample.labels) labels[name] = value;
    nlohmann::json entry = {{"name", sample.name}, {"labels", labels}, {"value", sample.value}};
    if (const MetricFamily* family = FamilyOf(reading, sample.name)) {
      entry["family"] = family->name;
      entry["type"] = family->type;
    }
    samples.push_back(std::move(entry));
  }
  nlohmann::json families = nlohmann::json::object();
  for (const MetricFamily& family : reading.families) {
    families[family.name] = {{"type", family.type}, {"help", family.help}};
  }
  return {{"families", families}, {"samples", samples}};
}

}  // namespace

int StatsCommand(Context& context) {
  if (!context.args.empty()) return UsageError(context, "stats takes no arguments");
  std::string text, error;
  if (!FetchServiceMetricsText(text, &error)) return Fail(context, kUnreachable, error);
  if (!context.json) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? kDone : kRefused;
  }
  MetricsReading reading;
  if (!ParseMetricsText(text, reading, &error)) {
    return Fail(context, kRefused, "the daemon's figures do not parse: " + error);
  }
  return Done(context, "", ReadingAsJson(reading));
}

}  // namespace tarvo::adm
