// Codes of the control channel between the daemon and its consoles, shared by both sides.
#pragma once

#include <cstdint>

namespace tarvo {

// Notifications the daemon sends to an attached console. The payload of each is noted.
inline constexpr std::uint32_t NTF_USER_ADDED = 0;       // UserInfo (552 bytes)
inline constexpr std::uint32_t NTF_USER_DELETED = 1;     // name and its NUL
inline constexpr std::uint32_t NTF_USER_CHANGED = 2;     // UserInfo as updated
inline constexpr std::uint32_t NTF_SESSION_OPENED = 3;   // u32 address, name, NUL, u32 session id
inline constexpr std::uint32_t NTF_SESSION_CLOSED = 4;   // as NTF_SESSION_OPENED
inline constexpr std::uint32_t NTF_RELAY_CREATED = 5;    // RelayInfo, then name
inline constexpr std::uint32_t NTF_RELAY_CONNECTED = 6;  // as NTF_RELAY_CREATED
inline constexpr std::uint32_t NTF_RELAY_CLOSED = 7;     // as NTF_RELAY_CREATED

}  // namespace tarvo
