// The local SOCKS5 proxy: accepts connections, owns every connection until it ends, and ties
// them to the tunnel session (relays of a lost session end, datagrams and name answers find
// their way back). Connections are deleted after the event batch in which they ended, so a
// handler never runs on a deleted object.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/event_loop.h"
#include "client/name_cache.h"
#include "client/socks5_protocol.h"
#include "client/tunnel_session.h"

namespace tarvo::client {

struct ProxyOptions {
  sockaddr_in listen{};
  // Set: clients must present these (RFC 1929); empty user: no authentication.
  std::string proxyUser;
  std::string proxyPassword;
  // How long a new relay waits to learn whether the daemon reached the destination (the daemon
  // closes the data connection at once when it did not) before the client is told it succeeded.
  std::chrono::milliseconds connectVerdictWait{150};
  std::size_t maxConnections = 4096;
};

class ProxyServer;

// Something the proxy owns: a handshake, a TCP relay or a UDP association.
class Connection : public IoHandler {
 public:
  explicit Connection(ProxyServer& server) : server_(server) {}
  // Registers with the loop and begins; false ends the connection.
  virtual bool start() = 0;
  // Closes everything at once; the server deletes the object after the batch.
  virtual void end() = 0;
  bool ended() const { return ended_; }
  std::uint64_t id() const { return id_; }

 protected:
  ProxyServer& server_;
  bool ended_ = false;

 private:
  friend class ProxyServer;
  std::uint64_t id_ = 0;
};

class UdpAssociation;

class ProxyServer : public IoHandler, public TunnelListener {
 public:
  ProxyServer(EventLoop& loop, TunnelSession& tunnel, ProxyOptions options);
  ~ProxyServer() override;

  // Binds and listens; false (with the reason on stderr) when it cannot.
  bool listen();
  std::uint16_t listenPort() const { return listenPort_; }

  EventLoop& loop() { return loop_; }
  TunnelSession& tunnel() { return tunnel_; }
  NameCache& names() { return names_; }
  const ProxyOptions& options() const { return options_; }
  // One scratch buffer for every read: the loop has one thread.
  std::uint8_t* scratch() { return scratch_.data(); }
  static constexpr std::size_t kScratchSize = 64 * 1024;

  // Takes the connection over and starts it; nullptr when it ended at once.
  Connection* adopt(std::unique_ptr<Connection> connection);
  Connection* find(std::uint64_t id);
  void retire(Connection* connection);
  void deleteRetired();

  std::uint32_t openChannel(UdpAssociation* association);
  void closeChannel(std::uint32_t channel);

  // Destinations reached lately: a relay to one of them is reported connected at once.
  bool recentlyReached(std::uint32_t address, std::uint16_t port) const;
  void markReached(std::uint32_t address, std::uint16_t port);

  void onIo(int fd, std::uint32_t events) override;
  void onSessionLost() override;
  void onUdpData(std::uint32_t channel, std::uint32_t address, std::uint16_t port,
                 std::span<const std::uint8_t> datagram) override;
  void onResolved(std::uint32_t address, const std::string& name) override;

 private:
  EventLoop& loop_;
  TunnelSession& tunnel_;
  NameCache names_;
  ProxyOptions options_;
  int listenFd_ = -1;
  std::uint16_t listenPort_ = 0;
  std::vector<std::uint8_t> scratch_;
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::vector<std::unique_ptr<Connection>> retired_;
  std::uint32_t nextChannel_ = 1;
  std::unordered_map<std::uint32_t, UdpAssociation*> channels_;
  std::unordered_map<std::uint64_t, std::chrono::steady_clock::time_point> reached_;
};

}  // namespace tarvo::client
