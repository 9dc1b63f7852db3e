#include "external/aes_block.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/test_vectors.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

TEST(AesBlock, UnitMatchesKnownAnswer) {
  const auto& kat = test::Vectors()["aes_unit_kat"];
  const Bytes key = FromHex(kat["key_hex"].get<std::string>());
  const Bytes unit = FromHex(kat["unit_hex"].get<std::string>());
  const Bytes record = FromHex(kat["record_hex"].get<std::string>());
  ASSERT_EQ(record.size(), 2 + kCipherUnitSize);

  Bytes out(kCipherUnitSize);
  ecbcrypt(unit.data(), out.data(), key.data());
  EXPECT_EQ(ToHex(out), ToHex(Bytes(record.begin() + 2, record.end())));
  // The FIPS-197 AES-256 example block: each half of the unit is one independent block.
  EXPECT_EQ(ToHex(out.data(), 16), "8ea2b7ca516745bfeafc49904b496089");

  ecbdecrypt(out.data(), out.data(), key.data());  // in place
  EXPECT_EQ(ToHex(out), ToHex(unit));
}

TEST(AesBlock, BatchEqualsUnitByUnit) {
  const Bytes key = RandomBytes(32, 7);
  for (std::size_t units : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{512}}) {
    const Bytes plain = RandomBytes(units * kCipherUnitSize, static_cast<std::uint32_t>(units));
    Bytes expected = plain;
    for (std::size_t i = 0; i < units; ++i) {
      std::uint8_t* u = expected.data() + i * kCipherUnitSize;
      ecbcrypt(u, u, key.data());
    }

    AesUnitCipher enc(key.data(), AesUnitCipher::Direction::kEncrypt);
    Bytes inPlace = plain;
    enc.transform(inPlace.data(), units);
    EXPECT_EQ(inPlace, expected) << units;
    Bytes outOfPlace(plain.size());
    enc.transform(plain.data(), outOfPlace.data(), units);
    EXPECT_EQ(outOfPlace, expected) << units;

    AesUnitCipher dec(key.data(), AesUnitCipher::Direction::kDecrypt);
    dec.transform(inPlace.data(), units);
    EXPECT_EQ(inPlace, plain) << units;
  }
}

}  // namespace
}  // namespace tarvo
