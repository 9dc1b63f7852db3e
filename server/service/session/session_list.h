// The process-wide list of logged-in sessions, in login order, guarded by the network lock.
// A session joins it when its login succeeds and leaves it when it is deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/common/user_name.h"
#include "server/service/net/network_loop.h"

namespace tarvo {

class RelayHost;
class UserSocket;

const std::vector<UserSocket*>& Sessions() REQUIRES(NetworkLock);
void AddSession(UserSocket* session) REQUIRES(NetworkLock);
// Does nothing when the session is not in the list.
void RemoveSession(UserSocket* session) REQUIRES(NetworkLock);

// The logged-in session with this peer address (network order) and session id, or nullptr.
UserSocket* FindSession(std::uint32_t address, std::uint32_t sessionId) REQUIRES(NetworkLock);
bool SessionIdInUse(std::uint32_t sessionId) REQUIRES(NetworkLock);

// The relays' face of the session with this address, id and user name; nullptr when none.
RelayHost* FindSessionRelays(std::uint32_t address, std::uint32_t sessionId,
                             std::string_view name) REQUIRES(NetworkLock);

// Ends every session (UserSocket::end): gone from the list at once, deleted by the loop.
void EndEverySession() REQUIRES(NetworkLock);

// Deletes every session (each writes its closing rows). No loop pass runs.
void DeleteAllSessions() REQUIRES(NetworkLock);

}  // namespace tarvo
