// What a test learns by relaying through a logged-in session: whether bytes come back from an
// echo destination, and whether the daemon ends a relay without passing a byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/tarvo_client_lib.h"

namespace tarvo::test {

// size bytes sent through a relay to an echo server at address:port all come back.
bool EchoesThrough(const client::SessionClient& session, std::uint32_t address,
                   std::uint16_t port, std::size_t size = 700);

// The daemon closes a relay to address:port without a byte, as a refused connection.
bool ClosedWithoutAByte(const client::SessionClient& session, std::uint32_t address,
                        std::uint16_t port);

}  // namespace tarvo::test
