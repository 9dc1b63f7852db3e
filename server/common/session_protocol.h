// The client wire protocol without sockets: the opening message, the framed session messages
// and their payloads. Builders append to a ByteBuffer; parsers look at bytes and answer
// done / need more / bad, so daemon, client and tests share one definition of every frame.
//
// Numbers are little-endian. IPv4 addresses are std::uint32_t values as in_addr::s_addr holds
// them (network byte order): their four bytes go to the wire as they lie in memory. Ports are
// passed in host byte order and written in network byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"

namespace tarvo {

// Opening message (the first bytes of every connection).
inline constexpr std::uint32_t kOpeningCode = 52;
inline constexpr std::uint32_t kVersionRefusedCode = 54;
inline constexpr std::uint32_t kOpeningKindSession = 0;
inline constexpr std::uint32_t kOpeningKindData = 1;
inline constexpr std::size_t kOpeningHeaderSize = 8;       // code, total length
inline constexpr std::size_t kOpeningMinLength = 12;
inline constexpr std::size_t kOpeningMaxLength = 128;
inline constexpr std::size_t kOpeningVersionOffset = 16;
inline constexpr std::size_t kSessionIdSize = 4;           // after a data connection's opening
inline constexpr std::size_t kDestinationHeaderSize = 8;   // after the session id

// Session message types, both directions.
namespace MessageType {
inline constexpr std::uint32_t Login = 0;
inline constexpr std::uint32_t LoginAccepted = 1;
inline constexpr std::uint32_t DoubleConnect = 2;
inline constexpr std::uint32_t UnknownUser = 3;
inline constexpr std::uint32_t TrafficInfo = 7;
inline constexpr std::uint32_t TextMessage = 8;
inline constexpr std::uint32_t InvalidPassword = 9;
inline constexpr std::uint32_t UdpData = 10;
inline constexpr std::uint32_t UdpClose = 11;
inline constexpr std::uint32_t Resolve = 12;
inline constexpr std::uint32_t Hello = 53;
// VersionRefused has the session message layout and this type, but is sent on the opening
// connection only.
inline constexpr std::uint32_t VersionRefused = kVersionRefusedCode;
inline constexpr std::uint32_t UserLocked = 55;
}  // namespace MessageType

inline constexpr std::size_t kMessageHeaderSize = 8;
inline constexpr std::size_t kLoginPayloadSize = 260;
inline constexpr std::size_t kLoginNameFieldSize = 128;
inline constexpr std::size_t kLoginProofSize = 128;
inline constexpr std::size_t kUdpRequestHeaderSize = 16;  // client to server
inline constexpr std::size_t kUdpReplyHeaderSize = 12;    // server to client

// Bounds on a session message's total length, header included. After login the largest
// legitimate messages are a UdpData with a 65535-byte datagram (8 + 16 + RecordSize(65535) =
// 65562 bytes) and a Resolve with many names (a 255-character name takes a 258-byte record);
// 1 MiB leaves room for about 4000 names in one request. Before login only Login (268 bytes)
// means anything, so 1 KiB is generous there.
inline constexpr std::size_t kMaxMessageLengthLoggedIn = std::size_t{1} << 20;
inline constexpr std::size_t kMaxMessageLengthBeforeLogin = 1024;

enum class ParseResult { kDone, kNeedMore, kBad };

// ---- Builders (each appends one complete frame to out) ----

// "<minimum>-<server version>", the text of Hello and VersionRefused.
std::string VersionRangeText(std::string_view minimumVersion, std::string_view serverVersion);

// Kind 0 with the version text (no NUL). False, nothing appended, when the text does not fit
// into the 128-byte message.
bool AppendSessionOpening(ByteBuffer& out, std::string_view versionText);
// Kind 1 followed by the session id.
void AppendDataOpening(ByteBuffer& out, std::uint32_t sessionId);
// The destination of a data connection: address, port (network order), 2 unused bytes.
void AppendDestinationHeader(ByteBuffer& out, std::uint32_t address, std::uint16_t port);

void AppendVersionRefused(ByteBuffer& out, std::string_view rangeText);

void AppendMessageHeader(ByteBuffer& out, std::uint32_t type, std::size_t payloadSize);
void AppendMessage(ByteBuffer& out, std::uint32_t type, std::span<const std::uint8_t> payload = {});

void AppendHello(ByteBuffer& out, std::string_view rangeText);
void AppendLoginAccepted(ByteBuffer& out, std::uint32_t sessionId);
// The server's answer to TrafficInfo.
void AppendTrafficInfoReply(ByteBuffer& out, std::int64_t limit, std::int64_t counter);
// A TextMessage in either direction: one record holding the text and its NUL. The text is cut
// so that it and its NUL fit one record.
void AppendTextMessage(ByteBuffer& out, AESEncryptor& encryptor, std::string_view text);
// Client to server. datagram.size() must not exceed kMaxRecordPlaintext.
void AppendUdpDataRequest(ByteBuffer& out, AESEncryptor& encryptor, std::uint32_t address,
                          std::uint16_t port, std::uint16_t value, std::uint32_t channel,
                          std::span<const std::uint8_t> datagram);
// Server to client. datagram.size() must not exceed kMaxRecordPlaintext.
void AppendUdpDataReply(ByteBuffer& out, AESEncryptor& encryptor, std::uint32_t address,
                        std::uint16_t port, std::uint32_t channel,
                        std::span<const std::uint8_t> datagram);
void AppendUdpClose(ByteBuffer& out, std::uint32_t channel);
// Client to server: the count, then one record per name (with its NUL).
void AppendResolveRequest(ByteBuffer& out, AESEncryptor& encryptor,
                          std::span<const std::string> names);
// Server to client: one record holding the address, the name and a NUL.
void AppendResolveAnswer(ByteBuffer& out, AESEncryptor& encryptor, std::uint32_t address,
                         std::string_view name);

// The login proof: the name repeated from its start to 128 bytes (128 zero bytes for an empty
// name), enciphered as one record whose 2-byte prefix is dropped.
std::array<std::uint8_t, kLoginProofSize> MakeLoginProof(std::string_view name,
                                                         AESEncryptor& encryptor);
// Constant-time comparison of two proofs.
bool ProofsEqual(const std::uint8_t* a, const std::uint8_t* b);
// The 260-byte Login payload for name under the session key of encryptor. False, nothing
// appended, when the name is longer than 128 bytes.
bool AppendLoginPayload(ByteBuffer& out, std::string_view name, AESEncryptor& encryptor);

// ---- Parsers ----

// Assembles an opening message from bytes as they arrive, asking for no byte past it (a data
// connection's session id included), so what follows stays in the connection for its next
// owner. Feed it at most wanted() bytes at a time.
class OpeningParser {
 public:
  // How many more bytes the parser can take before its next decision; 0 once done or bad.
  std::size_t wanted() const;
  // Takes bytes.size() <= wanted() bytes. kBad: wrong code, a total length outside 12..128,
  // or a kind other than 0 and 1 (or more bytes than wanted).
  ParseResult feed(std::span<const std::uint8_t> bytes);

