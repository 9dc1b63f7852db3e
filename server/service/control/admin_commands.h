// The work behind the console's requests 2-13. Each runs on the control listener thread and
// returns the reply's status (or, for lists, the record count). Each takes the network lock for
// what it does to sessions, sockets and settings, and calls the user store without it. Request
// arguments arrive as copies the dispatcher made and bounded; results go to the reply area,
// never past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/common/control_records.h"
#include "server/common/user_info.h"

#include "server/service/net/network_loop.h"

namespace tarvo {

// Ends every session of the user here: gone from the list at once, deleted by the loop before
// its next wait.
void EndSessionsOf(const char* name) EXCLUDES(NetworkLock);

// Held around each administration request, whichever channel brought it: the commands read the
// store and then write it, and count on no other request of this daemon coming between.
inline std::mutex AdminRequestLock;

// User requests. R is the request's UserInfo; 4, 5 and 6 write the user's current data into it.
std::uint32_t AddUserCmd(const UserInfo& r) EXCLUDES(NetworkLock);
std::uint32_t DeleteUserCmd(const UserInfo& r) EXCLUDES(NetworkLock);
std::uint32_t UpdateUserCmd(UserInfo& r) EXCLUDES(NetworkLock);
std::uint32_t ToggleLockCmd(UserInfo& r) EXCLUDES(NetworkLock);
std::uint32_t ResetCounterCmd(UserInfo& r) EXCLUDES(NetworkLock);
// Request 14: R.locked is the wanted state; changed tells whether the store had to change.
std::uint32_t SetLockCmd(UserInfo& r, bool& changed) EXCLUDES(NetworkLock);

std::uint32_t GetSettingsCmd(std::span<std::uint8_t> reply) EXCLUDES(NetworkLock);
std::uint32_t SetSettingsCmd(const SettingsRecord& record) EXCLUDES(NetworkLock);

// Request 9: the store's users into the reply area; CTL_FAILED when the store fails.
std::uint32_t EnumUsersCmd(std::span<std::uint8_t> reply, std::uint32_t& count)
    EXCLUDES(NetworkLock);

// Requests 10-13.
std::uint32_t ListSessionsCmd(std::span<std::uint8_t> reply) EXCLUDES(NetworkLock);
std::uint32_t DisconnectSessionCmd(const UserInfo& r) EXCLUDES(NetworkLock);
std::uint32_t SendMessageCmd(std::uint32_t address, std::string_view text) EXCLUDES(NetworkLock);
std::uint32_t ListRelaysCmd(std::uint32_t address, std::uint32_t sessionId, std::string_view name,
                            std::span<std::uint8_t> reply) EXCLUDES(NetworkLock);

// Request 15 (all_sessions.cc): every daemon's sessions, read from the shared store; this
// daemon's alone when the store is not shared. False when the store failed.
bool ListAllSessions(std::vector<DaemonSessionInfo>& sessions) EXCLUDES(NetworkLock);
std::uint32_t ListAllSessionsCmd(std::span<std::uint8_t> reply, std::uint32_t& count)
    EXCLUDES(NetworkLock);
// The daemon (host:port) of a session that is not on this one but on another sharing the store;
// empty when no live daemon has it.
std::string DaemonOfSession(const UserInfo& r) EXCLUDES(NetworkLock);

}  // namespace tarvo
