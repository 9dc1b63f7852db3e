#include "server/common/session_protocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "server/common/coding.h"
#include "server/common/password_hash.h"
#include "tests/test_vectors.h"

namespace tarvo {
namespace {

using test::FromHex;
using test::ToHex;
using test::Vectors;

std::string Hex(const ByteBuffer& buffer) { return ToHex(buffer.data(), buffer.size()); }

std::string Frame(const char* name) { return Vectors()["frames"][name].get<std::string>(); }

AESEncryptor SecretEncryptor() {
  static const std::string key = DeriveSessionKeyText("secret");
  return AESEncryptor(key.c_str(), static_cast<int>(key.size()));
}

std::uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

TEST(SessionProtocolTest, BuildersMatchVectors) {
  ByteBuffer out;
  AppendHello(out, VersionRangeText("2.0.4", "2.0.5"));
  EXPECT_EQ(Hex(out), Frame("hello_default_hex"));

  out.clear();
  AppendMessage(out, MessageType::TrafficInfo);
  EXPECT_EQ(Hex(out), Frame("traffic_info_request_hex"));

  out.clear();
  ASSERT_TRUE(AppendSessionOpening(out, "2.0.5"));
  EXPECT_EQ(Hex(out), Frame("opening_session_2.0.5_hex"));

  out.clear();
  AppendDataOpening(out, 0x12345678);
  AppendDestinationHeader(out, Loopback(), 8080);
  EXPECT_EQ(Hex(out), Frame("opening_data_sid_0x12345678_to_127.0.0.1:8080_hex"));

  AESEncryptor encryptor = SecretEncryptor();
  out.clear();
  const std::uint8_t hi[] = {'h', 'i'};
  AppendUdpDataRequest(out, encryptor, Loopback(), 53, 7, 5, hi);
  EXPECT_EQ(Hex(out), Frame("udp_data_secret_127.0.0.1:53_value7_channel5_'hi'_hex"));

  out.clear();
  const std::string names[] = {"localhost"};
  AppendResolveRequest(out, encryptor, names);
  EXPECT_EQ(Hex(out), Frame("resolve_secret_['localhost']_hex"));
}

TEST(SessionProtocolTest, LoginPayloadAndFrameMatchVectors) {
  const auto& login = Vectors()["login"];
  const std::string key = DeriveSessionKeyText(login["password_text"].get<std::string>().c_str());
  ASSERT_EQ(key, login["session_key_text"].get<std::string>());
  AESEncryptor encryptor(key.c_str(), 32);
  const std::string user = login["user_text"];

  ByteBuffer payload;
  ASSERT_TRUE(AppendLoginPayload(payload, user, encryptor));
  EXPECT_EQ(Hex(payload), login["payload_hex"].get<std::string>());

  ByteBuffer frame;
  AppendMessage(frame, MessageType::Login, payload.view());
  EXPECT_EQ(Hex(frame), login["frame_hex"].get<std::string>());

  // The daemon's side: parse the vector and check the proof it carries.
  const test::Bytes bytes = FromHex(login["payload_hex"].get<std::string>());
  LoginRequest request;
  ASSERT_TRUE(ParseLogin(bytes, request));
  EXPECT_EQ(request.name, user);
  auto expected = MakeLoginProof(request.name, encryptor);
  EXPECT_TRUE(ProofsEqual(expected.data(), request.proof.data()));
  auto other = MakeLoginProof("alicf", encryptor);
  EXPECT_FALSE(ProofsEqual(other.data(), request.proof.data()));
}

TEST(SessionProtocolTest, LoginNameLengthBounds) {
  AESEncryptor encryptor = SecretEncryptor();
  const std::string longest(kLoginNameFieldSize, 'n');
  ByteBuffer payload;
  ASSERT_TRUE(AppendLoginPayload(payload, longest, encryptor));
  ASSERT_EQ(payload.size(), kLoginPayloadSize);
  LoginRequest request;
  ASSERT_TRUE(ParseLogin(payload.view(), request));
  EXPECT_EQ(request.name, longest);
  EXPECT_FALSE(AppendLoginPayload(payload, longest + "n", encryptor));

  // A name length of 129, or one that is negative as a signed number, is bad.
  for (std::uint32_t length : {129u, 0xFFFFFFFFu, 0x80000000u}) {
    EncodeFixed32(payload.data(), length);
    EXPECT_FALSE(ParseLogin(payload.view(), request)) << length;
  }

  // Length 0: the empty name, proven over 128 zero bytes.
  ByteBuffer empty;
  ASSERT_TRUE(AppendLoginPayload(empty, "", encryptor));
  ASSERT_TRUE(ParseLogin(empty.view(), request));
  EXPECT_EQ(request.name, "");
  ByteBuffer zeros;
  const std::uint8_t zero[kLoginProofSize] = {};
  encryptor.transformAppend(zero, sizeof zero, zeros);
  EXPECT_TRUE(ProofsEqual(request.proof.data(), zeros.data() + kRecordPrefixSize));

  // Wrong payload sizes.
  EXPECT_FALSE(ParseLogin(std::span(empty.data(), kLoginPayloadSize - 1), request));
  test::Bytes longer(kLoginPayloadSize + 1);
  EXPECT_FALSE(ParseLogin(longer, request));
}

TEST(SessionProtocolTest, LoginNameEndsAtNul) {
  AESEncryptor encryptor = SecretEncryptor();
  ByteBuffer payload;
  ASSERT_TRUE(AppendLoginPayload(payload, std::string("bob\0eve", 7), encryptor));
  LoginRequest request;
  ASSERT_TRUE(ParseLogin(payload.view(), request));
  EXPECT_EQ(request.name, "bob");
}

TEST(SessionProtocolTest, OpeningMessageOneByteAtATime) {
  ByteBuffer session;
  ASSERT_TRUE(AppendSessionOpening(session, "2.0.5"));
  OpeningParser parser;
  for (std::size_t i = 0; i < session.size(); ++i) {
    ASSERT_GT(parser.wanted(), 0u);
    ParseResult result = parser.feed(std::span(session.data() + i, 1));
    EXPECT_EQ(result, i + 1 == session.size() ? ParseResult::kDone : ParseResult::kNeedMore);
  }
  EXPECT_EQ(parser.wanted(), 0u);
  EXPECT_EQ(parser.kind(), kOpeningKindSession);
  EXPECT_EQ(parser.versionText(), "2.0.5");

  // A data connection's parser asks for the session id but never for the destination header.
  ByteBuffer data;
  AppendDataOpening(data, 0x12345678);
  AppendDestinationHeader(data, Loopback(), 8080);
  OpeningParser dataParser;
  std::size_t offset = 0;
  ParseResult result = ParseResult::kNeedMore;
  while (result == ParseResult::kNeedMore) {
    std::size_t take = std::min<std::size_t>(dataParser.wanted(), 3);
    result = dataParser.feed(std::span(data.data() + offset, take));
    offset += take;
  }
  EXPECT_EQ(result, ParseResult::kDone);
  EXPECT_EQ(offset, 20u);
  EXPECT_EQ(dataParser.kind(), kOpeningKindData);
  EXPECT_EQ(dataParser.sessionId(), 0x12345678u);

  // Header and kind come in one read, as the daemon asks for them; a bad header still counts
  // the whole read as taken.
  OpeningParser whole;
  EXPECT_EQ(whole.wanted(), kOpeningMinLength);
  std::vector<std::uint8_t> bad(data.data(), data.data() + kOpeningMinLength);
  bad[0] ^= 0xFF;
  EXPECT_EQ(whole.feed(bad), ParseResult::kBad);
  EXPECT_EQ(whole.received(), kOpeningMinLength);
  EXPECT_EQ(whole.wanted(), 0u);
}

TEST(SessionProtocolTest, OpeningVersionTextForms) {
  struct Case {
    std::string bytes;
    std::string version;
  } cases[] = {
      {std::string("2.0.4\0garbage", 13), "2.0.4"},
      {"", ""},
      {std::string(112, '9'), std::string(112, '9')},
  };
  for (const Case& c : cases) {
    ByteBuffer message;
    ASSERT_TRUE(AppendSessionOpening(message, c.bytes));
    OpeningParser parser;
    ASSERT_EQ(parser.feed(message.view()), ParseResult::kDone);
    EXPECT_EQ(parser.versionText(), c.version);
  }
  // A 12-byte message has no room for a text.
  ByteBuffer shortest;
  PutFixed32(shortest, kOpeningCode);
  PutFixed32(shortest, 12);
  PutFixed32(shortest, kOpeningKindSession);
  OpeningParser parser;
  ASSERT_EQ(parser.feed(shortest.view()), ParseResult::kDone);
  EXPECT_EQ(parser.versionText(), "");

  ByteBuffer tooLong;
  EXPECT_FALSE(AppendSessionOpening(tooLong, std::string(113, '1')));
  EXPECT_TRUE(tooLong.empty());
}

TEST(SessionProtocolTest, OpeningBadHeaderOrKind) {
  auto parse = [](std::uint32_t code, std::uint32_t total, std::uint32_t kind) {
    ByteBuffer message;
    PutFixed32(message, code);
    PutFixed32(message, total);
    PutFixed32(message, kind);
    OpeningParser parser;
    ParseResult header = parser.feed(std::span(message.data(), 8));
    if (header != ParseResult::kNeedMore) return header;
    return parser.feed(std::span(message.data() + 8, 4));
  };
  EXPECT_EQ(parse(53, 16, 0), ParseResult::kBad);
  EXPECT_EQ(parse(52, 11, 0), ParseResult::kBad);
  EXPECT_EQ(parse(52, 129, 0), ParseResult::kBad);
  EXPECT_EQ(parse(52, 0xFFFFFFFF, 0), ParseResult::kBad);
  EXPECT_EQ(parse(52, 16, 2), ParseResult::kBad);
  EXPECT_EQ(parse(52, 128, 0), ParseResult::kNeedMore);
  EXPECT_EQ(parse(52, 12, 0), ParseResult::kDone);

  // The bad header is found with the first 8 bytes, and the parser then wants nothing.
  ByteBuffer message;
  PutFixed32(message, 7);
  PutFixed32(message, 16);
  OpeningParser parser;
  EXPECT_EQ(parser.feed(message.view()), ParseResult::kBad);
  EXPECT_EQ(parser.wanted(), 0u);
}

TEST(SessionProtocolTest, MessageReaderFramesAndBounds) {
  ByteBuffer stream;
  AppendMessage(stream, MessageType::TrafficInfo);
  AppendLoginAccepted(stream, 0xCAFEBABE);
  MessageReader reader;
  SessionMessage message;
  for (std::size_t n = 0; n < 8; ++n) {
    EXPECT_EQ(reader.peek(std::span(stream.data(), n), message), ParseResult::kNeedMore);
  }
  ASSERT_EQ(reader.peek(stream, message), ParseResult::kDone);
  EXPECT_EQ(message.type, MessageType::TrafficInfo);
  EXPECT_EQ(message.totalLength, 8u);
  EXPECT_TRUE(message.payload.empty());
  stream.consume(message.totalLength);
  EXPECT_EQ(reader.peek(std::span(stream.data(), 11), message), ParseResult::kNeedMore);
  ASSERT_EQ(reader.peek(stream, message), ParseResult::kDone);
  std::uint32_t sessionId = 0;
  ASSERT_TRUE(ParseLoginAccepted(message.payload, sessionId));
  EXPECT_EQ(sessionId, 0xCAFEBABEu);

  // Total lengths below 8 are bad; so is one above the bound, from its header alone.
  for (std::uint32_t total : {0u, 7u, static_cast<std::uint32_t>(kMaxMessageLengthBeforeLogin + 1),
                              0xFFFFFFFFu}) {
    ByteBuffer header;
    AppendMessage(header, MessageType::Login);
    EncodeFixed32(header.data() + 4, total);
    EXPECT_EQ(reader.peek(header, message), ParseResult::kBad) << total;
  }
  ByteBuffer atBound;
  AppendMessageHeader(atBound, MessageType::TextMessage, kMaxMessageLengthBeforeLogin - 8);
  EXPECT_EQ(reader.peek(atBound, message), ParseResult::kNeedMore);

  // The largest legitimate UdpData passes the logged-in bound.
  AESEncryptor encryptor = SecretEncryptor();
  test::Bytes datagram(kMaxRecordPlaintext, 0x55);
  ByteBuffer udp;
  AppendUdpDataRequest(udp, encryptor, Loopback(), 53, 0, 1, datagram);
  reader.setMaxTotalLength(kMaxMessageLengthLoggedIn);
  ASSERT_EQ(reader.peek(udp, message), ParseResult::kDone);
  UdpDataHeader parsed;
  ASSERT_TRUE(ParseUdpDataRequest(message.payload, parsed));
  EXPECT_EQ(parsed.port, 53);
  EXPECT_EQ(parsed.record.size(), RecordSize(kMaxRecordPlaintext));
}

TEST(SessionProtocolTest, ServerRepliesRoundTrip) {
  AESEncryptor encryptor = SecretEncryptor();
  const std::string key = DeriveSessionKeyText("secret");
  AESDecryptor decryptor(key.c_str(), 32);
  MessageReader reader(kMaxMessageLengthLoggedIn);
  SessionMessage message;

  ByteBuffer out;
  AppendVersionRefused(out, "2.0.4-2.0.5");
  ASSERT_EQ(reader.peek(out, message), ParseResult::kDone);
  EXPECT_EQ(message.type, kVersionRefusedCode);
  std::string range;
  ASSERT_TRUE(ParseVersionRange(message.payload, range));
  EXPECT_EQ(range, "2.0.4-2.0.5");

  out.clear();
  AppendTrafficInfoReply(out, 0, -1);
  ASSERT_EQ(reader.peek(out, message), ParseResult::kDone);
  EXPECT_EQ(Hex(out), "07000000180000000000000000000000ffffffffffffffff");
  std::int64_t limit = 1, counter = 0;
  ASSERT_TRUE(ParseTrafficInfoReply(message.payload, limit, counter));
  EXPECT_EQ(limit, 0);
  EXPECT_EQ(counter, -1);

  out.clear();
  const std::uint8_t reply[] = {1, 2, 3};
  AppendUdpDataReply(out, encryptor, htonl(0xC0000205), 5353, 9, reply);
  ASSERT_EQ(reader.peek(out, message), ParseResult::kDone);
  UdpDataHeader udp;
  ASSERT_TRUE(ParseUdpDataReply(message.payload, udp));
  EXPECT_EQ(FormatIPv4(udp.address), "192.0.2.5");
  EXPECT_EQ(udp.port, 5353);
  EXPECT_EQ(udp.channel, 9u);
  EXPECT_EQ(ToHex(decryptor.transform(udp.record.data(), udp.record.size()).view().data(), 3),
            "010203");

  out.clear();
  AppendResolveAnswer(out, encryptor, Loopback(), "localhost");
  ASSERT_EQ(reader.peek(out, message), ParseResult::kDone);
  ByteBuffer plain = decryptor.transform(message.payload.data(), message.payload.size());
  std::uint32_t address = 0;
  std::string name;
  ASSERT_TRUE(ParseResolveAnswer(plain.view(), address, name));
  EXPECT_EQ(address, Loopback());
  EXPECT_EQ(name, "localhost");

  out.clear();
  AppendTextMessage(out, encryptor, "hello");
  ASSERT_EQ(reader.peek(out, message), ParseResult::kDone);
  plain = decryptor.transform(message.payload.data(), message.payload.size());
  EXPECT_EQ(TextUpToNul(plain.view()), "hello");
  EXPECT_EQ(plain.size(), 6u);
}

TEST(SessionProtocolTest, ResolveRequestSplitting) {
  AESEncryptor encryptor = SecretEncryptor();
  const std::string names[] = {"a", std::string(40, 'b'), ""};
  ByteBuffer out;
  AppendResolveRequest(out, encryptor, names);
  MessageReader reader(kMaxMessageLengthLoggedIn);
  SessionMessage message;
  ASSERT_EQ(reader.peek(out, message), ParseResult::kDone);
  std::vector<std::span<const std::uint8_t>> records;
  ASSERT_TRUE(SplitResolveRequest(message.payload, records));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].size(), RecordSize(2));
  EXPECT_EQ(records[1].size(), RecordSize(41));

  // A count larger than the records present, or a record cut short, is bad.
  ByteBuffer payload(message.payload.data(), message.payload.size());
  EncodeFixed32(payload.data(), 4);
  EXPECT_FALSE(SplitResolveRequest(payload.view(), records));
  EncodeFixed32(payload.data(), 0xFFFFFFFF);
  EXPECT_FALSE(SplitResolveRequest(payload.view(), records));
  EncodeFixed32(payload.data(), 3);
  EXPECT_FALSE(SplitResolveRequest(std::span(payload.data(), payload.size() - 1), records));
}

}  // namespace
}  // namespace tarvo
