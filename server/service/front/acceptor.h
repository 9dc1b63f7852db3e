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

}  // namespace tarvo
