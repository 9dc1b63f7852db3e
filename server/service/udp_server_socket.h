// One UDP channel of a session: a datagram socket, never bound explicitly, that sends the
// client's datagrams to their destinations and hands every datagram it receives back to the
// client as UdpData with the channel's id. Owned by the session and listed in its channels.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "server/service/socket.h"

namespace tarvo {

class UserSocket;

class UdpServerSocket : public UdpSocket {
 public:
  // value: the low 16 bits of the third field of the UdpData that made the channel (kept, not
  // otherwise used).
  UdpServerSocket(UserSocket& session, std::uint16_t value, std::uint32_t channelId);
  ~UdpServerSocket() override;

  std::uint32_t channelId() const { return channelId_; }
  std::uint16_t value() const { return value_; }

  // Queues a datagram for address (network order) and port (host order). False, nothing
  // queued, when the session already has its most datagrams waiting.
  bool send(std::uint32_t address, std::uint16_t port, std::span<const std::uint8_t> bytes);

  // Reading pauses while the client is slow to take what the session queued for it.
  bool wantRead() override;
  bool onWrite() override;
  bool onDatagram(std::unique_ptr<Datagram> datagram) override;

 private:
  UserSocket& session_;
  std::uint16_t value_;
  std::uint32_t channelId_;
};

}  // namespace tarvo
