// Where session work meets the relays: data connections and the datagram and name-lookup
// messages of a logged-in session.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "server/service/net/network_loop.h"
#include "server/common/tls_stream.h"

namespace tarvo {

class RelayHost;

// A data connection matched to session by peer address and session id. Takes the handle over:
// whatever the client sent after its opening message is still unread in it. A session over its
// limit or at its bound of data connections has the new one closed at once.
// tls: a v2 relay's connection, its opening frame read and proven.
void StartDataConnection(RelayHost& session, int handle, std::unique_ptr<TlsStream> tls = nullptr)
    REQUIRES(NetworkLock);

// Session messages of a logged-in session; each returns true (a malformed one is ignored).
bool HandleUdpData(RelayHost& session, std::span<const std::uint8_t> payload) REQUIRES(NetworkLock);
bool HandleUdpClose(RelayHost& session, std::span<const std::uint8_t> payload) REQUIRES(NetworkLock);
bool HandleResolve(RelayHost& session, std::span<const std::uint8_t> payload) REQUIRES(NetworkLock);

}  // namespace tarvo
