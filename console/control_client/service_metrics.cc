#include "console/control_client/service_metrics.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/fd.h"
#include "platform/home.h"
#include "server/common/metrics_port.h"

namespace tarvo {

namespace {

bool Fail(std::string* error, std::string why) {
  if (error != nullptr) *error = std::move(why);
  return false;
}

bool Carries(const MetricSample& sample, LabelMatch match) {
  for (const auto& [name, value] : match) {
    bool found = false;
    for (const auto& [have, haveValue] : sample.labels) {
      if (have == name && haveValue == value) found = true;
    }
    if (!found) return false;
  }
  return true;
}

bool NameChar(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
         (!first && c >= '0' && c <= '9');
}

// Reads a metric or label name at text[at...]; empty when there is none.
std::string_view ReadName(std::string_view text, std::size_t& at) {
  const std::size_t from = at;
  while (at < text.size() && NameChar(text[at], at == from)) ++at;
  return text.substr(from, at - from);
}

bool ReadValue(std::string_view text, double& value) {
  if (text == "+Inf" || text == "Inf") {
    value = HUGE_VAL;
    return true;
  }
  if (text == "-Inf") {
    value = -HUGE_VAL;
    return true;
  }
  if (text == "NaN") {
    value = NAN;
    return true;
  }
  const std::string copy(text);
  char* end = nullptr;
  value = std::strtod(copy.c_str(), &end);
  return !copy.empty() && end == copy.c_str() + copy.size();
}

// name{label="value",...} value [timestamp]
bool ParseSample(std::string_view line, MetricSample& sample, const char** why) {
  std::size_t at = 0;
  sample.name = std::string(ReadName(line, at));
  if (sample.name.empty()) return *why = "no metric name", false;
  if (at < line.size() && line[at] == '{') {
    ++at;
    while (at < line.size() && line[at] != '}') {
      const std::string label(ReadName(line, at));
      if (label.empty() || at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"') {
        return *why = "a label is not name=\"value\"", false;
      }
      at += 2;
      std::string value;
      for (;; ++at) {
        if (at >= line.size()) return *why = "a label value does not end", false;
        const char c = line[at];
        if (c == '"') break;
        if (c == '\\') {
          if (++at >= line.size()) return *why = "a label value does not end", false;
          value += line[at] == 'n' ? '\n' : line[at];
        } else {
          value += c;
        }
      }
      ++at;  // the closing quote
      sample.labels.emplace_back(label, std::move(value));
      if (at < line.size() && line[at] == ',') ++at;
    }
    if (at >= line.size()) return *why = "the labels do not end", false;
    ++at;  // '}'
  }
  if (at >= line.size() || (line[at] != ' ' && line[at] != '\t')) {
    return *why = "no value after the name", false;
  }
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::string_view rest = line.substr(at);
  const std::size_t space = rest.find_first_of(" \t");
  if (!ReadValue(rest.substr(0, space), sample.value)) return *why = "the value is no number", false;
  return true;
}

void ReadComment(std::string_view line, MetricsReading& reading) {
  // "# HELP name text" or "# TYPE name type"; other comments say nothing.
  const bool help = line.rfind("# HELP ", 0) == 0;
  if (!help && line.rfind("# TYPE ", 0) != 0) return;
  std::size_t at = 7;
  const std::string name(ReadName(line, at));
  if (name.empty()) return;
  const std::string_view rest = at < line.size() ? line.substr(at + 1) : std::string_view();
  MetricFamily* family = nullptr;
  for (auto& known : reading.families) {
    if (known.name == name) family = &known;
  }
  if (family == nullptr) family = &reading.families.emplace_back(MetricFamily{name, "untyped", ""});
  (help ? family->help : family->type) = std::string(rest);
}

// Waits until fd is ready for events or the deadline passes.
bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd polled{fd, events, 0};
    const int ready = ::poll(&polled, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

std::optional<double> MetricsReading::value(std::string_view name, LabelMatch match) const {
  for (const MetricSample& sample : samples) {
    if (sample.name == name && Carries(sample, match)) return sample.value;
  }
  return std::nullopt;
}

double MetricsReading::sum(std::string_view name, LabelMatch match) const {
  double total = 0;
  for (const MetricSample& sample : samples) {
    if (sample.name == name && Carries(sample, match)) total += sample.value;
  }
  return total;
}

bool ParseMetricsText(std::string_view text, MetricsReading& reading, std::string* error) {
  reading = MetricsReading{};
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (line.front() == '#') {
      ReadComment(line, reading);
      continue;
    }
    MetricSample sample;
    const char* why = "";
    if (!ParseSample(line, sample, &why)) {
      return Fail(error, "line " + std::to_string(lineNumber) + ": " + why);
    }
    reading.samples.push_back(std::move(sample));
  }
  return true;
}

bool FetchServiceMetricsText(std::string& text, std::string* error, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string path, pathError;
  sockaddr_un address{};
  if (!RuntimeFilePath(kMetricsPortName, path, &pathError)) return Fail(error, pathError);
  if (path.size() >= sizeof address.sun_path) return Fail(error, path + ": the path is too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket) return Fail(error, std::string("socket: ") + std::strerror(errno));
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int failed = errno;
    if (failed == ENOENT || failed == ECONNREFUSED) {
      return Fail(error, "no daemon serves its figures here (" + path + ")");
    }
    if (failed == EACCES || failed == EPERM) {
      return Fail(error, "access denied to " + path +
                             ": only root, the daemon's user and the admin group may read it");
    }
    if (failed != EAGAIN && failed != EINPROGRESS) {
      return Fail(error, "connect " + path + ": " + std::strerror(failed));
    }
  }
  static constexpr char kRequest[] = "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n";
  std::size_t sent = 0;
  while (sent < sizeof kRequest - 1) {
    if (!WaitReady(socket.get(), POLLOUT, deadline)) return Fail(error, "the daemon did not answer");
    const ssize_t n = ::send(socket.get(), kRequest + sent, sizeof kRequest - 1 - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return Fail(error, std::string("send: ") + std::strerror(errno));
    }
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  // HTTP/1.0: the answer ends where the daemon closes the connection.
  std::string answer;
  char buffer[16384];
  for (;;) {
    if (!WaitReady(socket.get(), POLLIN, deadline)) return Fail(error, "the daemon did not answer in time");
    const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Fail(error, std::string("recv: ") + std::strerror(errno));
    }
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t headerEnd = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12 || headerEnd == std::string::npos) {
    return Fail(error, "the daemon's answer is not HTTP");
  }
  std::string body = answer.substr(headerEnd + 4);
  if (answer.compare(9, 3, "200") != 0) {
    while (!body.empty() && body.back() == '\n') body.pop_back();
    return Fail(error, "the daemon refused: " + answer.substr(9, 3) + " " + body);
  }
  text = std::move(body);
  return true;
}

bool ReadServiceMetrics(MetricsReading& reading, std::string* error, int timeoutMs) {
  std::string text;
  if (!FetchServiceMetricsText(text, error, timeoutMs)) return false;
  std::string why;
  if (!ParseMetricsText(text, reading, &why)) return Fail(error, "the daemon's figures do not parse: " + why);
  return true;
}

}  // namespace tarvo
