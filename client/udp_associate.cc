#include "client/udp_associate.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/socket_io.h"

namespace tarvo::client {

UdpAssociation::UdpAssociation(ProxyServer& server, int controlFd, ByteBuffer toClient,
                               socks::Address requested)
    : Connection(server),
      controlFd_(controlFd),
      requested_(std::move(requested)),
      toClient_(std::move(toClient)) {}

UdpAssociation::~UdpAssociation() {
  for (int fd : {controlFd_, udpFd_}) {
    if (fd < 0) continue;
    server_.loop().forget(fd);
    ::close(fd);
  }
}

void UdpAssociation::end() {
  if (ended_) return;
  ended_ = true;
  if (channel_ != 0) {
    if (generation_ == server_.tunnel().generation()) server_.tunnel().sendUdpClose(channel_);
    server_.closeChannel(channel_);
  }
  for (int* fd : {&controlFd_, &udpFd_}) {
    if (*fd < 0) continue;
    server_.loop().forget(*fd);
    ::close(*fd);
    *fd = -1;
  }
  server_.retire(this);
}

bool UdpAssociation::start() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ::getpeername(controlFd_, reinterpret_cast<sockaddr*>(&peer), &length);
  clientAddress_ = peer.sin_addr;
  // A client that names its own port up front gets datagrams there before it sends any.
  if (requested_.type == socks::AddressType::kIPv4 && requested_.ipv4 != 0 &&
      requested_.port != 0) {
    clientEndpoint_.sin_family = AF_INET;
    clientEndpoint_.sin_addr.s_addr = requested_.ipv4;
    clientEndpoint_.sin_port = htons(requested_.port);
    endpointKnown_ = true;
  }

  // The datagram socket sits on the address the client reached us on.
  sockaddr_in local{};
  length = sizeof local;
  ::getsockname(controlFd_, reinterpret_cast<sockaddr*>(&local), &length);
  local.sin_port = 0;
  udpFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  socks::Reply reply = socks::Reply::kSucceeded;
  if (udpFd_ < 0 || ::bind(udpFd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    reply = socks::Reply::kGeneralFailure;
  }
  length = sizeof local;
  if (reply == socks::Reply::kSucceeded) {
    ::getsockname(udpFd_, reinterpret_cast<sockaddr*>(&local), &length);
    generation_ = server_.tunnel().generation();
    channel_ = server_.openChannel(this);
    if (channel_ == 0) reply = socks::Reply::kGeneralFailure;
  }
  if (!server_.loop().add(controlFd_, EPOLLIN, this)) return false;
  if (reply != socks::Reply::kSucceeded) {
    socks::AppendReply(toClient_, reply);
    flushControl();
    end();
    return false;
  }
  if (!server_.loop().add(udpFd_, EPOLLIN, this)) return false;
  socks::AppendReply(toClient_, reply, local.sin_addr.s_addr, ntohs(local.sin_port));
  flushControl();
  return !ended_;
}

void UdpAssociation::flushControl() {
  if (SendQueued(controlFd_, toClient_) == SendResult::kFailed) return end();
  if (!ended_)
    server_.loop().setInterest(controlFd_, EPOLLIN | (toClient_.empty() ? 0u : EPOLLOUT));
}

void UdpAssociation::onIo(int fd, std::uint32_t events) {
  if (ended_) return;
  if (fd == udpFd_) return readDatagrams();
  if (events & EPOLLOUT) flushControl();
  if (ended_ || !(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
  // The control connection carries nothing more; its end ends the association.
  std::uint8_t bytes[256];
  for (;;) {
    ssize_t got = ::recv(controlFd_, bytes, sizeof bytes, 0);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    return end();
  }
}

void UdpAssociation::readDatagrams() {
  std::uint8_t* buffer = server_.scratch();
  // A bounded batch, so one busy client cannot hold the loop.
  for (int i = 0; i < 64 && !ended_; ++i) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t got = ::recvfrom(udpFd_, buffer, ProxyServer::kScratchSize, 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN, or an ICMP error reported on the socket: nothing to relay
    }
    // Only the client that asked for the association may use it.
    if (from.sin_addr.s_addr != clientAddress_.s_addr) continue;
    if (endpointKnown_ && from.sin_port != clientEndpoint_.sin_port) continue;
    clientEndpoint_ = from;
    endpointKnown_ = true;
    socks::UdpHeader header;
    std::span<const std::uint8_t> datagram(buffer, static_cast<std::size_t>(got));
    if (socks::ParseUdpHeader(datagram, header) != ParseResult::kDone) continue;
    // Fragments are not reassembled (RFC 1928 lets a client drop them too).
    if (header.fragment != 0 || header.destination.type == socks::AddressType::kIPv6) continue;
    forward(header.destination, datagram.subspan(header.headerSize));
  }
}

void UdpAssociation::forward(const socks::Address& destination,
                             std::span<const std::uint8_t> payload) {
  if (destination.type == socks::AddressType::kIPv4) {
    server_.tunnel().sendUdpData(channel_, destination.ipv4, destination.port, payload);
    return;
  }
  bool found = false;
  std::uint32_t address = 0;
  ProxyServer& server = server_;
  const std::uint64_t id = this->id();
  const std::string host = destination.host;
  if (server_.names().lookup(host, found, address,
                             [&server, id, host](bool ok, std::uint32_t resolvedAddress) {
                               if (auto* self = dynamic_cast<UdpAssociation*>(server.find(id))) {
                                 self->resolved(host, ok, resolvedAddress);
                               }
                             })) {
    if (found) server_.tunnel().sendUdpData(channel_, address, destination.port, payload);
    return;
  }
  if (waiting_.size() >= kMaxWaiting) return;  // datagrams may be lost; memory may not grow
  waiting_.push_back({host, destination.port, ByteBuffer(payload.data(), payload.size())});
}

void UdpAssociation::resolved(const std::string& host, bool found, std::uint32_t address) {
  std::deque<Waiting> keep;
  for (Waiting& item : waiting_) {
    if (item.host != host) {
      keep.push_back(std::move(item));
    } else if (found) {
      server_.tunnel().sendUdpData(channel_, address, item.port, item.payload.view());
    }
  }
  waiting_.swap(keep);
}

void UdpAssociation::deliver(std::uint32_t address, std::uint16_t port,
                             std::span<const std::uint8_t> datagram) {
  if (ended_ || !endpointKnown_) return;
  ByteBuffer packet;
  packet.reserve(10 + datagram.size());
  socks::AppendUdpHeader(packet, address, port);
  packet.append(datagram);
  ::sendto(udpFd_, packet.data(), packet.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&clientEndpoint_), sizeof clientEndpoint_);
}

}  // namespace tarvo::client
