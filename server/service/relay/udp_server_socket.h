// One UDP channel of a session: a datagram socket, never bound explicitly, that sends the
// client's datagrams to their destinations and hands the datagrams it receives back to the
// client as UdpData with the channel's id: from any sender, or with UdpAddressRestricted only
// from addresses it has sent to. Owned by the session and listed in its channels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "server/service/net/socket.h"

namespace tarvo {

class RelayHost;

// Addresses a restricted channel remembers; past this the oldest is forgotten, and its
// datagrams are dropped until the channel sends to it again.
inline constexpr std::size_t kMaxUdpPeersPerChannel = 256;

class UdpServerSocket : public UdpSocket {
 public:
  // value: the low 16 bits of the third field of the UdpData that made the channel (kept, not
  // otherwise used).
  UdpServerSocket(RelayHost& session, std::uint16_t value, std::uint32_t channelId);
  ~UdpServerSocket() override;

  std::uint32_t channelId() const { return channelId_; }
  std::uint16_t value() const { return value_; }

  // Queues a datagram for address (network order) and port (host order). False, nothing
  // queued, when the session already has its most datagrams waiting or the destination rules
  // deny it (it is dropped).
  bool send(std::uint32_t address, std::uint16_t port, std::span<const std::uint8_t> bytes)
      REQUIRES(NetworkLock);

  // Reading pauses while the client is slow to take what the session queued for it.
  bool wantRead() const REQUIRES(NetworkLock) override;
  bool onWrite() REQUIRES(NetworkLock) override;
  bool onDatagram(std::unique_ptr<Datagram> datagram) REQUIRES(NetworkLock) override;

 private:
  void rememberPeer(std::uint32_t address);
  bool knowsPeer(std::uint32_t address) const;

  RelayHost& session_;
  std::uint16_t value_;
  std::uint32_t channelId_;
  std::vector<std::uint32_t> peers_;  // restricted mode: addresses sent to, network order
  std::size_t oldestPeer_ = 0;        // the entry replaced next once peers_ is full
};

}  // namespace tarvo
