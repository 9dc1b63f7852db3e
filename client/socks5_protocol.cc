#include "client/socks5_protocol.h"

#include <cstring>

namespace tarvo::socks {
namespace {

// Reads an address (type byte, address, port) at bytes[0]; sets size to the bytes it takes.
ParseResult ParseAddress(std::span<const std::uint8_t> bytes, Address& address, std::size_t& size) {
  if (bytes.empty()) return ParseResult::kNeedMore;
  std::size_t addressSize = 0;
  switch (bytes[0]) {
    case static_cast<std::uint8_t>(AddressType::kIPv4):
      addressSize = 4;
      break;
    case static_cast<std::uint8_t>(AddressType::kIPv6):
      addressSize = 16;
      break;
    case static_cast<std::uint8_t>(AddressType::kDomain):
      if (bytes.size() < 2) return ParseResult::kNeedMore;
      if (bytes[1] == 0) return ParseResult::kBad;
      addressSize = 1 + bytes[1];
      break;
    default:
      return ParseResult::kBad;
  }
  size = 1 + addressSize + 2;
  if (bytes.size() < size) return ParseResult::kNeedMore;
  address.type = static_cast<AddressType>(bytes[0]);
  address.host.clear();
  address.ipv4 = 0;
  if (address.type == AddressType::kIPv4) {
    std::memcpy(&address.ipv4, &bytes[1], 4);
  } else if (address.type == AddressType::kDomain) {
    address.host.assign(reinterpret_cast<const char*>(&bytes[2]), bytes[1]);
    // A NUL inside the name would cut it short on the far side and name another host.
    if (address.host.find('\0') != std::string::npos) return ParseResult::kBad;
  }
  address.port = static_cast<std::uint16_t>(bytes[1 + addressSize] << 8 | bytes[2 + addressSize]);
  return ParseResult::kDone;
}

void AppendIPv4(ByteBuffer& out, std::uint32_t address, std::uint16_t port) {
  std::uint8_t* at = out.grow(7);
  at[0] = static_cast<std::uint8_t>(AddressType::kIPv4);
  std::memcpy(at + 1, &address, 4);
  at[5] = static_cast<std::uint8_t>(port >> 8);
  at[6] = static_cast<std::uint8_t>(port & 0xff);
}

}  // namespace

ParseResult ParseGreeting(std::span<const std::uint8_t> bytes, Greeting& greeting,
                          std::size_t& consumed) {
  if (bytes.size() < 2)
    return bytes.empty() || bytes[0] == kVersion ? ParseResult::kNeedMore : ParseResult::kBad;
  if (bytes[0] != kVersion || bytes[1] == 0) return ParseResult::kBad;
  const std::size_t size = 2 + bytes[1];
  if (bytes.size() < size) return ParseResult::kNeedMore;
  greeting = {};
  for (std::size_t i = 2; i < size; ++i) {
    if (bytes[i] == kMethodNone) greeting.offersNone = true;
    if (bytes[i] == kMethodUserPassword) greeting.offersUserPassword = true;
  }
  consumed = size;
  return ParseResult::kDone;
}

ParseResult ParseCredentials(std::span<const std::uint8_t> bytes, Credentials& credentials,
                             std::size_t& consumed) {
  if (bytes.empty()) return ParseResult::kNeedMore;
  if (bytes[0] != kAuthVersion) return ParseResult::kBad;
  if (bytes.size() < 2) return ParseResult::kNeedMore;
  const std::size_t userSize = bytes[1];
  if (bytes.size() < 3 + userSize) return ParseResult::kNeedMore;
  const std::size_t passwordSize = bytes[2 + userSize];
  const std::size_t size = 3 + userSize + passwordSize;
  if (bytes.size() < size) return ParseResult::kNeedMore;
  credentials.user.assign(reinterpret_cast<const char*>(&bytes[2]), userSize);
  credentials.password.assign(reinterpret_cast<const char*>(&bytes[3 + userSize]), passwordSize);
  consumed = size;
  return ParseResult::kDone;
}

ParseResult ParseRequest(std::span<const std::uint8_t> bytes, Request& request,
                         std::size_t& consumed) {
  if (bytes.empty()) return ParseResult::kNeedMore;
  if (bytes[0] != kVersion) return ParseResult::kBad;
  if (bytes.size() < 3) return ParseResult::kNeedMore;
  if (bytes[2] != 0) return ParseResult::kBad;  // reserved byte
  std::size_t addressSize = 0;
  ParseResult parsed = ParseAddress(bytes.subspan(3), request.destination, addressSize);
  if (parsed != ParseResult::kDone) return parsed;
  request.command = bytes[1];
  consumed = 3 + addressSize;
  return ParseResult::kDone;
}

ParseResult ParseUdpHeader(std::span<const std::uint8_t> datagram, UdpHeader& header) {
  if (datagram.size() < 4 || datagram[0] != 0 || datagram[1] != 0) return ParseResult::kBad;
  std::size_t addressSize = 0;
  if (ParseAddress(datagram.subspan(3), header.destination, addressSize) != ParseResult::kDone) {
    return ParseResult::kBad;
  }
  header.fragment = datagram[2];
  header.headerSize = 3 + addressSize;
  return ParseResult::kDone;
}

void AppendMethodChoice(ByteBuffer& out, std::uint8_t method) {
  const std::uint8_t bytes[] = {kVersion, method};
  out.append(bytes, sizeof bytes);
}

void AppendAuthResult(ByteBuffer& out, bool accepted) {
  const std::uint8_t bytes[] = {kAuthVersion, static_cast<std::uint8_t>(accepted ? 0 : 1)};
  out.append(bytes, sizeof bytes);
}

void AppendReply(ByteBuffer& out, Reply reply, std::uint32_t address, std::uint16_t port) {
  const std::uint8_t head[] = {kVersion, static_cast<std::uint8_t>(reply), 0};
  out.append(head, sizeof head);
  AppendIPv4(out, address, port);
}

void AppendUdpHeader(ByteBuffer& out, std::uint32_t address, std::uint16_t port) {
  const std::uint8_t head[] = {0, 0, 0};
  out.append(head, sizeof head);
  AppendIPv4(out, address, port);
}

}  // namespace tarvo::socks
