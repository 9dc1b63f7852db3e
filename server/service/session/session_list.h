// The process-wide list of logged-in sessions, in login order, guarded by the network lock.
// A session joins it when its login succeeds and leaves it when it is deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/common/user_name.h"

namespace tarvo {

class UserSocket;

const std::vector<UserSocket*>& Sessions();
void AddSession(UserSocket* session);
// Does nothing when the session is not in the list.
void RemoveSession(UserSocket* session);

// The logged-in session with this peer address (network order) and session id, or nullptr.
UserSocket* FindSession(std::uint32_t address, std::uint32_t sessionId);
// The first logged-in session of the user, names compared without regard to ASCII case.
UserSocket* FindSessionByName(std::string_view name);
bool SessionIdInUse(std::uint32_t sessionId);


// Deletes every session (each writes its closing rows). The caller holds the network lock and
// no loop pass runs.
void DeleteAllSessions();

}  // namespace tarvo
