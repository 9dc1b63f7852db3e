#include "server/service/metrics/metrics_text.h"

#include <algorithm>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "external/reader.h"
#include "server/service/relay/name_resolver.h"
#include "server/service/net/network_loop.h"
#include "server/service/base/service_counters.h"
#include "server/service/base/settings.h"
#include "server/service/base/user_figures.h"

namespace tarvo {

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t point = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    point = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and points past the last one are not valid UTF-8.
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

std::string FormatDouble(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::uint64_t OpenDescriptors() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return 0;
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(directory);
  return count > 0 ? count - 1 : 0;  // less the directory's own descriptor
}

std::uint64_t MaxDescriptors() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return limit.rlim_cur;
}

std::uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

double CpuSeconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void WriteHistogram(MetricsWriter& out, std::string_view name, std::string_view help,
                    const LatencyHistogram& histogram) {
  const LatencyHistogram::Reading reading = histogram.read();
  out.family(name, "histogram", help);
  const std::string bucket = std::string(name) + "_bucket";
  for (std::size_t i = 0; i < kLatencyBounds.size(); ++i) {
    const std::string bound = FormatDouble(kLatencyBounds[i]);
    out.sample(bucket, {{"le", bound}}, reading.cumulative[i]);
  }
  const std::uint64_t count = reading.cumulative.back();
  out.sample(bucket, {{"le", "+Inf"}}, count);
  out.sample(std::string(name) + "_sum", {}, reading.sumSeconds);
  out.sample(std::string(name) + "_count", count);
}

std::uint64_t Load(const std::atomic<std::uint64_t>& value) {
  return value.load(std::memory_order_relaxed);
}
std::uint64_t LoadGauge(const std::atomic<std::int64_t>& value) {
  const std::int64_t read = value.load(std::memory_order_relaxed);
  return read > 0 ? static_cast<std::uint64_t>(read) : 0;
}

// The process's start, near enough: static initialisation.
const double kStartTime = [] {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}();

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (std::size_t i = 0; i < value.size();) {
    const std::size_t length = Utf8SequenceLength(value, i);
    if (length == 0) {
      escaped += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const char c = value[i];
    if (length == 1 && (c == '\\' || c == '"')) {
      escaped += '\\';
      escaped += c;
    } else if (length == 1 && c == '\n') {
      escaped += "\\n";
    } else {
      escaped.append(value.substr(i, length));
    }
    i += length;
  }
  return escaped;
}

void MetricsWriter::family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  text_ += help;  // our own texts: no backslash or line feed to escape
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void MetricsWriter::start(std::string_view name, const Labels& labels) {
  text_ += name;
  if (labels.empty()) return;
  text_ += '{';
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i > 0) text_ += ',';
    text_ += labels[i].first;
    text_ += "=\"";
    text_ += EscapeLabelValue(labels[i].second);
    text_ += '"';
  }
  text_ += '}';
}

void MetricsWriter::sample(std::string_view name, const Labels& labels, double value) {
  start(name, labels);
  text_ += ' ';
  text_ += FormatDouble(value);
  text_ += '\n';
}

void MetricsWriter::sample(std::string_view name, const Labels& labels, std::uint64_t value) {
  start(name, labels);
  text_ += ' ';
  text_ += std::to_string(value);
  text_ += '\n';
}

