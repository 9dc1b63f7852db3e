#include "server/service/metrics/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>
#include <vector>

#include "server/service/base/diagnostics.h"

namespace tarvo {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxHead = 16 * 1024;
constexpr std::uint8_t kTlsHandshakeRecord = 0x16;

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string Head(int status, const std::string& contentType,
                 const std::map<std::string, std::string>& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  if (!contentType.empty()) head += "Content-Type: " + contentType + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  head += "Connection: close\r\n";
  return head;
}

std::string Plain(int status, const std::string& text) {
  return Head(status, "text/plain; charset=utf-8", {}) +
         "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string HttpRequest::header(const std::string& lowerName) const {
  const auto found = headers.find(lowerName);
  return found == headers.end() ? std::string() : found->second;
}

bool PercentDecode(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%') {
      unsigned value = 0;
      if (i + 2 >= text.size()) return false;
      const auto [end, problem] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      if (problem != std::errc() || end != text.data() + i + 3) return false;
      out += static_cast<char>(value);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return true;
}

std::optional<std::string> HttpRequest::parameter(const std::string& name) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    std::string key, value;
    if (!PercentDecode(pair.substr(0, eq), key) || key != name) continue;
    if (eq != std::string_view::npos && !PercentDecode(pair.substr(eq + 1), value)) continue;
    return value;
  }
  return std::nullopt;
}

struct HttpServer::Connection {
  enum State { Handshake, Reading, Writing, Streaming };
  UniqueFd fd;
  SSL* ssl = nullptr;
  State state = Reading;
  bool sslWantsWrite = false;
  std::string address;  // the per-address key; empty on a local socket
  Clock::time_point deadline;
  std::string in;
  std::size_t headEnd = 0;  // after the blank line, once found
  std::size_t bodySize = 0;
  std::string out;
  std::size_t outAt = 0;
  bool closeAfterWrite = true;
  HttpStreamSource* stream = nullptr;
  std::uint64_t cursor = 0;
  Clock::time_point lastSent;  // an event stream's last bytes out
  PeerCredentials peer;

  ~Connection() {
    if (ssl != nullptr) SSL_free(ssl);
  }

  // Bytes read into buffer: > 0 read, 0 nothing yet, -1 closed or failed.
  long receive(char* buffer, std::size_t size) {
    if (ssl == nullptr) {
      const ssize_t got = ::recv(fd.get(), buffer, size, 0);
      if (got > 0) return got;
      return got < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }
    sslWantsWrite = false;
    const int got = SSL_read(ssl, buffer, static_cast<int>(size));
    if (got > 0) return got;
    const int why = SSL_get_error(ssl, got);
    if (why == SSL_ERROR_WANT_READ) return 0;
    if (why == SSL_ERROR_WANT_WRITE) return sslWantsWrite = true, 0;
    return -1;
  }
  long send(const char* data, std::size_t size) {
    if (ssl == nullptr) {
      const ssize_t sent = ::send(fd.get(), data, size, MSG_NOSIGNAL);
      if (sent >= 0) return sent;
      return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    const int sent = SSL_write(ssl, data, static_cast<int>(size));
    if (sent > 0) return sent;
    const int why = SSL_get_error(ssl, sent);
    return why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE ? 0 : -1;
  }
};

HttpServer::HttpServer(std::string name, HttpHandler handler, HttpLimits limits, SSL_CTX* tls,
                       std::optional<PortAccessRule> rule)
    : name_(std::move(name)), handler_(std::move(handler)), limits_(limits), tls_(tls),
      rule_(std::move(rule)) {
  if (tls_ != nullptr) SSL_CTX_up_ref(tls_);
}

HttpServer::~HttpServer() {
  stop();
  if (tls_ != nullptr) SSL_CTX_free(tls_);
}

bool HttpServer::start(UniqueFd listener, std::string* error) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error != nullptr) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  wake_[0].reset(pipeFds[0]);
  wake_[1].reset(pipeFds[1]);
  listener_ = std::move(listener);
  thread_ = std::thread([this] { run(); });
  return true;
}

