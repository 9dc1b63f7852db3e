// A SOCKS UDP ASSOCIATE: a local datagram socket for the client's datagrams, relayed over one
// UdpData channel of the session; answers come back on the channel and go to the client with
// the source's address. The association lives as long as its TCP control connection.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <string>

#include "client/proxy_server.h"
#include "server/common/byte_buffer.h"

namespace tarvo::client {

class UdpAssociation : public Connection {
 public:
  // Datagrams held while their destination name is looked up.
  static constexpr std::size_t kMaxWaiting = 32;

  UdpAssociation(ProxyServer& server, int controlFd, ByteBuffer toClient, socks::Address requested);
  ~UdpAssociation() override;

  bool start() override;
  void onIo(int fd, std::uint32_t events) override;
  void end() override;

  // A datagram that came back on this association's channel.
  void deliver(std::uint32_t address, std::uint16_t port, std::span<const std::uint8_t> datagram);

 private:
  struct Waiting {
    std::string host;
    std::uint16_t port = 0;
    ByteBuffer payload;
  };
  void readDatagrams();
  void forward(const socks::Address& destination, std::span<const std::uint8_t> payload);
  void resolved(const std::string& host, bool found, std::uint32_t address);
  void flushControl();

  int controlFd_;
  int udpFd_ = -1;
  socks::Address requested_;
  ByteBuffer toClient_;
  in_addr clientAddress_{};
  sockaddr_in clientEndpoint_{};
  bool endpointKnown_ = false;
  std::uint32_t channel_ = 0;
  std::uint64_t generation_ = 0;
  std::deque<Waiting> waiting_;
};

}  // namespace tarvo::client