std::string CurrentMetricsText() {
  // The figures the network lock guards, copied and nothing more.
  std::size_t pendingNames = 0;
  bool perUser = false;
  std::vector<std::pair<std::string, UserFigures>> users;
  {
    MutexLock lock(NetworkLock);
    pendingNames = PendingNames();
    perUser = ServerSettings.MetricsPerUser;
    if (perUser) users = CopyUserFigures();
  }
  const ServiceCounters& counters = Counters();
  MetricsWriter out;

  out.family("tarvo_build_info", "gauge", "The daemon's version, as a label; always 1.");
  out.sample("tarvo_build_info", {{"version", TARVO_VERSION_TEXT}}, std::uint64_t{1});

  out.family("tarvo_sessions", "gauge", "Sessions logged in.");
  out.sample("tarvo_sessions", LoadGauge(counters.sessions));
  out.family("tarvo_sessions_by_protocol", "gauge", "Sessions logged in, by protocol.");
  // Read once each: v1 is what v2 leaves of the total, never below 0.
  const std::uint64_t all = LoadGauge(counters.sessions);
  const std::uint64_t v2 = std::min(all, LoadGauge(counters.sessionsV2));
  out.sample("tarvo_sessions_by_protocol", {{"protocol", "v1"}}, all - v2);
  out.sample("tarvo_sessions_by_protocol", {{"protocol", "v2"}}, v2);

  out.family("tarvo_relays", "gauge", "Relays open: TCP relays and UDP channels.");
  for (RelayKind kind : {RelayKind::kTcp, RelayKind::kUdp}) {
    out.sample("tarvo_relays", {{"kind", RelayKindLabel(kind)}},
               LoadGauge(counters.openRelays[static_cast<std::size_t>(kind)]));
  }
  out.family("tarvo_relays_opened_total", "counter",
             "Relays opened since the start: TCP relays and UDP channels.");
  for (RelayKind kind : {RelayKind::kTcp, RelayKind::kUdp}) {
    out.sample("tarvo_relays_opened_total", {{"kind", RelayKindLabel(kind)}},
               Load(counters.relaysOpened[static_cast<std::size_t>(kind)]));
  }
  out.family("tarvo_relayed_bytes_total", "counter",
             "Payload bytes relayed, TCP and UDP: down toward the clients, up from them.");
  out.sample("tarvo_relayed_bytes_total", {{"direction", "down"}}, Load(counters.bytesDown));
  out.sample("tarvo_relayed_bytes_total", {{"direction", "up"}}, Load(counters.bytesUp));

  out.family("tarvo_logins_total", "counter", "Logins by how they ended.");
  for (std::size_t i = 0; i < counters.logins.size(); ++i) {
    out.sample("tarvo_logins_total", {{"outcome", LoginOutcomeLabel(static_cast<LoginOutcome>(i))}},
               Load(counters.logins[i]));
  }
  out.family("tarvo_relays_refused_total", "counter",
             "TCP relays refused and UDP datagrams dropped by the destination rules.");
  for (RelayKind kind : {RelayKind::kTcp, RelayKind::kUdp}) {
    out.sample("tarvo_relays_refused_total", {{"kind", RelayKindLabel(kind)}},
               Load(counters.refusedByRules[static_cast<std::size_t>(kind)]));
  }
  out.family("tarvo_login_throttle_holds_total", "counter",
             "Times an address was held for its wrong passwords (its logins then count as "
             "throttled).");
  out.sample("tarvo_login_throttle_holds_total", Load(counters.throttleHolds));

  WriteHistogram(out, "tarvo_store_call_seconds",
                 "Time of the daemon's calls to the user store, as its store workers made them.",
                 counters.storeCalls);
  out.family("tarvo_store_failures_total", "counter", "User store calls that failed.");
  out.sample("tarvo_store_failures_total", Load(counters.storeFailures));
  out.family("tarvo_store_statements_total", "counter",
             "Statements sent to the user store, each a round trip.");
  out.sample("tarvo_store_statements_total", std::uint64_t{ReaderStatementCount()});

  out.family("tarvo_resolver_pending_names", "gauge",
             "Host names asked for by clients and not yet answered.");
  out.sample("tarvo_resolver_pending_names", std::uint64_t{pendingNames});
  WriteHistogram(out, "tarvo_resolver_answer_seconds",
                 "Time the name server took to answer a host-name look-up.",
                 counters.resolverAnswers);

  const BusyMeter& busy = NetworkLoopBusy();
  out.family("tarvo_network_loop_busy_seconds_total", "counter",
             "Time the network thread spent working rather than waiting.");
  out.sample("tarvo_network_loop_busy_seconds_total", {},
             static_cast<double>(busy.totalNanoseconds()) / 1e9);
  out.family("tarvo_network_loop_busy_ratio", "gauge",
             "Share of the last 10 seconds the network thread spent working.");
  out.sample("tarvo_network_loop_busy_ratio", {}, busy.recentShare(BusyMeter::Clock::now()));

  out.family("tarvo_open_fds", "gauge", "File descriptors the daemon holds open.");
  out.sample("tarvo_open_fds", OpenDescriptors());
  out.family("tarvo_max_fds", "gauge", "The most file descriptors the daemon may hold open.");
  out.sample("tarvo_max_fds", MaxDescriptors());
  out.family("tarvo_resident_memory_bytes", "gauge", "Resident memory.");
  out.sample("tarvo_resident_memory_bytes", ResidentBytes());
  out.family("tarvo_cpu_seconds_total", "counter", "Processor time, user and system.");
  out.sample("tarvo_cpu_seconds_total", {}, CpuSeconds());
  out.family("tarvo_start_time_seconds", "gauge", "When the daemon started, Unix time.");
  out.sample("tarvo_start_time_seconds", {}, kStartTime);

  if (perUser) {
    out.family("tarvo_user_sessions", "gauge", "Sessions logged in, per user.");
    for (const auto& [name, figures] : users) {
      out.sample("tarvo_user_sessions", {{"user", name}},
                 static_cast<std::uint64_t>(std::max<std::int64_t>(figures.sessions, 0)));
    }
    out.family("tarvo_user_relayed_bytes_total", "counter",
               "Payload bytes relayed since the daemon started, per user and direction.");
    for (const auto& [name, figures] : users) {
      out.sample("tarvo_user_relayed_bytes_total", {{"user", name}, {"direction", "down"}},
                 figures.bytesDown);
      out.sample("tarvo_user_relayed_bytes_total", {{"user", name}, {"direction", "up"}},
                 figures.bytesUp);
    }
  }
  return out.text();
}

}  // namespace tarvo
