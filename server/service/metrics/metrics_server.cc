#include "server/service/metrics/metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#include "platform/fd.h"
#include "platform/home.h"
#include "platform/peer_credentials.h"
#include "server/common/metrics_port.h"
#include "server/service/control/control_listener.h"
#include "server/service/base/diagnostics.h"
#include "server/service/metrics/metrics_text.h"
#include "server/service/base/settings.h"

namespace tarvo {

namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// Scrapers are few; a client that opens more, or sits on a connection, is not waited for.
constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kConnectionTimeoutSeconds = 10;

struct Endpoint {
  MHD_Daemon* daemon = nullptr;
  // Who may read the local socket; unset for the loopback TCP endpoint.
  std::optional<PortAccessRule> rule;
  std::string socketPath;  // the local socket's file, removed at the end
};

Endpoint LocalEndpoint;
Endpoint TcpEndpoint;

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          status == MHD_HTTP_OK ? kContentType : "text/plain; charset=utf-8");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

bool Admitted(const Endpoint& endpoint, MHD_Connection* connection) {
  if (!endpoint.rule) return true;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  PeerCredentials peer;
  return info != nullptr && ReadPeerCredentials(info->connect_fd, peer) &&
         endpoint.rule->admits(peer);
}

MHD_Result HandleRequest(void* context, MHD_Connection* connection, const char* url,
                         const char* method, const char* /*version*/, const char* /*upload*/,
                         size_t* uploadSize, void** requestState) {
  // The first call only announces the request; a body, if any, is not wanted.
  static int announced;
  if (*requestState == nullptr) {
    *requestState = &announced;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  const auto& endpoint = *static_cast<const Endpoint*>(context);
  if (!Admitted(endpoint, connection)) {
    return Answer(connection, MHD_HTTP_FORBIDDEN,
                  "only root, the daemon's user and the admin group may read the metrics\n");
  }
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET is served\n");
  }
  if (std::strcmp(url, kMetricsPath) != 0) {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "the metrics are at /metrics\n");
  }
  return Answer(connection, MHD_HTTP_OK, CurrentMetricsText());
}

bool Serve(Endpoint& endpoint, UniqueFd listener, const char* what) {
  const int fd = listener.release();
  endpoint.daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr, HandleRequest, &endpoint,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END);
  if (endpoint.daemon != nullptr) return true;
  ::close(fd);
  Diagnose("the metrics cannot be served on %s (the HTTP server did not start)", what);
  return false;
}

// The local socket, open to whoever may use the control port.
void StartLocalEndpoint() {
  std::string path, error;
  sockaddr_un address{};
  if (!RuntimeFilePath(kMetricsPortName, path, &error) || path.size() >= sizeof address.sun_path) {
    Diagnose("no metrics socket: %s", error.empty() ? "its path is too long" : error.c_str());
    return;
  }
  const PortAccessRule rule = ControlPortRule();
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) {
    Diagnose("no metrics socket: socket: %s", std::strerror(errno));
    return;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // The daemon holds the presence lock: a file left under this name is a dead daemon's.
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) ::unlink(path.c_str());
  // Never more open than the rule's mode, whatever the umask, from the moment it exists.
  const mode_t mode = rule.socketFileMode(::geteuid());
  ::fchmod(listener.get(), mode);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      (rule.group() && ::chown(path.c_str(), static_cast<uid_t>(-1), *rule.group()) != 0) ||
      ::chmod(path.c_str(), mode) != 0 || ::listen(listener.get(), 16) != 0) {
    Diagnose("no metrics socket %s: %s", path.c_str(), std::strerror(errno));
    ::unlink(path.c_str());
    return;
  }
  LocalEndpoint.rule = rule;
  LocalEndpoint.socketPath = path;
  if (!Serve(LocalEndpoint, std::move(listener), path.c_str())) {
    ::unlink(path.c_str());
    LocalEndpoint.socketPath.clear();
  }
}

void StartTcpEndpoint(const std::string& text) {
  sockaddr_in address{};
  std::string error;
  if (!ParseMetricsAddress(text, address, &error)) {
    Diagnose("[MetricsAddress]:%s is not used: %s", text.c_str(), error.c_str());
    return;
  }
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int on = 1;
  if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 16) != 0) {
    Diagnose("the metrics cannot be served on %s: %s", text.c_str(), std::strerror(errno));
    return;
  }
  if (Serve(TcpEndpoint, std::move(listener), text.c_str())) {
    Diagnose("metrics served on http://%s%s", text.c_str(), kMetricsPath);
  }
}

void Stop(Endpoint& endpoint) {
  if (endpoint.daemon == nullptr) return;
  // MHD gives the listening socket back rather than closing it.
  const MHD_socket listener = MHD_quiesce_daemon(endpoint.daemon);
  MHD_stop_daemon(endpoint.daemon);
  if (listener != MHD_INVALID_SOCKET) ::close(listener);
  endpoint.daemon = nullptr;
  if (!endpoint.socketPath.empty()) ::unlink(endpoint.socketPath.c_str());
  endpoint.socketPath.clear();
}

}  // namespace

bool ParseMetricsAddress(std::string_view text, sockaddr_in& address, std::string* error) {
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
  if ((ntohl(parsed.s_addr) >> 24) != 127) {
    return fail("only a loopback address (127.0.0.0/8) is served; expose it through a proxy");
  }
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr = parsed;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return true;
}

void StartMetricsServer() {
  StartLocalEndpoint();
  std::string address;
  {
    MutexLock lock(NetworkLock);
    address = ServerSettings.MetricsAddress;
  }
  if (!address.empty()) StartTcpEndpoint(address);
}

void StopMetricsServer() {
  Stop(TcpEndpoint);
  Stop(LocalEndpoint);
}

}  // namespace tarvo