void HttpServer::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const char byte = 's';
  (void)!::write(wake_[1].get(), &byte, 1);  // a full pipe wakes the thread as well
  thread_.join();
  connections_.clear();
  listener_.reset();
}

void HttpServer::accept() {
  for (;;) {
    sockaddr_storage peerAddress{};
    socklen_t length = sizeof peerAddress;
    UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peerAddress), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;
    std::string address;
    if (peerAddress.ss_family == AF_INET) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peerAddress)->sin_addr, text,
                  sizeof text);
      address = text;
    }
    // Over the bounds: closed at once, so a flood costs one accept each and holds no slot.
    if (connections_.size() >= limits_.connections ||
        (!address.empty() && perAddress_[address] >= limits_.perAddress)) {
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->deadline = Clock::now() + limits_.deadline;
    connection->address = address;
    if (rule_) {
      if (!ReadPeerCredentials(fd.get(), connection->peer) || !rule_->admits(connection->peer)) {
        connection->out = Plain(403, "only root, the daemon's user and the admin group may use "
                                     "this socket\n");
        connection->state = Connection::Writing;
      }
    } else if (tls_ != nullptr) {
      connection->state = Connection::Handshake;
    }
    if (!address.empty()) ++perAddress_[address];
    const int key = fd.get();
    connection->fd = std::move(fd);
    connections_[key] = std::move(connection);
  }
}

bool HttpServer::readRequest(Connection& c) {
  char buffer[16384];
  for (;;) {
    const long got = c.receive(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    c.in.append(buffer, static_cast<std::size_t>(got));
    if (c.headEnd == 0) {
      const std::size_t blank = c.in.find("\r\n\r\n");
      if (blank == std::string::npos) {
        if (c.in.size() > kMaxHead) {
          c.out = Plain(431, "the request's head is too long\n");
          c.state = Connection::Writing;
          return true;
        }
        continue;
      }
      c.headEnd = blank + 4;
      std::string_view head(c.in.data(), blank);
      std::size_t bodySize = 0;
      bool chunked = false;
      std::size_t at = head.find("\r\n");
      while (at != std::string_view::npos) {
        const std::size_t next = head.find("\r\n", at + 2);
        const std::string_view line = head.substr(at + 2, next == std::string_view::npos
                                                              ? std::string_view::npos
                                                              : next - at - 2);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
          const std::string name = Lower(Trim(line.substr(0, colon)));
          const std::string_view value = Trim(line.substr(colon + 1));
          if (name == "content-length") {
            const auto [end, problem] =
                std::from_chars(value.data(), value.data() + value.size(), bodySize);
            if (problem != std::errc() || end != value.data() + value.size()) bodySize = SIZE_MAX;
          } else if (name == "transfer-encoding") {
            chunked = true;
          }
        }
        at = next;
      }
      if (chunked) {
        c.out = Plain(411, "send the body with a Content-Length\n");
        c.state = Connection::Writing;
        return true;
      }
      if (bodySize > limits_.maxBody) {
        c.out = Plain(413, "the body is too large\n");
        c.state = Connection::Writing;
        return true;
      }
      c.bodySize = bodySize;
    }
    if (c.in.size() >= c.headEnd + c.bodySize) {
      answer(c);
      return true;
    }
  }
}

