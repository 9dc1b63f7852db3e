#include "client/socks5_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvo::socks {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Socks5Greeting, AssembledPieceByPieceAndMethodsRead) {
  const Bytes greeting = {5, 2, 0, 2};
  Greeting parsed;
  std::size_t used = 0;
  for (std::size_t n = 0; n < greeting.size(); ++n) {
    EXPECT_EQ(ParseGreeting({greeting.data(), n}, parsed, used), ParseResult::kNeedMore) << n;
  }
  ASSERT_EQ(ParseGreeting(greeting, parsed, used), ParseResult::kDone);
  EXPECT_EQ(used, 4u);
  EXPECT_TRUE(parsed.offersNone);
  EXPECT_TRUE(parsed.offersUserPassword);

  // A pipelined request behind the greeting is not taken.
  const Bytes withMore = {5, 1, 2, 5, 1, 0};
  ASSERT_EQ(ParseGreeting(withMore, parsed, used), ParseResult::kDone);
  EXPECT_EQ(used, 3u);
  EXPECT_FALSE(parsed.offersNone);
}

TEST(Socks5Greeting, WrongVersionOrNoMethodsIsBad) {
  Greeting parsed;
  std::size_t used = 0;
  EXPECT_EQ(ParseGreeting(Bytes{4}, parsed, used), ParseResult::kBad);  // SOCKS4 client
  EXPECT_EQ(ParseGreeting(Bytes{4, 1, 0}, parsed, used), ParseResult::kBad);
  EXPECT_EQ(ParseGreeting(Bytes{5, 0}, parsed, used), ParseResult::kBad);
  // An HTTP request sent to the proxy port by mistake.
  const std::string http = "GET / HTTP/1.1\r\n";
  EXPECT_EQ(ParseGreeting({reinterpret_cast<const std::uint8_t*>(http.data()), http.size()}, parsed,
                          used),
            ParseResult::kBad);
}

TEST(Socks5Credentials, UserAndPasswordIncludingEmptyOnes) {
  Credentials parsed;
  std::size_t used = 0;
  const Bytes full = {1, 3, 'b', 'o', 'b', 2, 'p', 'w'};
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(ParseCredentials({full.data(), n}, parsed, used), ParseResult::kNeedMore) << n;
  }
  ASSERT_EQ(ParseCredentials(full, parsed, used), ParseResult::kDone);
  EXPECT_EQ(used, full.size());
  EXPECT_EQ(parsed.user, "bob");
  EXPECT_EQ(parsed.password, "pw");

  ASSERT_EQ(ParseCredentials(Bytes{1, 0, 0}, parsed, used), ParseResult::kDone);
  EXPECT_EQ(parsed.user, "");
  EXPECT_EQ(parsed.password, "");
  EXPECT_EQ(ParseCredentials(Bytes{5, 1, 'a', 0}, parsed, used), ParseResult::kBad);
}

TEST(Socks5Request, IPv4DomainAndIPv6Destinations) {
  Request request;
  std::size_t used = 0;
  const Bytes ipv4 = {5, 1, 0, 1, 127, 0, 0, 1, 0x1f, 0x90};
  for (std::size_t n = 0; n < ipv4.size(); ++n) {
    EXPECT_EQ(ParseRequest({ipv4.data(), n}, request, used), ParseResult::kNeedMore) << n;
  }
  ASSERT_EQ(ParseRequest(ipv4, request, used), ParseResult::kDone);
  EXPECT_EQ(used, 10u);
  EXPECT_EQ(request.command, 1);
  EXPECT_EQ(request.destination.type, AddressType::kIPv4);
  EXPECT_EQ(FormatIPv4(request.destination.ipv4), "127.0.0.1");
  EXPECT_EQ(request.destination.port, 8080);

  const Bytes domain = {5, 3, 0, 3, 9, 'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't', 0, 80};
  ASSERT_EQ(ParseRequest(domain, request, used), ParseResult::kDone);
  EXPECT_EQ(used, domain.size());
  EXPECT_EQ(request.command, 3);
  EXPECT_EQ(request.destination.type, AddressType::kDomain);
  EXPECT_EQ(request.destination.host, "localhost");
  EXPECT_EQ(request.destination.port, 80);

  Bytes ipv6 = {5, 1, 0, 4};
  ipv6.resize(4 + 16 + 2, 0);
  ASSERT_EQ(ParseRequest(ipv6, request, used), ParseResult::kDone);
  EXPECT_EQ(request.destination.type, AddressType::kIPv6);

  // Unknown commands parse: the proxy answers them with "command not supported".
  ASSERT_EQ(ParseRequest(Bytes{5, 9, 0, 1, 1, 2, 3, 4, 0, 1}, request, used), ParseResult::kDone);
  EXPECT_EQ(request.command, 9);
}

TEST(Socks5Request, MalformedRequestsAreBad) {
  Request request;
  std::size_t used = 0;
  EXPECT_EQ(ParseRequest(Bytes{4, 1, 0, 1}, request, used), ParseResult::kBad);
  EXPECT_EQ(ParseRequest(Bytes{5, 1, 1, 1}, request, used), ParseResult::kBad);  // reserved
  EXPECT_EQ(ParseRequest(Bytes{5, 1, 0, 2}, request, used), ParseResult::kBad);  // address type
  EXPECT_EQ(ParseRequest(Bytes{5, 1, 0, 3, 0, 0, 80}, request, used), ParseResult::kBad);
  // A NUL would end the name early on the daemon's side and so name another host.
  EXPECT_EQ(ParseRequest(Bytes{5, 1, 0, 3, 3, 'a', 0, 'b', 0, 80}, request, used),
            ParseResult::kBad);
}

TEST(Socks5Udp, HeaderParsedAndBuiltBack) {
  const Bytes datagram = {0, 0, 0, 1, 10, 0, 0, 7, 0x00, 0x35, 'h', 'i'};
  UdpHeader header;
  ASSERT_EQ(ParseUdpHeader(datagram, header), ParseResult::kDone);
  EXPECT_EQ(header.fragment, 0);
  EXPECT_EQ(header.headerSize, 10u);
  EXPECT_EQ(FormatIPv4(header.destination.ipv4), "10.0.0.7");
  EXPECT_EQ(header.destination.port, 53);

  const Bytes fragment = {0, 0, 1, 3, 1, 'x', 0, 7};
  ASSERT_EQ(ParseUdpHeader(fragment, header), ParseResult::kDone);
  EXPECT_EQ(header.fragment, 1);
  EXPECT_EQ(header.destination.host, "x");
  EXPECT_EQ(ParseUdpHeader(Bytes{0, 0, 0, 1, 10, 0}, header), ParseResult::kBad);  // short
  EXPECT_EQ(ParseUdpHeader(Bytes{0, 1, 0, 1, 10, 0, 0, 7, 0, 53}, header), ParseResult::kBad);

  ByteBuffer built;
  AppendUdpHeader(built, header.destination.ipv4, 53);
  EXPECT_EQ(built.size(), 10u);
  EXPECT_EQ(built.data()[3], 1);
  EXPECT_EQ(built.data()[9], 53);
}

TEST(Socks5Replies, Bytes) {
  ByteBuffer out;
  AppendMethodChoice(out, kMethodNoneAcceptable);
  AppendAuthResult(out, false);
  AppendReply(out, Reply::kConnectionRefused);
  const Bytes expected = {5, 0xff, 1, 1, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(out.data(), out.data() + out.size()), expected);
}

}  // namespace
}  // namespace tarvo::socks
