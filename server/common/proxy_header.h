// The PROXY protocol version 2 header that a load balancer (HAProxy's send-proxy-v2) puts in
// front of a connection it passes on: who the client really is. Only the binary version 2 is
// read; its 12-byte signature cannot begin a Tarvo opening message or a TLS record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "server/common/session_protocol.h"

namespace tarvo {

inline constexpr std::size_t kProxyHeaderFixedSize = 16;
// Far more than the addresses and the TLVs a balancer adds (HAProxy sends well under 300).
inline constexpr std::size_t kMaxProxyHeaderSize = 4096;

class ProxyHeaderParser {
 public:
  // Takes bytes as they arrive; kDone once the whole header is in (consumed() says how many of
  // the bytes given so far were the header's), kBad for anything that is not a valid version 2
  // header or gives no IPv4 client.
  ParseResult feed(std::span<const std::uint8_t> bytes);
  std::size_t consumed() const { return consumed_; }
  // How many more bytes the header has at least: a reader that takes no more than this never
  // takes a byte past the header.
  std::size_t wanted() const {
    if (state_ != ParseResult::kNeedMore) return 0;
    return (total_ == 0 ? kProxyHeaderFixedSize : total_) - have_;
  }

  // From kDone on. A LOCAL header (the balancer's own health check) or one without an address
  // family says nothing: the connection's own address stands.
  bool hasClient() const { return hasClient_; }
  std::uint32_t clientAddress() const { return address_; }  // network order
  std::uint16_t clientPort() const { return port_; }        // host order

 private:
  ParseResult finish();

  std::uint8_t header_[kProxyHeaderFixedSize + 36] = {};  // the fixed part and the addresses
  std::size_t have_ = 0;       // bytes of the header taken
  std::size_t total_ = 0;      // the header's length, once the fixed part is in
  std::size_t consumed_ = 0;   // of the bytes fed, the header's
  ParseResult state_ = ParseResult::kNeedMore;
  bool hasClient_ = false;
  std::uint32_t address_ = 0;
  std::uint16_t port_ = 0;
};

}  // namespace tarvo
