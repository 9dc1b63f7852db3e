// The acceptor: the listener on the server port, which hands each connection to a dispatch
// socket (dispatch_socket.h) until its opening message says what it is.
#pragma once

#include <cstdint>
#include <span>

#include "server/service/net/socket.h"

namespace tarvo {

// The listener on the server port; at most one exists (Acceptor). It owns every connection
// not yet logged in and every session, so deleting it ends them all.
class AcceptSocket : public TcpServerSocket {
 public:
  AcceptSocket();
  ~AcceptSocket() override;

  bool wantRead() override;
  bool wantWrite() override { return false; }
  bool wantExcept() override { return true; }
  bool onWrite() override { return false; }
  bool onExcept() override { return false; }
  bool onData(std::span<const std::uint8_t>) override { return false; }
  void onConnected() override {}
  void onConnectFailed() override {}
  bool onAccept(int handle, std::uint32_t address, int port) override;
};

extern AcceptSocket* Acceptor;

}  // namespace tarvo