void HttpServer::answer(Connection& c) {
  HttpRequest request;
  const std::string_view head(c.in.data(), c.headEnd - 4);
  const std::size_t lineEnd = head.find("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const std::size_t space1 = line.find(' ');
  const std::size_t space2 = line.rfind(' ');
  if (space1 == std::string_view::npos || space2 == space1 ||
      !line.substr(space2 + 1).starts_with("HTTP/1.")) {
    c.out = Plain(400, "not an HTTP request\n");
    c.state = Connection::Writing;
    return;
  }
  request.method = std::string(line.substr(0, space1));
  const std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::size_t question = target.find('?');
  request.path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) request.query = std::string(target.substr(question + 1));
  std::size_t at = lineEnd;
  while (at != std::string_view::npos) {
    const std::size_t next = head.find("\r\n", at + 2);
    const std::string_view headerLine =
        head.substr(at + 2, next == std::string_view::npos ? std::string_view::npos : next - at - 2);
    const std::size_t colon = headerLine.find(':');
    if (colon != std::string_view::npos) {
      request.headers[Lower(Trim(headerLine.substr(0, colon)))] =
          std::string(Trim(headerLine.substr(colon + 1)));
    }
    at = next;
  }
  request.body = c.in.substr(c.headEnd, c.bodySize);
  request.local = rule_.has_value();
  request.clientAddress = request.local ? "local" : c.address;
  request.peer = c.peer;

  HttpResponse response;
  try {
    response = handler_(request);
  } catch (const std::exception& problem) {
    Diagnose("%s: a request failed: %s", name_.c_str(), problem.what());
    response = MakeResponse(500, "application/json", "{\"error\":\"internal error\"}\n");
  }
  if (response.stream != nullptr) {
    const auto streams = std::count_if(connections_.begin(), connections_.end(), [](auto& entry) {
      return entry.second->state == Connection::Streaming;
    });
    if (static_cast<unsigned>(streams) >= limits_.streams) {
      c.out = Plain(503, "too many event streams\n");
      c.state = Connection::Writing;
      return;
    }
    response.stream->addWaker(wake_[1].get());
    c.out = Head(response.status, "text/event-stream", response.headers) +
            "Cache-Control: no-store\r\n\r\n";
    c.stream = response.stream;
    c.cursor = response.cursor;
    c.out += c.stream->next(c.cursor);
    c.state = Connection::Streaming;
    c.lastSent = Clock::now();
    return;
  }
  c.out = Head(response.status, response.contentType, response.headers) +
          "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
  if (request.method != "HEAD") c.out += response.body;
  c.state = Connection::Writing;
}

bool HttpServer::writeOut(Connection& c) {
  while (c.outAt < c.out.size()) {
    const long sent = c.send(c.out.data() + c.outAt, c.out.size() - c.outAt);
    if (sent < 0) return false;
    if (sent == 0) return true;
    c.outAt += static_cast<std::size_t>(sent);
  }
  c.out.clear();
  c.outAt = 0;
  return true;
}

bool HttpServer::step(Connection& c) {
  switch (c.state) {
    case Connection::Handshake: {
      if (c.ssl == nullptr) {
        // A TLS client opens with a handshake record; anything else is told, in plain text,
        // that this listener speaks TLS only.
        std::uint8_t first = 0;
        const ssize_t peeked = ::recv(c.fd.get(), &first, 1, MSG_PEEK);
        if (peeked == 0 || (peeked < 0 && errno != EAGAIN)) return false;
        if (peeked < 0) return true;
        if (first != kTlsHandshakeRecord) {
          c.out = Plain(400, "this listener speaks HTTPS only\n");
          c.state = Connection::Writing;
          return writeOut(c) && !c.out.empty();
        }
        c.ssl = SSL_new(tls_);
        if (c.ssl == nullptr || SSL_set_fd(c.ssl, c.fd.get()) != 1) return false;
      }
      const int done = SSL_accept(c.ssl);
      if (done == 1) {
        c.state = Connection::Reading;
        return readRequest(c) && (c.state != Connection::Writing || writeOut(c));
      }
      const int why = SSL_get_error(c.ssl, done);
      c.sslWantsWrite = why == SSL_ERROR_WANT_WRITE;
      return why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE;
    }
    case Connection::Reading:
      if (!readRequest(c)) return false;
      if (c.state == Connection::Reading) return true;
      [[fallthrough]];
    case Connection::Writing:
      if (!writeOut(c)) return false;
      if (c.out.empty() && c.state == Connection::Writing) {
        if (c.ssl != nullptr) SSL_shutdown(c.ssl);
        return false;  // answered
      }
      return true;
    case Connection::Streaming: {
      char discard[512];
      if (c.receive(discard, sizeof discard) < 0) return false;
      if (c.out.empty()) c.out = c.stream->next(c.cursor);
      const auto now = Clock::now();
      if (c.out.empty() && now - c.lastSent >= limits_.streamKeepAlive) c.out = ": keep-alive\n\n";
      if (!c.out.empty()) c.lastSent = now;
      return writeOut(c);
    }
  }
  return false;
}

