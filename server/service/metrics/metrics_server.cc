#include "server/service/metrics/metrics_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/fd.h"
#include "server/common/metrics_port.h"
#include "server/service/base/diagnostics.h"
#include "server/service/metrics/http_server.h"
#include "server/service/metrics/local_http_endpoint.h"
#include "server/service/metrics/metrics_text.h"
#include "server/service/base/settings.h"

namespace tarvo {

namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// Scrapers are few; one address may hold a quarter of the slots, and a request has 5 s in all.
constexpr HttpLimits kMetricsLimits{.connections = 32, .perAddress = 8, .streams = 0};

LocalHttpEndpoint LocalEndpoint;
std::unique_ptr<HttpServer> TcpServer;

HttpResponse Text(int status, std::string body) {
  return MakeResponse(status, status == 200 ? kContentType : "text/plain; charset=utf-8",
                      std::move(body));
}

HttpResponse HandleRequest(const HttpRequest& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    return Text(405, "only GET is served\n");
  }
  if (request.path != kMetricsPath) return Text(404, "the metrics are at /metrics\n");
  return Text(200, CurrentMetricsText());
}

void StartTcpEndpoint(const std::string& text) {
  sockaddr_in address{};
  std::string error;
  if (!ParseMetricsAddress(text, address, &error)) {
    Diagnose("[MetricsAddress]:%s is not used: %s", text.c_str(), error.c_str());
    return;
  }
  UniqueFd listener = ListenTcp(address, &error);
  if (!listener) {
    Diagnose("the metrics cannot be served on %s: %s", text.c_str(), error.c_str());
    return;
  }
  auto server = std::make_unique<HttpServer>("metrics", HandleRequest, kMetricsLimits, nullptr,
                                             std::nullopt);
  if (!server->start(std::move(listener), &error)) {
    Diagnose("the metrics cannot be served on %s: %s", text.c_str(), error.c_str());
    return;
  }
  TcpServer = std::move(server);
  Diagnose("metrics served on http://%s%s", text.c_str(), kMetricsPath);
}

}  // namespace

bool ParseHostPort(std::string_view text, sockaddr_in& address, std::string* error) {
  const auto fail = [error](const char* why) {
    if (error != nullptr) *error = why;
    return false;
  };
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return fail("it is not ADDRESS:PORT");
  std::string host(text.substr(0, colon));
  const std::string_view portText = text.substr(colon + 1);
  unsigned port = 0;
  const auto [end, problem] =
      std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (problem != std::errc() || end != portText.data() + portText.size() || port == 0 ||
      port > 65535) {
    return fail("the port is not a number from 1 to 65535");
  }
  if (host == "localhost") host = "127.0.0.1";
  in_addr parsed{};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) return fail("the address is not IPv4");
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr = parsed;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return true;
}

bool ParseMetricsAddress(std::string_view text, sockaddr_in& address, std::string* error) {
  sockaddr_in parsed{};
  if (!ParseHostPort(text, parsed, error)) return false;
  if ((ntohl(parsed.sin_addr.s_addr) >> 24) != 127) {
    if (error != nullptr) {
      *error = "only a loopback address (127.0.0.0/8) is served; expose it through a proxy";
    }
    return false;
  }
  address = parsed;
  return true;
}

void StartMetricsServer() {
  LocalEndpoint.start("metrics", kMetricsPortName, HandleRequest, kMetricsLimits);
  std::string address;
  {
    MutexLock lock(NetworkLock);
    address = ServerSettings.MetricsAddress;
  }
  if (!address.empty()) StartTcpEndpoint(address);
}

void StopMetricsServer() {
  TcpServer.reset();
  LocalEndpoint.stop();
}

}  // namespace tarvo
