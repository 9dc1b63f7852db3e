// The PROXY protocol v2 header as HAProxy's send-proxy-v2 writes it: the client's address from
// it however the bytes arrive, nothing taken past it, and anything else refused at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/common/proxy_header.h"

namespace tarvo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A version 2 header: command, family and transport, addresses, and a TLV of 3 bytes (as a
// balancer adds its own) after them.
Bytes Header(std::uint8_t command, std::uint8_t family, const Bytes& addresses) {
  Bytes header{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A,
               static_cast<std::uint8_t>(0x20 | command), family};
  const Bytes tlv{0x04, 0x00, 0x00};  // PP2_TYPE_NOOP, empty
  const std::size_t length = addresses.size() + tlv.size();
  header.push_back(static_cast<std::uint8_t>(length >> 8));
  header.push_back(static_cast<std::uint8_t>(length & 0xFF));
  header.insert(header.end(), addresses.begin(), addresses.end());
  header.insert(header.end(), tlv.begin(), tlv.end());
  return header;
}

// 127.0.0.9:5555 to 127.0.0.1:80.
const Bytes kInet{127, 0, 0, 9, 127, 0, 0, 1, 0x15, 0xB3, 0x00, 0x50};

TEST(ProxyHeaderTest, TheClientComesFromTheHeaderWholeOrByteByByteAndNothingPastIt) {
  Bytes stream = Header(0x1, 0x11, kInet);
  const std::size_t headerSize = stream.size();
  stream.insert(stream.end(), {0x34, 0x00, 0x00, 0x00});  // the opening message follows

  ProxyHeaderParser whole;
  ASSERT_EQ(whole.feed(stream), ParseResult::kDone);
  EXPECT_EQ(whole.consumed(), headerSize);
  EXPECT_TRUE(whole.hasClient());
  EXPECT_EQ(whole.clientAddress(), ::inet_addr("127.0.0.9"));
  EXPECT_EQ(whole.clientPort(), 5555);

  ProxyHeaderParser piecewise;
  for (std::size_t i = 0; i + 1 < headerSize; ++i) {
    ASSERT_EQ(piecewise.feed({&stream[i], 1}), ParseResult::kNeedMore) << i;
  }
  ASSERT_EQ(piecewise.feed({&stream[headerSize - 1], 5}), ParseResult::kDone);
  EXPECT_EQ(piecewise.consumed(), 1u);
  EXPECT_EQ(piecewise.clientAddress(), ::inet_addr("127.0.0.9"));

  // LOCAL (a health check) and an unspecified family say nothing of a client.
  for (const Bytes& header : {Header(0x0, 0x00, {}), Header(0x1, 0x00, {})}) {
    ProxyHeaderParser parser;
    ASSERT_EQ(parser.feed(header), ParseResult::kDone);
    EXPECT_FALSE(parser.hasClient());
  }
  // An IPv4-mapped IPv6 client is its IPv4 address.
  Bytes mapped(36, 0);
  mapped[10] = mapped[11] = 0xFF;
  mapped[12] = 192, mapped[13] = 0, mapped[14] = 2, mapped[15] = 7;
  ProxyHeaderParser six;
  ASSERT_EQ(six.feed(Header(0x1, 0x21, mapped)), ParseResult::kDone);
  EXPECT_EQ(six.clientAddress(), ::inet_addr("192.0.2.7"));
}

TEST(ProxyHeaderTest, AnythingElseIsRefused) {
  const auto verdict = [](const Bytes& bytes) {
    ProxyHeaderParser parser;
    return parser.feed(bytes);
  };
  // Refused at the first byte: a designed opening message, a TLS record, the text version 1.
  EXPECT_EQ(verdict({0x34}), ParseResult::kBad);
  EXPECT_EQ(verdict({0x16, 0x03, 0x01}), ParseResult::kBad);
  EXPECT_EQ(verdict({'P', 'R', 'O', 'X', 'Y', ' '}), ParseResult::kBad);

  Bytes versionOne = Header(0x1, 0x11, kInet);
  versionOne[12] = 0x11;
  EXPECT_EQ(verdict(versionOne), ParseResult::kBad);
  EXPECT_EQ(verdict(Header(0x2, 0x11, kInet)), ParseResult::kBad);  // no such command
  EXPECT_EQ(verdict(Header(0x1, 0x12, kInet)), ParseResult::kBad);  // UDP
  EXPECT_EQ(verdict(Header(0x1, 0x11, {127, 0, 0, 9})), ParseResult::kBad);  // cut short
  EXPECT_EQ(verdict(Header(0x1, 0x21, Bytes(36, 1))), ParseResult::kBad);  // a real IPv6 client
  Bytes huge = Header(0x1, 0x11, kInet);
  huge[14] = 0xFF;  // 65,280 bytes announced
  EXPECT_EQ(verdict({huge.begin(), huge.begin() + 16}), ParseResult::kBad);
}

}  // namespace
}  // namespace tarvo
