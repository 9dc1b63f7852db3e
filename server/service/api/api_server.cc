#include "server/service/api/api_server.h"

#include <arpa/inet.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "platform/home.h"
#include "server/common/api_port.h"
#include "server/common/tls_identity.h"
#include "server/service/api/api_console.h"
#include "server/service/api/api_events.h"
#include "server/service/api/api_routes.h"
#include "server/service/api/api_tokens.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/settings.h"
#include "server/service/metrics/local_http_endpoint.h"
#include "server/service/metrics/metrics_server.h"
#include "server/service/v2/v2_front.h"

namespace tarvo {

namespace {

using Clock = std::chrono::steady_clock;

// Local administrators are few and trusted; the TCP listener is where strangers are.
constexpr HttpLimits kLocalLimits{.connections = 32, .perAddress = 32, .streams = 8};
constexpr HttpLimits kTcpLimits{.connections = 128, .perAddress = 16, .streams = 16};

// Failed token checks: this many from one address within the window refuse its requests
// until the window ends.
constexpr int kFailuresAllowed = 5;
constexpr auto kFailureWindow = std::chrono::seconds(60);

std::unique_ptr<ApiTokens> Tokens;
LocalHttpEndpoint LocalEndpoint;
std::unique_ptr<HttpServer> TcpServer;

class FailedChecks {
 public:
  bool held(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(address);
    if (found == entries_.end()) return false;
    if (Clock::now() >= found->second.until) {
      entries_.erase(found);
      return false;
    }
    return found->second.count >= kFailuresAllowed;
  }
  void failed(const std::string& address) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[address];
    if (entry.count == 0) entry.until = Clock::now() + kFailureWindow;
    ++entry.count;
  }

 private:
  struct Entry {
    int count = 0;
    Clock::time_point until;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

FailedChecks Failures;

// A change sent by a page of another site: the browser says where the page came from.
bool CrossSite(const HttpRequest& request) {
  if (request.method == "GET" || request.method == "HEAD") return false;
  const std::string origin = request.header("origin");
  return !origin.empty() && origin != "https://" + request.header("host");
}

HttpResponse Handle(const HttpRequest& request) {
  if (auto file = ServeConsoleFile(request)) return std::move(*file);
  if (CrossSite(request)) return ApiError(403, "a change from another site's page is refused");
  ApiRole role = ApiRole::Admin;
  if (!request.local) {
    if (Failures.held(request.clientAddress)) {
      return ApiError(429, "too many failed token checks from this address; try later");
    }
    const std::string authorization = request.header("authorization");
    std::optional<ApiTokenEntry> entry;
    if (authorization.starts_with("Bearer ")) entry = Tokens->check(authorization.substr(7));
    if (!entry) {
      Failures.failed(request.clientAddress);
      Diagnose("API: %s from %s refused: %s", request.method.c_str(),
               request.clientAddress.c_str(),
               authorization.empty() ? "no token" : "the token is unknown or revoked");
      HttpResponse refused = ApiError(401, "a valid bearer token is needed");
      refused.headers["WWW-Authenticate"] = "Bearer";
      return refused;
    }
    role = entry->role;
  }
  if (request.path == std::string(kApiPrefix) + "events") {
    if (request.method != "GET") return ApiError(405, "the events are read with GET");
    return EventStreamResponse(request);
  }
  return RouteApiRequest(request, role, *Tokens);
}


void StartTcp(const std::string& text, const std::string& certificate, const std::string& key) {
  sockaddr_in address{};
  std::string error;
  if (!ParseHostPort(text, address, &error)) {
    Diagnose("[ApiAddress]:%s is not used: %s", text.c_str(), error.c_str());
    return;
  }
  // The administrator's certificate and key, or the context the v2 listener serves.
  UniqueSslCtx own;
  SSL_CTX* tls = V2Context();
  if (!certificate.empty() || !key.empty()) {
    UniquePkey pkey = ReadPrivateKey(key, error);
    if (pkey) own = MakeServerContext(pkey.get(), certificate, error);
    if (!own) {
      Diagnose("the API is not served on %s: its certificate: %s", text.c_str(), error.c_str());
      return;
    }
    tls = own.get();
  }
  if (tls == nullptr) {
    Diagnose("the API is not served on %s: the daemon has no TLS key", text.c_str());
    return;
  }
  UniqueFd listener = ListenTcp(address, &error);
  if (!listener) {
    Diagnose("the API is not served on %s: %s", text.c_str(), error.c_str());
    return;
  }
  auto server = std::make_unique<HttpServer>("api", Handle, kTcpLimits, tls, std::nullopt);
  if (!server->start(std::move(listener), &error)) {
    Diagnose("the API is not served on %s: %s", text.c_str(), error.c_str());
    return;
  }
  TcpServer = std::move(server);
  Diagnose("API served on https://%s%s", text.c_str(), kApiPrefix);
}

}  // namespace

void StartApiServer() {
  std::string path, error;
  if (!HomeFilePath(kApiTokensFileName, path, &error)) {
    Diagnose("the API is not served: %s", error.c_str());
    return;
  }
  Tokens = std::make_unique<ApiTokens>(path);
  Tokens->importLegacy();
  StartApiEvents();
  LocalEndpoint.start("API", kApiPortName, Handle, kLocalLimits);
  std::string address, certificate, key;
  {
    MutexLock lock(NetworkLock);
    address = ServerSettings.ApiAddress;
    certificate = ServerSettings.ApiCertificate;
    key = ServerSettings.ApiKey;
  }
  if (!address.empty()) StartTcp(address, certificate, key);
}

void StopApiServer() {
  TcpServer.reset();
  LocalEndpoint.stop();
  StopApiEvents();
}

}  // namespace tarvo
