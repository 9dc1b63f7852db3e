// A small HTTP/1.1 server on a thread of its own, shared by the metrics and the management API.
// One request per connection (answered with "Connection: close"). What keeps slow clients from
// blinding it: a deadline for the whole request (from accept to the last byte of the answer,
// not renewed by each byte), a bound per client address below the total, and a separate
// server, with its own thread and slots, for each listener. A local socket admits only the
// peers its rule admits; a TLS listener refuses plain HTTP.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/fd.h"
#include "platform/peer_credentials.h"

namespace tarvo {

struct HttpRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // after '?', undecoded
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  bool local = false;          // came on the local socket
  std::string clientAddress;   // dotted IPv4 on TCP; "local" on the local socket
  PeerCredentials peer;        // local socket only

  std::string header(const std::string& lowerName) const;
  // The query parameter's decoded value; nullopt when absent.
  std::optional<std::string> parameter(const std::string& name) const;
};

// An event stream's source: next() gives the text to send after cursor (advancing it), or empty
// when there is nothing new. A server registers the write end of its wake pipe, where the
// source writes a byte when there is more.
class HttpStreamSource {
 public:
  virtual ~HttpStreamSource() = default;
  virtual std::string next(std::uint64_t& cursor) = 0;
  virtual void addWaker(int fd) = 0;
  virtual void removeWaker(int fd) = 0;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::map<std::string, std::string> headers;
  // Set for an event stream: after the headers the connection stays open, past the deadline,
  // sending what the source gives from cursor on.
  HttpStreamSource* stream = nullptr;
  std::uint64_t cursor = 0;
};

inline HttpResponse MakeResponse(int status, std::string contentType, std::string body) {
  HttpResponse response;
  response.status = status;
  response.contentType = std::move(contentType);
  response.body = std::move(body);
  return response;
}

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpLimits {
  unsigned connections = 64;  // at once, streams included
  unsigned perAddress = 8;    // from one client address (TCP)
  unsigned streams = 16;      // open event streams
  std::chrono::milliseconds deadline{5000};
  std::size_t maxBody = 8 << 20;
  // A quiet event stream gets a comment line this often: proxies keep it open, and a client
  // that has gone is found by the failing write, which frees its stream slot.
  std::chrono::milliseconds streamKeepAlive{30000};
};

// Percent-decoding of a query value ('+' is a space); false on a bad escape.
bool PercentDecode(std::string_view text, std::string& out);

class HttpServer {
 public:
  // tls: when set, every connection is TLS (the server keeps a reference). rule: for a local
  // socket, who may connect.
  HttpServer(std::string name, HttpHandler handler, HttpLimits limits, SSL_CTX* tls,
             std::optional<PortAccessRule> rule);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves the listening socket on a new thread.
  bool start(UniqueFd listener, std::string* error);
  // Ends the thread and closes every connection. Safe when not started.
  void stop();

 private:
  struct Connection;
  void run();
  void accept();
  bool step(Connection& connection);  // false: close it
  bool readRequest(Connection& connection);
  bool writeOut(Connection& connection);
  void answer(Connection& connection);

  std::string name_;
  HttpHandler handler_;
  HttpLimits limits_;
  SSL_CTX* tls_;
  std::optional<PortAccessRule> rule_;
  UniqueFd listener_;
  UniqueFd wake_[2];  // a byte: stopping_ changed, or an event stream has more
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::map<int, std::unique_ptr<Connection>> connections_;
  std::map<std::string, unsigned> perAddress_;
};

// A listening socket: a local socket file at path whose mode follows rule (a stale socket file
// is replaced), or TCP on address.
UniqueFd ListenLocal(const std::string& path, const PortAccessRule& rule, std::string* error);
UniqueFd ListenTcp(const sockaddr_in& address, std::string* error);

}  // namespace tarvo
