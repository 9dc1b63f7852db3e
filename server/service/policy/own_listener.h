// Whether a relay's destination is the daemon's own listener. The daemon listens on every
// local address, so a relay there would hand a logged-in user a login prompt that sees every
// guess come from the host itself; such a relay fails as a connection that was refused.
// Datagrams are not checked: the daemon has no UDP port.
#pragma once

#include <cstdint>

#include "server/service/net/network_loop.h"

namespace tarvo {

class TcpServerSocket;

// The listener on the server port while there is one (the acceptor sets it).
extern const TcpServerSocket* ServerListener GUARDED_BY(NetworkLock);

// address in network order, port in host order. Network lock held (it reads the listener).
bool IsOwnListener(std::uint32_t address, std::uint16_t port) REQUIRES(NetworkLock);

}  // namespace tarvo