void HttpServer::run() {
  std::set<HttpStreamSource*> sources;
  std::vector<pollfd> polled;
  for (;;) {
    polled.clear();
    polled.push_back({wake_[0].get(), POLLIN, 0});
    polled.push_back({listener_.get(), POLLIN, 0});
    auto wait = std::chrono::milliseconds(60'000);
    const auto now = Clock::now();
    for (const auto& [fd, c] : connections_) {
      short events = POLLIN;
      if (c->state == Connection::Writing || !c->out.empty() || c->sslWantsWrite) {
        events |= POLLOUT;
      }
      polled.push_back({fd, events, 0});
      const auto until = c->state == Connection::Streaming
                             ? c->lastSent + limits_.streamKeepAlive
                             : c->deadline;
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::max(until - now, Clock::duration::zero())) +
                                std::chrono::milliseconds(1));
    }
    if (::poll(polled.data(), polled.size(), static_cast<int>(wait.count())) < 0 &&
        errno != EINTR) {
      Diagnose("%s: poll: %s", name_.c_str(), std::strerror(errno));
      break;
    }
    if (stopping_) break;
    bool streamsWoken = false;
    if (polled[0].revents != 0) {
      char bytes[256];
      while (::read(wake_[0].get(), bytes, sizeof bytes) > 0) {
      }
      streamsWoken = true;
    }
    const auto after = Clock::now();
    for (std::size_t i = 2; i < polled.size(); ++i) {
      auto found = connections_.find(polled[i].fd);
      Connection& c = *found->second;
      bool keep = true;
      const bool streaming = c.state == Connection::Streaming;
      const bool woken = streaming && (streamsWoken || after - c.lastSent >= limits_.streamKeepAlive);
      if (polled[i].revents != 0 || woken) keep = step(c);
      // The whole request's deadline: slow bytes do not renew it.
      if (keep && c.state != Connection::Streaming && after >= c.deadline) keep = false;
      if (c.stream != nullptr) sources.insert(c.stream);
      if (!keep) {
        if (!c.address.empty() && --perAddress_[c.address] == 0) perAddress_.erase(c.address);
        connections_.erase(found);
      }
    }
    if (polled[1].revents != 0) accept();
  }
  for (HttpStreamSource* source : sources) source->removeWaker(wake_[1].get());
}

UniqueFd ListenLocal(const std::string& path, const PortAccessRule& rule, std::string* error) {
  sockaddr_un address{};
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return UniqueFd();
  };
  if (path.size() >= sizeof address.sun_path) return fail("its path is too long");
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) return fail(std::string("socket: ") + std::strerror(errno));
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
      ::chmod(path.c_str(), mode) != 0 || ::listen(listener.get(), 64) != 0) {
    const std::string why = std::strerror(errno);
    ::unlink(path.c_str());
    return fail(why);
  }
  return listener;
}

UniqueFd ListenTcp(const sockaddr_in& address, std::string* error) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int on = 1;
  if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 128) != 0) {
    if (error != nullptr) *error = std::strerror(errno);
    return UniqueFd();
  }
  return listener;
}

}  // namespace tarvo
