// Codes of the control channel between the daemon and its consoles, shared by both sides.
#pragma once

#include <cstdint>

namespace tarvo {

// Requests a console sends on the control port. Arguments are in the request area.
inline constexpr std::uint32_t CTL_ATTACH = 0;               // none
inline constexpr std::uint32_t CTL_DETACH = 1;               // none
inline constexpr std::uint32_t CTL_ADD_USER = 2;             // UserInfo: name, password, limit
inline constexpr std::uint32_t CTL_DELETE_USER = 3;          // UserInfo: name
inline constexpr std::uint32_t CTL_UPDATE_USER = 4;          // UserInfo: name, password, limit
inline constexpr std::uint32_t CTL_TOGGLE_LOCK = 5;          // UserInfo: name
inline constexpr std::uint32_t CTL_RESET_COUNTER = 6;        // UserInfo: name
inline constexpr std::uint32_t CTL_GET_SETTINGS = 7;         // none; reply: SettingsRecord
inline constexpr std::uint32_t CTL_SET_SETTINGS = 8;         // SettingsRecord
inline constexpr std::uint32_t CTL_ENUM_USERS = 9;           // none; reply: value UserInfo records
inline constexpr std::uint32_t CTL_LIST_SESSIONS = 10;       // none; reply: value UserInfo records
inline constexpr std::uint32_t CTL_DISCONNECT_SESSION = 11;  // UserInfo: name, address, session id
inline constexpr std::uint32_t CTL_SEND_MESSAGE = 12;        // u32 address, text from offset 4
inline constexpr std::uint32_t CTL_LIST_RELAYS = 13;         // u32 address, u32 session id, name
                                                             // from 8; reply: value RelayInfo
// Ours, beside the console's toggle: leaves the user in the state of UserInfo.locked however
// the user stood, so that a concurrent change cannot invert it. Reply: value 1 when the state
// changed, 0 when it already was so; the UserInfo is written back as by a toggle.
inline constexpr std::uint32_t CTL_SET_LOCK = 14;            // UserInfo: name, locked
// Ours: the sessions of every daemon sharing the store (this daemon's alone on a store that is
// not shared). Reply: value DaemonSessionInfo records.
inline constexpr std::uint32_t CTL_LIST_ALL_SESSIONS = 15;   // none

// Reply statuses.
inline constexpr std::uint32_t CTL_OK = 0;
inline constexpr std::uint32_t CTL_EXISTS = 1;     // the user already exists
inline constexpr std::uint32_t CTL_NOT_FOUND = 2;  // no such user or session
inline constexpr std::uint32_t CTL_FAILED = 3;     // the user store refused, or not delivered

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
