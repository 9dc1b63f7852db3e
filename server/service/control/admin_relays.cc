// ListRelaysCmd: the relays of one session, as the console's connected-users page lists them.
#include <cstring>
#include <mutex>

#include "server/service/control/admin_commands.h"
#include "server/service/net/network_loop.h"
#include "server/service/session/session_list.h"
#include "server/service/relay/tcp_relay.h"
#include "server/service/relay/relay_host.h"

namespace tarvo {

std::uint32_t ListRelaysCmd(std::uint32_t address, std::uint32_t sessionId, std::string_view name,
                            std::span<std::uint8_t> reply) {
  MutexLock lock(NetworkLock);
  RelayHost* session = FindSessionRelays(address, sessionId, name);
  if (session == nullptr) return 0;
  const std::size_t room = reply.size() / sizeof(RelayInfo);
  std::size_t count = 0;
  for (const auto& relay : session->relays().tcp) {
    if (count == room) break;
    if (!relay->hasDestination()) continue;  // still awaiting its header
    RelayInfo info{};
    info.address = relay->destinationAddress();
    info.port = relay->destinationPort();
    info.sourcePort = relay->localPort();
    info.connectedOrSessionId = relay->connecting() ? 0 : 1;
    std::memcpy(reply.data() + count * sizeof info, &info, sizeof info);
    ++count;
  }
  return static_cast<std::uint32_t>(count);
}

}  // namespace tarvo
