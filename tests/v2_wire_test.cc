// Protocol v2's frames and proofs: the vectors of docs/protocol-v2.md, and the parser's edges.
#include "server/common/v2_wire.h"

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

namespace tarvo::test {
namespace {

// The vectors of docs/protocol-v2.md: exporters are 32 bytes counting up from a first byte.
const nlohmann::json& Vectors() {
  static const nlohmann::json vectors = [] {
    std::ifstream in(std::string(TARVO_TEST_DATA_DIR) + "/v2_vectors.json");
    return nlohmann::json::parse(in);
  }();
  return vectors;
}

V2Exporter Exporter(std::uint8_t first) {
  V2Exporter exporter{};
  for (std::size_t i = 0; i < exporter.size(); ++i) exporter[i] = static_cast<std::uint8_t>(first + i);
  return exporter;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

TEST(V2WireTest, VectorsOfTheDocumentedFormat) {
  for (const auto& v : Vectors().at("v2")) {
    const std::string key = v.at("login_key");
    const std::string name = v.at("name");
    const V2Exporter session = Exporter(v.at("session_exporter_first").get<std::uint8_t>());
    const V2Exporter relay = Exporter(v.at("relay_exporter_first").get<std::uint8_t>());
    const std::uint32_t id = v.at("session_id").get<std::uint32_t>();
    const V2Proof proof = MakeV2LoginProof(key, session, name);
    EXPECT_EQ(Hex(proof), v.at("login_proof"));
    const V2Proof relayKey = MakeV2RelayKey(key, session);
    EXPECT_EQ(Hex(relayKey), v.at("relay_key"));
    EXPECT_EQ(Hex(MakeV2RelayProof(relayKey, relay, id)), v.at("relay_proof"));
    ByteBuffer frame;
    AppendV2SessionOpening(frame, name, proof);
    EXPECT_EQ(Hex(frame.view()), v.at("session_frame"));
    frame.clear();
    AppendV2RelayOpening(frame, id, MakeV2RelayProof(relayKey, relay, id));
    EXPECT_EQ(Hex(frame.view()), v.at("relay_frame"));
  }
}

TEST(V2WireTest, OpeningParserTakesOneFrameAndRefusesWhatCannotBeOne) {
  V2Proof proof{};
  proof.fill(0xAB);
  ByteBuffer stream;
  AppendV2SessionOpening(stream, "alice", proof);
  const std::size_t frameSize = stream.size();
  stream.append("rest", 4);
  V2Opening opening;
  std::size_t consumed = 0;
  // Every cut of the frame needs more; the whole frame leaves what follows it.
  for (std::size_t cut = 0; cut < frameSize; ++cut) {
    EXPECT_EQ(ParseV2Opening(stream.view().first(cut), opening, consumed), ParseResult::kNeedMore);
  }
  ASSERT_EQ(ParseV2Opening(stream.view(), opening, consumed), ParseResult::kDone);
  EXPECT_EQ(consumed, frameSize);
  EXPECT_EQ(opening.name, "alice");
  EXPECT_EQ(opening.proof, proof);

  const std::vector<std::vector<std::uint8_t>> bad = {
      {0x16, 0x03},                 // a second TLS record, not a frame
      {kV2KindRelay, 35},           // relay body of the wrong size
      {kV2KindSession, 32},         // too short for a proof
      {kV2KindSession, 34, 2},      // name length that disagrees with the body
  };
  for (const auto& bytes : bad) {
    EXPECT_EQ(ParseV2Opening(bytes, opening, consumed), ParseResult::kBad) << bytes.size();
  }
  ByteBuffer nul;
  AppendV2SessionOpening(nul, std::string("a\0b", 3), proof);
  EXPECT_EQ(ParseV2Opening(nul.view(), opening, consumed), ParseResult::kBad);
}

TEST(V2WireTest, EnrolmentLineRoundTripsAndFingerprintsNormalize) {
  const std::string fingerprint(64, 'a');
  Enrolment enrolment{"kim@home", "vpn.example.net", 4433, fingerprint};
  const std::string line = FormatEnrolment(enrolment);
  Enrolment parsed;
  ASSERT_TRUE(ParseEnrolment(line + "\n", parsed));
  EXPECT_EQ(parsed.user, "kim@home");
  EXPECT_EQ(parsed.host, "vpn.example.net");
  EXPECT_EQ(parsed.port, 4433);
  EXPECT_EQ(parsed.fingerprint, fingerprint);
  EXPECT_FALSE(ParseEnrolment("tarvo://kim@host:0/?fingerprint=" + fingerprint, parsed));
  EXPECT_FALSE(ParseEnrolment("tarvo://kim@host:1/?fingerprint=abc", parsed));
  std::string colons;
  std::string plain;
  for (int i = 0; i < 32; ++i) {
    colons += (i ? ":" : "") + std::string("AB");
    plain += "ab";
  }
  EXPECT_EQ(NormalizeFingerprint(colons), plain);
  EXPECT_EQ(NormalizeFingerprint(plain + "ab"), "");
}

}  // namespace
}  // namespace tarvo::test
