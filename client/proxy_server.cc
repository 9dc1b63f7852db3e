#include "client/proxy_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/socks_handshake.h"
#include "client/udp_associate.h"

namespace tarvo::client {
namespace {

constexpr auto kRememberReached = std::chrono::seconds(60);
constexpr std::size_t kMaxReached = 4096;
constexpr std::size_t kMaxChannels = 1024;

std::uint64_t DestinationKey(std::uint32_t address, std::uint16_t port) {
  return std::uint64_t{address} << 16 | port;
}

}  // namespace

ProxyServer::ProxyServer(EventLoop& loop, TunnelSession& tunnel, ProxyOptions options)
    : loop_(loop),
      tunnel_(tunnel),
      names_(loop, tunnel),
      options_(std::move(options)),
      scratch_(kScratchSize) {
  tunnel_.setListener(this);
}

ProxyServer::~ProxyServer() {
  tunnel_.setListener(nullptr);
  connections_.clear();
  retired_.clear();
  if (listenFd_ >= 0) {
    loop_.remove(listenFd_);
    ::close(listenFd_);
  }
}

bool ProxyServer::listen() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  if (listenFd_ >= 0) {
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Accepted connections inherit it: small writes (a keystroke, a one-byte ping) go out at
    // once rather than waiting for an ACK.
    ::setsockopt(listenFd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  sockaddr_in address = options_.listen;
  if (listenFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, SOMAXCONN) != 0) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    std::fprintf(stderr, "tarvoclient: cannot listen on %s:%u: %s\n", text, ntohs(address.sin_port),
                 std::strerror(errno));
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  listenPort_ = ntohs(address.sin_port);
  return loop_.add(listenFd_, EPOLLIN, this);
}

void ProxyServer::onIo(int, std::uint32_t) {
  // A bounded batch per wake-up; the rest wait in the backlog for the next pass.
  for (int i = 0; i < 64; ++i) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: stop accepting for a moment instead of waking at once again.
        loop_.setInterest(listenFd_, 0);
        loop_.addTimer(std::chrono::milliseconds(100),
                       [this] { loop_.setInterest(listenFd_, EPOLLIN); });
      }
      return;
    }
    if (connections_.size() >= options_.maxConnections) {
      ::close(fd);
      continue;
    }
    adopt(std::make_unique<SocksHandshake>(*this, fd));
  }
}

Connection* ProxyServer::adopt(std::unique_ptr<Connection> connection) {
  Connection* raw = connection.get();
  raw->id_ = nextId_++;
  connections_.emplace(raw->id_, std::move(connection));
  if (!raw->start()) {
    raw->end();
    return nullptr;
  }
  return raw->ended() ? nullptr : raw;
}

Connection* ProxyServer::find(std::uint64_t id) {
  auto found = connections_.find(id);
  return found == connections_.end() || found->second->ended() ? nullptr : found->second.get();
}

void ProxyServer::retire(Connection* connection) {
  auto found = connections_.find(connection->id_);
  if (found == connections_.end()) return;
  retired_.push_back(std::move(found->second));
  connections_.erase(found);
}

void ProxyServer::deleteRetired() { retired_.clear(); }

std::uint32_t ProxyServer::openChannel(UdpAssociation* association) {
  if (channels_.size() >= kMaxChannels) return 0;
  std::uint32_t channel = nextChannel_;
  while (channel == 0 || channels_.contains(channel)) ++channel;
  nextChannel_ = channel + 1;
  channels_.emplace(channel, association);
  return channel;
}

void ProxyServer::closeChannel(std::uint32_t channel) { channels_.erase(channel); }

bool ProxyServer::recentlyReached(std::uint32_t address, std::uint16_t port) const {
  auto found = reached_.find(DestinationKey(address, port));
  return found != reached_.end() && found->second > std::chrono::steady_clock::now();
}

void ProxyServer::markReached(std::uint32_t address, std::uint16_t port) {
  const auto now = std::chrono::steady_clock::now();
  if (reached_.size() >= kMaxReached) {
    std::erase_if(reached_, [now](const auto& item) { return item.second <= now; });
    if (reached_.size() >= kMaxReached) reached_.clear();
  }
  reached_[DestinationKey(address, port)] = now + kRememberReached;
}

void ProxyServer::onSessionLost() {
  names_.onSessionLost();
  std::vector<Connection*> live;
  for (auto& [id, connection] : connections_) live.push_back(connection.get());
  for (Connection* connection : live) connection->end();
}

void ProxyServer::onUdpData(std::uint32_t channel, std::uint32_t address, std::uint16_t port,
                            std::span<const std::uint8_t> datagram) {
  auto found = channels_.find(channel);
  if (found != channels_.end()) found->second->deliver(address, port, datagram);
}

void ProxyServer::onResolved(std::uint32_t address, const std::string& name) {
  names_.onAnswer(address, name);
}

}  // namespace tarvo::client
