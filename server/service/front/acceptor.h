// The acceptor: the listener on the server port, which hands each connection to a dispatch
// socket (dispatch_socket.h) until its opening message says what it is.
#pragma once

#include <cstdint>
#include <span>

#include "server/service/net/socket.h"

namespace tarvo {

// The listener on the server port; at most one listens (Acceptor). It owns every connection
// not yet logged in and every session, so deleting it ends them all.
class AcceptSocket : public TcpServerSocket {
 public:
  AcceptSocket();
  ~AcceptSocket() override;

  bool wantRead() const REQUIRES(NetworkLock) override;
  bool wantWrite() const REQUIRES(NetworkLock) override { return false; }
  bool wantExcept() const REQUIRES(NetworkLock) override { return true; }
  bool onWrite() REQUIRES(NetworkLock) override { return false; }
  bool onExcept() REQUIRES(NetworkLock) override { return false; }
  bool onData(std::span<const std::uint8_t>) REQUIRES(NetworkLock) override { return false; }
  void onConnected() REQUIRES(NetworkLock) override {}
  void onConnectFailed() REQUIRES(NetworkLock) override {}
  bool onAccept(int handle, std::uint32_t address, int port) REQUIRES(NetworkLock) override;
};

extern AcceptSocket* Acceptor GUARDED_BY(NetworkLock);

// Moves the server port: every session and connection of the old listener ends with it, and a
// new listener takes the port (none when it cannot bind or listen, until the next move or
// start).
void MoveServerPort(int port) REQUIRES(NetworkLock);

}  // namespace tarvo
