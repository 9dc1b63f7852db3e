#include "server/common/proxy_header.h"

#include <algorithm>
#include <cstring>

namespace tarvo {

namespace {

constexpr std::uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                         0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::uint8_t kVersion2 = 0x20;
constexpr std::uint8_t kCommandLocal = 0x00;
constexpr std::uint8_t kCommandProxy = 0x01;
constexpr std::uint8_t kFamilyUnspec = 0x00;
constexpr std::uint8_t kFamilyInet = 0x10;
constexpr std::uint8_t kFamilyInet6 = 0x20;
constexpr std::uint8_t kTransportStream = 0x01;
constexpr std::size_t kInetAddressesSize = 12;
constexpr std::size_t kInet6AddressesSize = 36;

}  // namespace

ParseResult ProxyHeaderParser::feed(std::span<const std::uint8_t> bytes) {
  if (state_ != ParseResult::kNeedMore) return state_;
  consumed_ = 0;
  while (!bytes.empty()) {
    const std::size_t want = total_ == 0 ? kProxyHeaderFixedSize : total_;
    const std::size_t take = std::min(bytes.size(), want - have_);
    // Only the fixed part and the addresses are kept; the TLVs after them are skipped.
    if (have_ < sizeof header_) {
      std::memcpy(header_ + have_, bytes.data(), std::min(take, sizeof header_ - have_));
    }
    // A wrong signature shows at its first wrong byte, before the rest is waited for.
    for (std::size_t i = have_; i < std::min(have_ + take, sizeof kSignature); ++i) {
      if (header_[i] != kSignature[i]) return state_ = ParseResult::kBad;
    }
    have_ += take;
    consumed_ += take;
    bytes = bytes.subspan(take);
    if (have_ < want) return ParseResult::kNeedMore;
    if (total_ != 0) return state_ = finish();
    if ((header_[12] & 0xF0) != kVersion2) return state_ = ParseResult::kBad;
    const std::size_t length = (std::size_t{header_[14]} << 8) | header_[15];
    total_ = kProxyHeaderFixedSize + length;
    if (total_ > kMaxProxyHeaderSize) return state_ = ParseResult::kBad;
    if (total_ == have_) return state_ = finish();
  }
  return ParseResult::kNeedMore;
}

ParseResult ProxyHeaderParser::finish() {
  const std::uint8_t command = header_[12] & 0x0F;
  const std::uint8_t family = header_[13] & 0xF0;
  const std::uint8_t transport = header_[13] & 0x0F;
  const std::size_t length = total_ - kProxyHeaderFixedSize;
  if (command == kCommandLocal) return ParseResult::kDone;
  if (command != kCommandProxy) return ParseResult::kBad;
  if (family == kFamilyUnspec) return ParseResult::kDone;  // the balancer knows no more
  if (transport != kTransportStream) return ParseResult::kBad;
  const std::uint8_t* addresses = header_ + kProxyHeaderFixedSize;
  if (family == kFamilyInet && length >= kInetAddressesSize) {
    std::memcpy(&address_, addresses, 4);
    port_ = static_cast<std::uint16_t>((addresses[8] << 8) | addresses[9]);
    hasClient_ = true;
    return ParseResult::kDone;
  }
  // An IPv6 client is taken only as an IPv4-mapped address (::ffff:a.b.c.d): every address the
  // daemon keeps, matches and writes is IPv4.
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (family == kFamilyInet6 && length >= kInet6AddressesSize &&
      std::memcmp(addresses, kMapped, sizeof kMapped) == 0) {
    std::memcpy(&address_, addresses + 12, 4);
    port_ = static_cast<std::uint16_t>((addresses[32] << 8) | addresses[33]);
    hasClient_ = true;
    return ParseResult::kDone;
  }
  return ParseResult::kBad;
}

}  // namespace tarvo
