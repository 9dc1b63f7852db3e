// A freshly accepted connection that has not yet said what it is for. It reads the opening
// message and nothing past it, then hands the connection to a session (kind 0) or to the
// relay of a logged-in session (kind 1). Owned by the acceptor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "server/common/proxy_header.h"
#include "server/common/session_protocol.h"
#include "server/service/net/socket.h"
#include "server/service/session/waiting_room.h"

namespace tarvo {

// How long a connection may take to send its opening message (and a data connection its
// session id).
inline constexpr std::chrono::seconds kOpeningTimeout{15};
// Clients send the opening message as soon as they connect, however many connections they open
// at once: a connection still without it after this long is counted as silent.
inline constexpr std::chrono::seconds kSilentAfter{2};
// Silent connections one client address may hold; one that turns silent past this is closed.
// Only silent ones count, so a busy client and its neighbours behind one address never meet it.
inline constexpr std::size_t kMaxSilentPerAddress = 256;
// Connections that may wait for their opening message in all; a new one past this closes the
// oldest waiting one, which by then has been silent far longer than any client is.
inline constexpr std::size_t kMaxPendingInAll = 4096;

class DispatchSocket : public TcpSocket {
 public:
  // address: the peer's IPv4 address, network order. At kMaxPendingInAll the oldest waiting
  // connection is closed first. A peer that is a trusted balancer must send a PROXY v2 header
  // first; the client it names is the connection's address from then on.
  DispatchSocket(int handle, Socket* owner, std::uint32_t address);
  ~DispatchSocket() override;

  // Connections waiting for their opening message.
  static std::size_t pendingCount();

  bool wantRead() const REQUIRES(NetworkLock) override { return !hasFlag(Closing); }
  bool wantWrite() const REQUIRES(NetworkLock) override;
  bool wantExcept() const REQUIRES(NetworkLock) override { return true; }
  bool onRead() REQUIRES(NetworkLock) override;
  bool onExcept() REQUIRES(NetworkLock) override { return false; }
  bool onData(std::span<const std::uint8_t>) REQUIRES(NetworkLock) override { return true; }
  void onConnected() REQUIRES(NetworkLock) override {}
  void onConnectFailed() REQUIRES(NetworkLock) override {}

 private:
  // The opening message is complete: hand the connection over or refuse it.
  bool dispatch() REQUIRES(NetworkLock);
  // Reads the balancer's header up to its last byte and no further.
  ParseResult readProxyHeader() REQUIRES(NetworkLock);
  // kSilentAfter has passed without the opening message.
  void turnSilent();
  // Leaves the waiting room and is deleted before the next wait.
  void end();

  std::optional<ProxyHeaderParser> proxy_;  // until a trusted balancer's header is in
  OpeningParser opening_;
  std::uint32_t address_;
  NetworkTime openedAt_;
  std::optional<WaitingSeat> seat_;  // taken again under the client's address
  NetworkTimer openingTimer_;
};

}  // namespace tarvo
