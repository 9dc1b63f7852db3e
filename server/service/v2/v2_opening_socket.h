// One v2 connection on the server port until its opening frame is read: the TLS handshake with
// the daemon's key, then the frame, read to its last byte and no further. A session's frame
// and login proof make a session (UserSocket) on the same connection; a relay's frame, proven
// with its session's relay key, makes a relay whose client end it is. Both take the TLS stream
// over, so every later byte is read and written by them on the network loop, once. Whatever
// goes wrong before that (no TLS, a bad frame, a wrong proof, the time-out) ends the same way:
// close_notify and nothing of ours. Owned by the acceptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "server/common/v2_wire.h"
#include "server/service/net/socket.h"
#include "server/common/tls_stream.h"

namespace tarvo {

class V2OpeningSocket final : public Socket {
 public:
  // handle: an accepted connection whose first byte opens a TLS handshake. address: the
  // peer's IPv4 address, network order.
  V2OpeningSocket(int handle, Socket* owner, std::uint32_t address);
  ~V2OpeningSocket() override;

  bool wantRead() const REQUIRES(NetworkLock) override;
  bool wantWrite() const REQUIRES(NetworkLock) override;
  bool wantExcept() const REQUIRES(NetworkLock) override { return false; }
  bool onRead() REQUIRES(NetworkLock) override { return step(); }
  bool onWrite() REQUIRES(NetworkLock) override { return step(); }
  bool onExcept() REQUIRES(NetworkLock) override { return false; }

 private:
  // Reads what it can of the frame; false when the connection is to end.
  bool step() REQUIRES(NetworkLock);
  bool joinSession(const V2Opening& opening) REQUIRES(NetworkLock);
  bool joinRelay(const V2Opening& opening) REQUIRES(NetworkLock);
  void end();

  std::unique_ptr<TlsStream> tls_;
  std::uint32_t address_;
  // kind, length, then the body: 2 + 255 bytes at most.
  std::uint8_t frame_[2 + 255] = {};
  std::size_t have_ = 0;
  NetworkTimer openingTimer_;
};

}  // namespace tarvo
