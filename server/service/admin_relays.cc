// ListRelaysCmd: the relays of one session, as the console's connected-users page lists them.
#include <cstring>

#include "server/service/admin_commands.h"
#include "server/service/session_list.h"
#include "server/service/user_socket.h"

namespace tarvo {

std::uint32_t ListRelaysCmd(std::uint32_t address, std::uint32_t sessionId, std::string_view name,
                            std::span<std::uint8_t> reply) {
  UserSocket* session = nullptr;
  for (UserSocket* candidate : Sessions()) {
    if (candidate->peerAddress() == address && candidate->sessionId() == sessionId &&
        SameUserName(candidate->userName(), name)) {
      session = candidate;
      break;
    }
  }
  if (session == nullptr) return 0;
  (void)reply;
  // Relays are not built yet: a session has none.
  return 0;
}

}  // namespace tarvo
