// The fixed 40-byte message that travels on a local port, and its 24-byte header. The port layer
// fills the header (type, sender, message id); the 16 data bytes belong to the caller.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tarvo {

static_assert(std::endian::native == std::endian::little,
              "port messages and the records in the sections are little-endian");

// What a message is; the port layer sets it on every message it sends or reports.
enum class PortMessageType : std::uint16_t {
  Request = 1,
  Reply = 2,
  PortClosed = 5,          // the peer closed its connection
  ClientDied = 6,          // the peer's socket ended without a close: the process died
  ConnectionRequest = 10,  // a peer asks to connect
};

struct PortMessageHeader {
  std::uint16_t dataLength;      // the caller's; not used by the port layer
  std::uint16_t totalLength;     // 40
  std::uint16_t type;            // a PortMessageType
  std::uint16_t dataInfoOffset;  // 0
  std::uint32_t clientProcess;   // sender's process id (from the kernel on receipt)
  std::uint32_t clientThread;    // sender's thread id
  std::uint32_t messageId;       // matches a reply to its request
  std::uint32_t clientViewSize;  // connection requests: size of the view the connector offers
};

struct PortMessage {
  PortMessageHeader header;
  std::uint8_t data[16];
};

inline constexpr std::size_t kPortMessageSize = 40;

static_assert(sizeof(PortMessageHeader) == 24);
static_assert(sizeof(PortMessage) == kPortMessageSize);
static_assert(offsetof(PortMessageHeader, type) == 4);
static_assert(offsetof(PortMessageHeader, clientProcess) == 8);
static_assert(offsetof(PortMessageHeader, messageId) == 16);
static_assert(offsetof(PortMessageHeader, clientViewSize) == 20);
static_assert(offsetof(PortMessage, data) == 24);

}  // namespace tarvo
