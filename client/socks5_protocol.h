// SOCKS version 5 (RFC 1928) and its user/password sub-negotiation (RFC 1929) without sockets:
// parsers look at the bytes received so far and answer done / need more / bad together with how
// many bytes the message took; builders append the proxy's answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "server/common/byte_buffer.h"
#include "server/common/session_protocol.h"

namespace tarvo::socks {

inline constexpr std::uint8_t kVersion = 5;
inline constexpr std::uint8_t kAuthVersion = 1;  // RFC 1929 sub-negotiation

inline constexpr std::uint8_t kMethodNone = 0x00;
inline constexpr std::uint8_t kMethodUserPassword = 0x02;
inline constexpr std::uint8_t kMethodNoneAcceptable = 0xff;

enum class Command : std::uint8_t { kConnect = 1, kBind = 2, kUdpAssociate = 3 };

enum class AddressType : std::uint8_t { kIPv4 = 1, kDomain = 3, kIPv6 = 4 };

// Reply codes of RFC 1928 section 6.
enum class Reply : std::uint8_t {
  kSucceeded = 0,
  kGeneralFailure = 1,
  kNotAllowed = 2,
  kNetworkUnreachable = 3,
  kHostUnreachable = 4,
  kConnectionRefused = 5,
  kTtlExpired = 6,
  kCommandNotSupported = 7,
  kAddressTypeNotSupported = 8,
};

// A destination as the client named it: an IPv4 address (network byte order), a host name, or
// an IPv6 address (which the tunnel cannot carry).
struct Address {
  AddressType type = AddressType::kIPv4;
  std::uint32_t ipv4 = 0;
  std::string host;
  std::uint16_t port = 0;  // host byte order
};

struct Greeting {
  bool offersNone = false;
  bool offersUserPassword = false;
};

struct Credentials {
  std::string user;
  std::string password;
};

struct Request {
  std::uint8_t command = 0;  // raw: unknown commands are answered, not rejected as malformed
  Address destination;
};

// Datagram of a UDP association (RFC 1928 section 7).
struct UdpHeader {
  std::uint8_t fragment = 0;
  Address destination;
  std::size_t headerSize = 0;  // the payload starts here
};

// Each parser sets consumed to the size of the message when it answers kDone.
ParseResult ParseGreeting(std::span<const std::uint8_t> bytes, Greeting& greeting,
                          std::size_t& consumed);
ParseResult ParseCredentials(std::span<const std::uint8_t> bytes, Credentials& credentials,
                             std::size_t& consumed);
ParseResult ParseRequest(std::span<const std::uint8_t> bytes, Request& request,
                         std::size_t& consumed);
// A whole datagram: kNeedMore never happens, a short or malformed one is kBad.
ParseResult ParseUdpHeader(std::span<const std::uint8_t> datagram, UdpHeader& header);

void AppendMethodChoice(ByteBuffer& out, std::uint8_t method);
void AppendAuthResult(ByteBuffer& out, bool accepted);
// Reply to a request with a bound IPv4 address (network order) and port (host order).
void AppendReply(ByteBuffer& out, Reply reply, std::uint32_t address = 0, std::uint16_t port = 0);
// The header put before a datagram returned to the client: IPv4 source address and port.
void AppendUdpHeader(ByteBuffer& out, std::uint32_t address, std::uint16_t port);

}  // namespace tarvo::socks
