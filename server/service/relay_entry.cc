#include "server/service/relay_entry.h"

#include "server/service/socket.h"
#include "server/service/user_socket.h"

namespace tarvo {

namespace {

// Holds a matched data connection until the relay code exists: what arrives is discarded and
// the connection ends with its session (its owner) or when the client closes it.
class HeldDataConnection : public TcpSocket {
 public:
  HeldDataConnection(int handle, Socket* owner) : TcpSocket(handle, owner) {}
  bool wantExcept() override { return true; }
  bool onExcept() override { return false; }
  bool onData(std::span<const std::uint8_t>) override { return true; }
  void onConnected() override {}
  void onConnectFailed() override {}
};

}  // namespace

void StartDataConnection(UserSocket& session, int handle) {
  new HeldDataConnection(handle, &session);  // owned by the session
}

bool HandleUdpData(UserSocket&, std::span<const std::uint8_t>) { return true; }
bool HandleUdpClose(UserSocket&, std::span<const std::uint8_t>) { return true; }
bool HandleResolve(UserSocket&, std::span<const std::uint8_t>) { return true; }

}  // namespace tarvo
