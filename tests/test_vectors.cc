// Wire vectors that combine the pieces: the login payload and session frames carrying records.
#include <gtest/gtest.h>

#include <string>

#include "server/common/encryption.h"
#include "server/common/password_hash.h"
#include "tests/test_vectors.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

std::uint32_t U32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

Bytes Decode(const std::string& keyText, const std::uint8_t* data, std::size_t size) {
  AESDecryptor dec(keyText.c_str(), static_cast<int>(keyText.size()));
  ByteBuffer out = dec.transform(data, size);
  EXPECT_FALSE(dec.insideRecord());
  return Bytes(out.data(), out.data() + out.size());
}

TEST(WireVectors, LoginPayload) {
  const auto& login = test::Vectors()["login"];
  const auto user = login["user_text"].get<std::string>();
  const auto key = login["session_key_text"].get<std::string>();
  EXPECT_EQ(DeriveSessionKeyText(login["password_text"].get<std::string>().c_str()), key);

  const Bytes payload = FromHex(login["payload_hex"].get<std::string>());
  ASSERT_EQ(payload.size(), 260u);
  ASSERT_EQ(U32(payload, 0), user.size());
  for (std::size_t i = 0; i < 128; ++i) {
    const std::uint8_t nameByte = i < user.size() ? static_cast<std::uint8_t>(user[i]) : 0;
    EXPECT_EQ(payload[4 + i], static_cast<std::uint8_t>(nameByte ^ (i + 1))) << i;
  }

  // The proof is the record of the name repeated to 128 bytes, prefix left out.
  std::string repeated;
  while (repeated.size() < 128) repeated += user;
  repeated.resize(128);
  AESEncryptor enc(key.c_str(), 32);
  const ByteBuffer record =
      enc.transform(reinterpret_cast<const std::uint8_t*>(repeated.data()), repeated.size());
  ASSERT_EQ(record.size(), 130u);
  EXPECT_EQ(ToHex(record.data() + 2, 128), ToHex(payload.data() + 132, 128));

  Bytes withPrefix{0x80, 0x00};
  withPrefix.insert(withPrefix.end(), payload.begin() + 132, payload.end());
  EXPECT_EQ(Decode(key, withPrefix.data(), withPrefix.size()), Bytes(repeated.begin(), repeated.end()));

  const Bytes frame = FromHex(login["frame_hex"].get<std::string>());
  ASSERT_EQ(frame.size(), 8 + payload.size());
  EXPECT_EQ(U32(frame, 0), 0u);
  EXPECT_EQ(U32(frame, 4), frame.size());
  EXPECT_EQ(Bytes(frame.begin() + 8, frame.end()), payload);
}

TEST(WireVectors, RecordsInsideSessionFrames) {
  const auto& frames = test::Vectors()["frames"];
  const std::string key = DeriveSessionKeyText("secret");

  const Bytes udp = FromHex(frames["udp_data_secret_127.0.0.1:53_value7_channel5_'hi'_hex"].get<std::string>());
  ASSERT_EQ(U32(udp, 0), 10u);
  ASSERT_EQ(U32(udp, 4), udp.size());
  EXPECT_EQ(U32(udp, 16), 7u);
  EXPECT_EQ(U32(udp, 20), 5u);
  EXPECT_EQ(Decode(key, udp.data() + 24, udp.size() - 24), (Bytes{'h', 'i'}));

  const Bytes resolve = FromHex(frames["resolve_secret_['localhost']_hex"].get<std::string>());
  ASSERT_EQ(U32(resolve, 0), 12u);
  ASSERT_EQ(U32(resolve, 8), 1u);
  const std::string name = "localhost";
  Bytes expected(name.begin(), name.end());
  expected.push_back(0);
  EXPECT_EQ(Decode(key, resolve.data() + 12, resolve.size() - 12), expected);
}

}  // namespace
}  // namespace tarvo
