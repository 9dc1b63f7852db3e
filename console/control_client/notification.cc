#include "console/control_client/notification.h"

#include <arpa/inet.h>

#include <cstring>

#include "server/common/control_codes.h"

namespace tarvo {

namespace {

// A name that starts at offset and ends at its NUL or at the end of the area.
std::string NameAt(const std::uint8_t* area, std::size_t size, std::size_t offset) {
  if (offset >= size) return {};
  const char* text = reinterpret_cast<const char*>(area + offset);
  return std::string(text, strnlen(text, size - offset));
}

std::uint32_t WordAt(const std::uint8_t* area, std::size_t size, std::size_t offset) {
  std::uint32_t value = 0;
  if (offset + sizeof value <= size) std::memcpy(&value, area + offset, sizeof value);
  return value;
}

}  // namespace

bool DecodeNotification(std::uint32_t code, const std::uint8_t* area, std::size_t size,
                        Notification& out) {
  out = Notification{};
  out.code = code;
  switch (code) {
    case NTF_USER_ADDED:
    case NTF_USER_CHANGED:
      if (size < sizeof(UserInfo)) return false;
      std::memcpy(&out.user, area, sizeof out.user);
      out.user.name[sizeof out.user.name - 1] = '\0';
      out.user.password[sizeof out.user.password - 1] = '\0';
      out.name = out.user.name;
      return true;
    case NTF_USER_DELETED:
      out.name = NameAt(area, size, 0);
      return true;
    case NTF_SESSION_OPENED:
    case NTF_SESSION_CLOSED:
      out.address = WordAt(area, size, 0);
      out.name = NameAt(area, size, 4);
      out.sessionId = WordAt(area, size, 4 + out.name.size() + 1);
      if (const std::size_t at = 4 + out.name.size() + 1 + 4; at < size) out.protocol = area[at];
      return true;
    case NTF_RELAY_CREATED:
    case NTF_RELAY_CONNECTED:
    case NTF_RELAY_CLOSED:
      if (size < sizeof(RelayInfo)) return false;
      std::memcpy(&out.relay, area, sizeof out.relay);
      out.sessionId = out.relay.connectedOrSessionId;
      out.name = NameAt(area, size, sizeof(RelayInfo));
      return true;
    default:
      return false;
  }
}

const char* NotificationName(std::uint32_t code) {
  static constexpr const char* kNames[] = {
      "NTF_USER_ADDED",     "NTF_USER_DELETED",  "NTF_USER_CHANGED",    "NTF_SESSION_OPENED",
      "NTF_SESSION_CLOSED", "NTF_RELAY_CREATED", "NTF_RELAY_CONNECTED", "NTF_RELAY_CLOSED"};
  return code < std::size(kNames) ? kNames[code] : "unknown";
}

namespace {

std::string DottedAddress(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  const in_addr in{address};
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

}  // namespace

nlohmann::json NotificationJson(const Notification& n) {
  std::string name = NotificationName(n.code);
  if (name.rfind("NTF_", 0) == 0) name.erase(0, 4);
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  nlohmann::json event = {{"event", name}, {"name", n.name}};
  switch (n.code) {
    case NTF_USER_ADDED:
    case NTF_USER_CHANGED:
      event["limit"] = n.user.limit;
      event["counter"] = n.user.counter;
      event["locked"] = n.user.locked != 0;
      break;
    case NTF_SESSION_OPENED:
    case NTF_SESSION_CLOSED:
      event["address"] = DottedAddress(n.address);
      event["session_id"] = n.sessionId;
      event["protocol"] = n.protocol == kSessionProtocolV2 ? "v2" : "v1";
      break;
    case NTF_RELAY_CREATED:
    case NTF_RELAY_CONNECTED:
    case NTF_RELAY_CLOSED:
      event["session_id"] = n.sessionId;
      event["destination"] = DottedAddress(n.relay.address);
      event["port"] = n.relay.port;
      event["source_port"] = n.relay.sourcePort;
      break;
    default:
      break;
  }
  return event;
}

}  // namespace tarvo
