#include "server/common/session_protocol.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "server/common/coding.h"

namespace tarvo {
namespace {

void PutAddress(ByteBuffer& out, std::uint32_t address) { out.append(&address, 4); }

// Ports travel in network byte order: high byte first.
void PutPort(std::uint8_t* dst, std::uint16_t port) {
  dst[0] = static_cast<std::uint8_t>(port >> 8);
  dst[1] = static_cast<std::uint8_t>(port);
}

// The address, then the port in the first 2 bytes of a 4-byte field whose other 2 are zero:
// the destination header and both UdpData headers start this way.
void PutAddressAndPort(ByteBuffer& out, std::uint32_t address, std::uint16_t port) {
  PutAddress(out, address);
  std::uint8_t* field = out.grow(4);
  PutPort(field, port);
  field[2] = field[3] = 0;
}

std::uint16_t GetPort(const std::uint8_t* src) {
  return static_cast<std::uint16_t>((src[0] << 8) | src[1]);
}

std::uint32_t GetAddress(const std::uint8_t* src) {
  std::uint32_t address;
  std::memcpy(&address, src, 4);
  return address;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Header plus a payload that the caller appends: the length is known in advance.
void PutVersionRangeFrame(ByteBuffer& out, std::uint32_t type, std::string_view rangeText) {
  AppendMessageHeader(out, type, 8 + rangeText.size());
  PutFixed32(out, 0);
  PutFixed32(out, static_cast<std::uint32_t>(rangeText.size()));
  out.append(Bytes(rangeText));
}

}  // namespace

std::string VersionRangeText(std::string_view minimumVersion, std::string_view serverVersion) {
  std::string text(minimumVersion);
  text += '-';
  text += serverVersion;
  return text;
}

bool AppendSessionOpening(ByteBuffer& out, std::string_view versionText) {
  if (kOpeningVersionOffset + versionText.size() > kOpeningMaxLength) return false;
  PutFixed32(out, kOpeningCode);
  PutFixed32(out, static_cast<std::uint32_t>(kOpeningVersionOffset + versionText.size()));
  PutFixed32(out, kOpeningKindSession);
  PutFixed32(out, 0);
  out.append(Bytes(versionText));
  return true;
}

void AppendDataOpening(ByteBuffer& out, std::uint32_t sessionId) {
  PutFixed32(out, kOpeningCode);
  PutFixed32(out, static_cast<std::uint32_t>(kOpeningVersionOffset));
  PutFixed32(out, kOpeningKindData);
  PutFixed32(out, 0);
  PutFixed32(out, sessionId);
}

void AppendDestinationHeader(ByteBuffer& out, std::uint32_t address, std::uint16_t port) {
  PutAddressAndPort(out, address, port);
}

void AppendVersionRefused(ByteBuffer& out, std::string_view rangeText) {
  PutVersionRangeFrame(out, MessageType::VersionRefused, rangeText);
}

void AppendMessageHeader(ByteBuffer& out, std::uint32_t type, std::size_t payloadSize) {
  PutFixed32(out, type);
  PutFixed32(out, static_cast<std::uint32_t>(kMessageHeaderSize + payloadSize));
}

void AppendMessage(ByteBuffer& out, std::uint32_t type, std::span<const std::uint8_t> payload) {
  AppendMessageHeader(out, type, payload.size());
  out.append(payload);
}

void AppendHello(ByteBuffer& out, std::string_view rangeText) {
  PutVersionRangeFrame(out, MessageType::Hello, rangeText);
}

void AppendLoginAccepted(ByteBuffer& out, std::uint32_t sessionId) {
  AppendMessageHeader(out, MessageType::LoginAccepted, 4);
  PutFixed32(out, sessionId);
}

void AppendTrafficInfoReply(ByteBuffer& out, std::int64_t limit, std::int64_t counter) {
  AppendMessageHeader(out, MessageType::TrafficInfo, 16);
  PutFixed64(out, static_cast<std::uint64_t>(limit));
  PutFixed64(out, static_cast<std::uint64_t>(counter));
}

void AppendTextMessage(ByteBuffer& out, AESEncryptor& encryptor, std::string_view text) {
  std::string plaintext(text.substr(0, kMaxRecordPlaintext - 1));
  plaintext.push_back('\0');
  AppendMessageHeader(out, MessageType::TextMessage, RecordSize(plaintext.size()));
  encryptor.transformAppend(reinterpret_cast<const std::uint8_t*>(plaintext.data()),
                            plaintext.size(), out);
}

void AppendUdpDataRequest(ByteBuffer& out, AESEncryptor& encryptor, std::uint32_t address,
                          std::uint16_t port, std::uint16_t value, std::uint32_t channel,
                          std::span<const std::uint8_t> datagram) {
  AppendMessageHeader(out, MessageType::UdpData,
                      kUdpRequestHeaderSize + RecordSize(datagram.size()));
  PutAddressAndPort(out, address, port);
  PutFixed32(out, value);
  PutFixed32(out, channel);
  encryptor.transformAppend(datagram.data(), datagram.size(), out);
}

void AppendUdpDataReply(ByteBuffer& out, AESEncryptor& encryptor, std::uint32_t address,
                        std::uint16_t port, std::uint32_t channel,
                        std::span<const std::uint8_t> datagram) {
  AppendMessageHeader(out, MessageType::UdpData,
                      kUdpReplyHeaderSize + RecordSize(datagram.size()));
  PutAddressAndPort(out, address, port);
  PutFixed32(out, channel);
  encryptor.transformAppend(datagram.data(), datagram.size(), out);
}

void AppendUdpClose(ByteBuffer& out, std::uint32_t channel) {
  AppendMessageHeader(out, MessageType::UdpClose, 4);
  PutFixed32(out, channel);
}

void AppendResolveRequest(ByteBuffer& out, AESEncryptor& encryptor,
                          std::span<const std::string> names) {
  ByteBuffer payload;
  PutFixed32(payload, static_cast<std::uint32_t>(names.size()));
  std::string plaintext;
  for (const std::string& name : names) {
    plaintext.assign(name, 0, std::min(name.size(), kMaxRecordPlaintext - 1));
    plaintext.push_back('\0');
    encryptor.transformAppend(reinterpret_cast<const std::uint8_t*>(plaintext.data()),
                              plaintext.size(), payload);
  }
  AppendMessage(out, MessageType::Resolve, payload.view());
}

void AppendResolveAnswer(ByteBuffer& out, AESEncryptor& encryptor, std::uint32_t address,
                         std::string_view name) {
  ByteBuffer plaintext;
  PutAddress(plaintext, address);
  plaintext.append(Bytes(name.substr(0, kMaxRecordPlaintext - 5)));
  plaintext.append("", 1);
  AppendMessageHeader(out, MessageType::Resolve, RecordSize(plaintext.size()));
  encryptor.transformAppend(plaintext.data(), plaintext.size(), out);
}

std::array<std::uint8_t, kLoginProofSize> MakeLoginProof(std::string_view name,
                                                         AESEncryptor& encryptor) {
  std::uint8_t repeated[kLoginProofSize] = {};
  if (!name.empty()) {
    for (std::size_t i = 0; i < kLoginProofSize; ++i) {
      repeated[i] = static_cast<std::uint8_t>(name[i % name.size()]);
    }
  }
  ByteBuffer record;
  encryptor.transformAppend(repeated, kLoginProofSize, record);
  std::array<std::uint8_t, kLoginProofSize> proof;
  std::memcpy(proof.data(), record.data() + kRecordPrefixSize, kLoginProofSize);
  return proof;
}

bool ProofsEqual(const std::uint8_t* a, const std::uint8_t* b) {
  return CRYPTO_memcmp(a, b, kLoginProofSize) == 0;
}

bool AppendLoginPayload(ByteBuffer& out, std::string_view name, AESEncryptor& encryptor) {
  if (name.size() > kLoginNameFieldSize) return false;
  PutFixed32(out, static_cast<std::uint32_t>(name.size()));
  std::uint8_t* field = out.grow(kLoginNameFieldSize);
  for (std::size_t i = 0; i < kLoginNameFieldSize; ++i) {
    std::uint8_t byte = i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0;
    field[i] = static_cast<std::uint8_t>(byte ^ (i + 1));
  }
  auto proof = MakeLoginProof(name, encryptor);
  out.append(proof.data(), proof.size());
  return true;
}

// ---- OpeningParser ----

// The parser stops at offset 8 (header check) and 12 (kind check) before it asks for the rest.
std::size_t OpeningParser::target() const {
  if (size_ < kOpeningHeaderSize) return kOpeningHeaderSize;
  if (size_ < kOpeningMinLength) return kOpeningMinLength;
  std::size_t total = DecodeFixed32(bytes_ + 4);
  return DecodeFixed32(bytes_ + 8) == kOpeningKindData ? total + kSessionIdSize : total;
}

std::size_t OpeningParser::wanted() const {
  if (state_ != ParseResult::kNeedMore) return 0;
  // Every opening message has its header and kind, so those come in one read.
  if (size_ < kOpeningMinLength) return kOpeningMinLength - size_;
  return target() - size_;
}

ParseResult OpeningParser::feed(std::span<const std::uint8_t> bytes) {
  if (state_ != ParseResult::kNeedMore) return state_;
  while (!bytes.empty()) {
    std::size_t take = std::min(bytes.size(), target() - size_);
    std::memcpy(bytes_ + size_, bytes.data(), take);
    size_ += take;
    bytes = bytes.subspan(take);
    if (size_ == kOpeningHeaderSize) {
      std::uint32_t total = DecodeFixed32(bytes_ + 4);
      if (DecodeFixed32(bytes_) != kOpeningCode || total < kOpeningMinLength ||
          total > kOpeningMaxLength) {
        // The rest of the header-and-kind read was taken too.
        const std::size_t rest = std::min(bytes.size(), kOpeningMinLength - size_);
        std::memcpy(bytes_ + size_, bytes.data(), rest);
        size_ += rest;
        return state_ = ParseResult::kBad;
      }
    }
    if (size_ == kOpeningMinLength) {
      std::uint32_t kind = DecodeFixed32(bytes_ + 8);
      if (kind != kOpeningKindSession && kind != kOpeningKindData) {
        return state_ = ParseResult::kBad;
      }
    }
    if (size_ >= kOpeningMinLength && size_ == target()) {
      // Anything left over would have been read past the message.
      return state_ = bytes.empty() ? ParseResult::kDone : ParseResult::kBad;
    }
  }
  return state_;
}

std::uint32_t OpeningParser::kind() const {
  return size_ >= kOpeningMinLength ? DecodeFixed32(bytes_ + 8) : 0;
}

std::string OpeningParser::versionText() const {
  if (size_ < kOpeningHeaderSize) return {};
  std::size_t total = std::min<std::size_t>(DecodeFixed32(bytes_ + 4), size_);
  if (total <= kOpeningVersionOffset) return {};
  return TextUpToNul({bytes_ + kOpeningVersionOffset, total - kOpeningVersionOffset});
}

std::uint32_t OpeningParser::sessionId() const {
  if (state_ != ParseResult::kDone || kind() != kOpeningKindData) return 0;
  return DecodeFixed32(bytes_ + size_ - kSessionIdSize);
}

// ---- MessageReader ----

ParseResult MessageReader::peek(std::span<const std::uint8_t> bytes,
                                SessionMessage& message) const {
  if (bytes.size() < kMessageHeaderSize) return ParseResult::kNeedMore;
  std::size_t total = DecodeFixed32(bytes.data() + 4);
  if (total < kMessageHeaderSize || total > maxTotalLength_) return ParseResult::kBad;
  if (bytes.size() < total) return ParseResult::kNeedMore;
  message.type = DecodeFixed32(bytes.data());
  message.totalLength = total;
  message.payload = bytes.subspan(kMessageHeaderSize, total - kMessageHeaderSize);
  return ParseResult::kDone;
}

// ---- Payload parsers ----

bool ParseLogin(std::span<const std::uint8_t> payload, LoginRequest& login) {
  if (payload.size() != kLoginPayloadSize) return false;
  std::uint32_t nameLength = DecodeFixed32(payload.data());
  if (nameLength > kLoginNameFieldSize) return false;
  login.name.clear();
  const std::uint8_t* field = payload.data() + 4;
  for (std::size_t i = 0; i < nameLength; ++i) {
    char c = static_cast<char>(field[i] ^ static_cast<std::uint8_t>(i + 1));
    if (c == '\0') break;
    login.name.push_back(c);
  }
  std::memcpy(login.proof.data(), field + kLoginNameFieldSize, kLoginProofSize);
  return true;
}

bool ParseVersionRange(std::span<const std::uint8_t> payload, std::string& rangeText) {
  if (payload.size() < 8) return false;
  std::size_t n = DecodeFixed32(payload.data() + 4);
  if (n != payload.size() - 8) return false;
  rangeText.assign(reinterpret_cast<const char*>(payload.data() + 8), n);
  return true;
}

bool ParseTrafficInfoReply(std::span<const std::uint8_t> payload, std::int64_t& limit,
                           std::int64_t& counter) {
  if (payload.size() != 16) return false;
  limit = static_cast<std::int64_t>(DecodeFixed64(payload.data()));
  counter = static_cast<std::int64_t>(DecodeFixed64(payload.data() + 8));
  return true;
}

bool ParseLoginAccepted(std::span<const std::uint8_t> payload, std::uint32_t& sessionId) {
  if (payload.size() != 4) return false;
  sessionId = DecodeFixed32(payload.data());
  return true;
}

bool ParseUdpDataRequest(std::span<const std::uint8_t> payload, UdpDataHeader& header) {
  if (payload.size() < kUdpRequestHeaderSize) return false;
  header.address = GetAddress(payload.data());
  header.port = GetPort(payload.data() + 4);
  header.value = static_cast<std::uint16_t>(DecodeFixed32(payload.data() + 8));
  header.channel = DecodeFixed32(payload.data() + 12);
  header.record = payload.subspan(kUdpRequestHeaderSize);
  return true;
}

bool ParseUdpDataReply(std::span<const std::uint8_t> payload, UdpDataHeader& header) {
  if (payload.size() < kUdpReplyHeaderSize) return false;
  header.address = GetAddress(payload.data());
  header.port = GetPort(payload.data() + 4);
  header.value = 0;
  header.channel = DecodeFixed32(payload.data() + 8);
  header.record = payload.subspan(kUdpReplyHeaderSize);
  return true;
}

bool ParseUdpClose(std::span<const std::uint8_t> payload, std::uint32_t& channel) {
  if (payload.size() < 4) return false;
  channel = DecodeFixed32(payload.data());
  return true;
}

bool SplitResolveRequest(std::span<const std::uint8_t> payload,
                         std::vector<std::span<const std::uint8_t>>& records) {
  records.clear();
  if (payload.size() < 4) return false;
  std::uint32_t count = DecodeFixed32(payload.data());
  payload = payload.subspan(4);
  // Every record takes at least its 2-byte prefix, which bounds the count before reserving.
  if (count > payload.size() / kRecordPrefixSize) return false;
  records.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (payload.size() < kRecordPrefixSize) return false;
    std::size_t size = RecordSize(DecodeFixed16(payload.data()));
    if (payload.size() < size) return false;
    records.push_back(payload.first(size));
    payload = payload.subspan(size);
  }
  return true;
}

bool ParseResolveAnswer(std::span<const std::uint8_t> plaintext, std::uint32_t& address,
                        std::string& name) {
  if (plaintext.size() < 4) return false;
  address = GetAddress(plaintext.data());
  name = TextUpToNul(plaintext.subspan(4));
  return true;
}

std::string FormatIPv4(std::uint32_t address) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::string TextUpToNul(std::span<const std::uint8_t> bytes) {
  // An empty buffer may have no storage at all, and memchr must not see a null pointer.
  if (bytes.empty()) return {};
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  const void* nul = std::memchr(begin, '\0', bytes.size());
  std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin)
                           : bytes.size();
  return std::string(begin, length);
}

}  // namespace tarvo