  std::uint32_t kind() const;
  // Kind 0: the text from offset 16 up to the first NUL or the end of the message.
  std::string versionText() const;
  // Kind 1: the session id that followed the message.
  std::uint32_t sessionId() const;
  std::size_t received() const { return size_; }

 private:
  std::size_t target() const;
  std::uint8_t bytes_[kOpeningMaxLength + kSessionIdSize] = {};
  std::size_t size_ = 0;
  ParseResult state_ = ParseResult::kNeedMore;
};

struct SessionMessage {
  std::uint32_t type = 0;
  std::size_t totalLength = 0;             // header included: what to consume
  std::span<const std::uint8_t> payload;  // points into the parsed bytes
};

// Finds the framed session message at the front of received bytes. A frame whose total
// length is below 8 or above the bound is bad as soon as its 8-byte header is there.
class MessageReader {
 public:
  explicit MessageReader(std::size_t maxTotalLength = kMaxMessageLengthBeforeLogin)
      : maxTotalLength_(maxTotalLength) {}
  void setMaxTotalLength(std::size_t bound) { maxTotalLength_ = bound; }
  std::size_t maxTotalLength() const { return maxTotalLength_; }

  ParseResult peek(std::span<const std::uint8_t> bytes, SessionMessage& message) const;
  ParseResult peek(const ByteBuffer& buffer, SessionMessage& message) const {
    return peek(buffer.view(), message);
  }

 private:
  std::size_t maxTotalLength_;
};

struct LoginRequest {
  std::string name;  // unscrambled, ended early at a NUL
  std::array<std::uint8_t, kLoginProofSize> proof{};
};
// False when the payload is not exactly 260 bytes or the name length exceeds 128.
bool ParseLogin(std::span<const std::uint8_t> payload, LoginRequest& login);

// Payload of Hello and of VersionRefused: 0, n, n bytes of text. False when malformed.
bool ParseVersionRange(std::span<const std::uint8_t> payload, std::string& rangeText);
bool ParseTrafficInfoReply(std::span<const std::uint8_t> payload, std::int64_t& limit,
                           std::int64_t& counter);
bool ParseLoginAccepted(std::span<const std::uint8_t> payload, std::uint32_t& sessionId);

struct UdpDataHeader {
  std::uint32_t address = 0;  // network byte order
  std::uint16_t port = 0;     // host byte order
  std::uint16_t value = 0;    // request only
  std::uint32_t channel = 0;
  std::span<const std::uint8_t> record;  // the bytes after the header
};
bool ParseUdpDataRequest(std::span<const std::uint8_t> payload, UdpDataHeader& header);
bool ParseUdpDataReply(std::span<const std::uint8_t> payload, UdpDataHeader& header);
bool ParseUdpClose(std::span<const std::uint8_t> payload, std::uint32_t& channel);
// Splits a Resolve request into its records (each still enciphered, prefix included). False
// when the count announces more records than the payload holds.
bool SplitResolveRequest(std::span<const std::uint8_t> payload,
                         std::vector<std::span<const std::uint8_t>>& records);
// The plaintext of a Resolve answer: address, then the name up to its NUL.
bool ParseResolveAnswer(std::span<const std::uint8_t> plaintext, std::uint32_t& address,
                        std::string& name);

// "a.b.c.d" for an address in network byte order.
std::string FormatIPv4(std::uint32_t address);
// A text up to its first NUL (or all of it).
std::string TextUpToNul(std::span<const std::uint8_t> bytes);

}  // namespace tarvo
