// A notification from the daemon, decoded from the notification area by its code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "server/common/control_records.h"
#include "server/common/user_info.h"

namespace tarvo {

struct Notification {
  std::uint32_t code = 0;
  UserInfo user{};              // NTF_USER_ADDED, NTF_USER_CHANGED
  std::string name;             // every code: the user's name
  std::uint32_t address = 0;    // NTF_SESSION_*: the client's IPv4 address (network order)
  std::uint32_t sessionId = 0;  // NTF_SESSION_*, NTF_RELAY_*
  std::uint8_t protocol = 0;    // NTF_SESSION_*: kSessionProtocolV2, or 0 for the designed one
  RelayInfo relay{};            // NTF_RELAY_*: destination, source port, session id
};

// Decodes the payload of code from the area (size bytes), reading nothing past it. False for
// codes above NTF_RELAY_CLOSED.
bool DecodeNotification(std::uint32_t code, const std::uint8_t* area, std::size_t size,
                        Notification& out);

// The code's name ("NTF_SESSION_OPENED"), or "unknown".
const char* NotificationName(std::uint32_t code);

// An event as tarvoadm watch and the API's event stream show it: "event" is the code's name in
// lower case without NTF_ ("session_opened"), then the fields the code carries. Never the
// password.
nlohmann::json NotificationJson(const Notification& n);

}  // namespace tarvo
