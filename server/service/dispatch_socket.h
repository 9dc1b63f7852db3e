// A freshly accepted connection that has not yet said what it is for. It reads the opening
// message and nothing past it, then hands the connection to a session (kind 0) or to the
// relay of a logged-in session (kind 1). Owned by the acceptor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "server/common/session_protocol.h"
#include "server/service/socket.h"

namespace tarvo {

// How long a connection may take to send its opening message (and a data connection its
// session id).
inline constexpr std::chrono::seconds kOpeningTimeout{15};
// Connections from one client address that may wait for their opening message at once; a
// further one is closed as soon as it is accepted. Clients send the opening message at once,
// so only a client that opens connections and stays silent meets this bound.
inline constexpr std::size_t kMaxPendingPerAddress = 64;

class DispatchSocket : public TcpSocket {
 public:
  // address: the peer's IPv4 address, network order.
  DispatchSocket(int handle, Socket* owner, std::uint32_t address);
  ~DispatchSocket() override;

  // False when address already has kMaxPendingPerAddress connections waiting.
  static bool admits(std::uint32_t address);

  bool wantRead() override { return !hasFlag(Closing); }
  bool wantWrite() override;
  bool wantExcept() override { return true; }
  bool onRead() override;
  bool onExcept() override { return false; }
  bool onData(std::span<const std::uint8_t>) override { return true; }
  void onConnected() override {}
  void onConnectFailed() override {}

 private:
  // The opening message is complete: hand the connection over or refuse it.
  bool dispatch();

  OpeningParser opening_;
  std::uint32_t address_;
  NetworkTimer openingTimer_;
};

}  // namespace tarvo
