// Where session work meets the relays: data connections and the datagram and name-lookup
// messages of a logged-in session. For now a data connection is held open, its input discarded,
// until it or its session ends, and the messages are accepted and ignored; the relay code takes
// these over.
#pragma once

#include <cstdint>
#include <span>

namespace tarvo {

class UserSocket;

// A data connection matched to session by peer address and session id. Takes the handle over:
// whatever the client sent after its opening message is still unread in it.
void StartDataConnection(UserSocket& session, int handle);

// Session messages of a logged-in session; false closes the session.
bool HandleUdpData(UserSocket& session, std::span<const std::uint8_t> payload);
bool HandleUdpClose(UserSocket& session, std::span<const std::uint8_t> payload);
bool HandleResolve(UserSocket& session, std::span<const std::uint8_t> payload);

}  // namespace tarvo
