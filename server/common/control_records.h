// The fixed-layout records of the control channel, shared byte for byte by the daemon and its
// consoles through the port messages and the shared areas. Every size and offset is pinned.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/port_message.h"
#include "server/common/control_codes.h"
#include "server/common/user_info.h"

namespace tarvo {

// Socket names of the two ports in the runtime directory.
inline constexpr char kControlPortName[] = "tarvo-control.sock";  // the daemon listens
inline constexpr char kNotifyPortName[] = "tarvo-notify.sock";    // a console listens

// Shared areas. Sections are sparse, so their sizes cost nothing until pages are written.
inline constexpr std::size_t kRequestSectionSize = 10'485'760;       // offered by a console
inline constexpr std::size_t kNotificationSectionSize = 10'485'760;  // offered by the daemon
// Request and notification areas: the nominal 1,024-byte view, mapped as the whole page it
// occupies. The largest request (12: address, 1,023 characters, NUL) needs 1,028 bytes, so
// the page is the area, and the side that reads it bounds every string by this size.
inline constexpr std::size_t kRequestViewSize = 4096;
static_assert(kRequestViewSize >= 4 + 1023 + 1);
inline constexpr std::size_t kReplyAreaSize = 27'600'000;  // 50,000 UserInfo; whole section

// Data lengths of a ControlMessage: requests 0 and 1 and every notification carry 12.
inline constexpr std::uint16_t kControlDataLength = 16;
inline constexpr std::uint16_t kShortControlDataLength = 12;

// The 40-byte message in both directions; the header is the port layer's.
struct ControlMessage {
  PortMessageHeader header;
  std::uint32_t code;    // CTL_* or NTF_*
  std::uint32_t value;   // reply: record count (requests 9, 10, 13)
  std::uint32_t flag;    // requests 2-6: nonzero asks for the matching notification
  std::uint32_t status;  // reply status
};

static_assert(sizeof(ControlMessage) == kPortMessageSize);
static_assert(offsetof(ControlMessage, header) == 0);
static_assert(offsetof(ControlMessage, code) == 24);
static_assert(offsetof(ControlMessage, value) == 28);
static_assert(offsetof(ControlMessage, flag) == 32);
static_assert(offsetof(ControlMessage, status) == 36);

inline PortMessage ToPortMessage(const ControlMessage& message) {
  return std::bit_cast<PortMessage>(message);
}
inline ControlMessage ToControlMessage(const PortMessage& message) {
  return std::bit_cast<ControlMessage>(message);
}

// A request as a console builds it: the data length its code calls for.
inline ControlMessage MakeControlRequest(std::uint32_t code, std::uint32_t flag = 0) {
  ControlMessage message{};
  message.header.dataLength =
      code == CTL_ATTACH || code == CTL_DETACH ? kShortControlDataLength : kControlDataLength;
  message.header.totalLength = kPortMessageSize;
  message.code = code;
  message.flag = flag;
  return message;
}

// A notification as the daemon builds it.
inline ControlMessage MakeNotification(std::uint32_t code) {
  ControlMessage message{};
  message.header.dataLength = kShortControlDataLength;
  message.header.totalLength = kPortMessageSize;
  message.code = code;
  return message;
}

inline constexpr std::size_t kMinClientVersionFieldSize = 128;  // 127 characters and the NUL

// The seven settings as they cross the channel (requests 7 and 8).
struct SettingsRecord {
  char MinClientVersion[kMinClientVersionFieldSize];
  std::int32_t ServerPort;
  std::uint32_t MultiConnect;  // nonzero read as 1
  std::int32_t AuditType;
  std::uint32_t HidePwd;
  std::uint32_t StoreEncryptedPwd;
  std::uint32_t AutoRefresh;
};

static_assert(sizeof(SettingsRecord) == 152);
static_assert(offsetof(SettingsRecord, MinClientVersion) == 0);
static_assert(offsetof(SettingsRecord, ServerPort) == 128);
static_assert(offsetof(SettingsRecord, MultiConnect) == 132);
static_assert(offsetof(SettingsRecord, AuditType) == 136);
static_assert(offsetof(SettingsRecord, HidePwd) == 140);
static_assert(offsetof(SettingsRecord, StoreEncryptedPwd) == 144);
static_assert(offsetof(SettingsRecord, AutoRefresh) == 148);

// One relay (request 13 replies and notifications 5-7).
struct RelayInfo {
  std::uint32_t address;               // destination IPv4 address, network byte order
  std::uint32_t port;                  // destination port, host order
  std::uint32_t sourcePort;            // the relay's local port
  std::uint32_t connectedOrSessionId;  // request 13: 1 once connected; notifications: session id
};

static_assert(sizeof(RelayInfo) == 16);
static_assert(offsetof(RelayInfo, address) == 0);
static_assert(offsetof(RelayInfo, port) == 4);
static_assert(offsetof(RelayInfo, sourcePort) == 8);
static_assert(offsetof(RelayInfo, connectedOrSessionId) == 12);

inline constexpr std::size_t kDaemonNameFieldSize = 128;  // 127 characters and the NUL

// One session of some daemon (request 15 replies).
struct DaemonSessionInfo {
  char name[kUserNameSize];
  char daemon[kDaemonNameFieldSize];  // host:port of the daemon that holds it
  std::uint8_t protocol;               // as UserInfo.protocol
  std::uint8_t padding[2];
  std::uint32_t address;  // client IPv4 address, network byte order
  std::uint32_t sessionId;
  std::uint8_t padding2[4];
};

static_assert(sizeof(DaemonSessionInfo) == 400);
static_assert(offsetof(DaemonSessionInfo, daemon) == 257);
static_assert(offsetof(DaemonSessionInfo, protocol) == 385);
static_assert(offsetof(DaemonSessionInfo, address) == 388);
static_assert(offsetof(DaemonSessionInfo, sessionId) == 392);

// What the reply area holds at most; a handler never writes more.
inline constexpr std::size_t kMaxReplyRelays = kReplyAreaSize / sizeof(RelayInfo);
static_assert(kMaxEnumeratedUsers * sizeof(UserInfo) == kReplyAreaSize);
static_assert(kMaxReplyRelays == 1'725'000);
inline constexpr std::size_t kMaxReplyDaemonSessions = kReplyAreaSize / sizeof(DaemonSessionInfo);

// Request 12 and 13 argument offsets in the request area.
inline constexpr std::size_t kMessageTextOffset = 4;
inline constexpr std::size_t kRelaysSessionIdOffset = 4;
inline constexpr std::size_t kRelaysNameOffset = 8;
static_assert(kRequestViewSize >= sizeof(UserInfo));

}  // namespace tarvo
