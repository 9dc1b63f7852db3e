// One accepted SOCKS5 connection until its request is known: method choice, the optional
// user/password check, then the request, which hands the connection to a TCP relay or a UDP
// association (or is answered with an error).
#pragma once

#include <cstdint>

#include "client/proxy_server.h"
#include "server/common/byte_buffer.h"

namespace tarvo::client {

class SocksHandshake : public Connection {
 public:
  // Largest handshake we read before deciding: a greeting, credentials and a request together
  // take at most 257 + 513 + 262 bytes.
  static constexpr std::size_t kMaxHandshake = 1100;

  SocksHandshake(ProxyServer& server, int fd);
  ~SocksHandshake() override;
  bool start() override;
  void onIo(int fd, std::uint32_t events) override;
  void end() override;

 private:
  enum class State { kGreeting, kCredentials, kRequest, kReplying };
  void advance();
  // Sends out_ and ends once it is gone (for error replies).
  void replyAndEnd(socks::Reply reply);
  void flush();

  int fd_;
  State state_ = State::kGreeting;
  ByteBuffer in_;
  ByteBuffer out_;
};

}  // namespace tarvo::client
