// A freshly accepted connection that has not yet said what it is for. Owned by the acceptor.
#pragma once

#include <cstdint>
#include <span>

#include "server/service/socket.h"

namespace tarvo {

// Seconds a connection may take to send its opening message.
inline constexpr std::int64_t kOpeningTimeoutSeconds = 15;

class DispatchSocket : public TcpSocket {
 public:
  DispatchSocket(int handle, Socket* owner);

  bool wantRead() override;
  bool wantWrite() override;
  bool wantExcept() override { return true; }
  bool onExcept() override { return false; }
  bool onData(std::span<const std::uint8_t> bytes) override;
  void onConnected() override {}
  void onConnectFailed() override {}

 private:
  std::int64_t created_;  // seconds since 1970
};

}  // namespace tarvo
