#include "server/common/encryption.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "external/aes_block.h"
#include "tests/test_vectors.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

const char kSecretKey[] = "$1$481572$MsGJjTcYgOyD/7fg7CJii.";  // session key of "secret"

Bytes ToBytes(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

Bytes Encrypt(const Bytes& plain, const char* key = kSecretKey, int length = 32) {
  AESEncryptor enc(key, length);
  return ToBytes(enc.transform(plain.data(), plain.size()));
}

Bytes Sequence(std::size_t n, std::uint8_t first = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

Bytes Feed(AESDecryptor& dec, const Bytes& bytes, std::size_t from, std::size_t to) {
  return ToBytes(dec.transform(bytes.data() + from, to - from));
}

TEST(Records, VectorsUnderSecretKey) {
  for (const auto& v : test::Vectors()["records_under_secret"]) {
    const Bytes plain = FromHex(v["plaintext_hex"].get<std::string>());
    const Bytes record = Encrypt(plain);
    EXPECT_EQ(ToHex(record), v["record_hex"].get<std::string>());
    EXPECT_EQ(record.size(), RecordSize(plain.size()));
    AESDecryptor dec(kSecretKey, 32);
    EXPECT_EQ(Feed(dec, record, 0, record.size()), plain);
    EXPECT_FALSE(dec.insideRecord());
  }
}

TEST(Records, DecoderDeliversEachUnitAsItArrives) {
  // n = 33: prefix plus first unit gives 32 bytes, the second unit the last byte.
  const Bytes plain = Sequence(33, 9);
  const Bytes r = Encrypt(plain);
  AESDecryptor dec(kSecretKey, 32);
  EXPECT_EQ(Feed(dec, r, 0, 34), Bytes(plain.begin(), plain.begin() + 32));
  EXPECT_TRUE(dec.insideRecord());
  EXPECT_EQ(Feed(dec, r, 34, 66), Bytes(1, plain[32]));
  EXPECT_FALSE(dec.insideRecord());

  // One byte at a time: output appears exactly on the byte that completes a unit.
  const Bytes big = Sequence(100);
  const Bytes rb = Encrypt(big);
  AESDecryptor slow(kSecretKey, 32);
  Bytes got;
  for (std::size_t i = 0; i < rb.size(); ++i) {
    Bytes piece = Feed(slow, rb, i, i + 1);
    const bool completesUnit = i >= 2 && (i - 1) % 32 == 0;
    EXPECT_EQ(piece.empty(), !completesUnit) << i;
    got.insert(got.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(got, big);
}

TEST(Records, SeveralRecordsAndEmptyOnesInOneInput) {
  const Bytes a = Sequence(5, 1), b = Sequence(70, 100);
  Bytes stream = Encrypt(a);
  for (const Bytes& part : {Encrypt({}), Encrypt(b), Encrypt({})}) {
    stream.insert(stream.end(), part.begin(), part.end());
  }
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  AESDecryptor dec(kSecretKey, 32);
  EXPECT_EQ(Feed(dec, stream, 0, stream.size()), both);
  EXPECT_FALSE(dec.insideRecord());

  // The leftover start of the next record waits for the next call, even a lone prefix byte.
  AESDecryptor split(kSecretKey, 32);
  const std::size_t firstEnd = RecordSize(a.size());
  EXPECT_EQ(Feed(split, stream, 0, firstEnd + 1), a);
  EXPECT_FALSE(split.insideRecord());
  EXPECT_FALSE(split.atRecordBoundary());  // a session message ending here was cut short
  EXPECT_EQ(Feed(split, stream, firstEnd + 1, stream.size()), b);
  EXPECT_TRUE(split.atRecordBoundary());
}

TEST(Records, RandomSplitsGiveTheStreamBack) {
  std::mt19937 rng(42);
  Bytes stream, expected;
  for (int i = 0; i < 60; ++i) {
    Bytes plain(rng() % 300);
    for (auto& x : plain) x = static_cast<std::uint8_t>(rng());
    const Bytes r = Encrypt(plain);
    stream.insert(stream.end(), r.begin(), r.end());
    expected.insert(expected.end(), plain.begin(), plain.end());
  }
  AESDecryptor dec(kSecretKey, 32);
  Bytes got;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t step = std::min<std::size_t>(stream.size() - at, rng() % 80);
    Bytes piece = Feed(dec, stream, at, at + step);
    got.insert(got.end(), piece.begin(), piece.end());
    at += step;
  }
  EXPECT_EQ(got, expected);
}

TEST(Records, AppendKeepsWhatOutAlreadyHolds) {
  AESEncryptor enc(kSecretKey, 32);
  AESDecryptor dec(kSecretKey, 32);
  ByteBuffer wire, out;
  out.append("x", 1);
  enc.transformAppend(Sequence(40).data(), 40, wire);
  enc.transformAppend(Sequence(3).data(), 3, wire);
  dec.transformAppend(wire.data(), wire.size(), out);
  Bytes expected{'x'};
  for (const Bytes& p : {Sequence(40), Sequence(3)}) expected.insert(expected.end(), p.begin(), p.end());
  EXPECT_EQ(ToBytes(out), expected);
}

TEST(Records, OversizedPlaintextGoesOutAsSeveralRecords) {
  const Bytes plain = Sequence(70000);
  const Bytes wire = Encrypt(plain);
  EXPECT_EQ(wire[0] | wire[1] << 8, 65504);
  EXPECT_EQ(wire.size(), RecordSize(65504) + RecordSize(70000 - 65504));
  AESDecryptor dec(kSecretKey, 32);
  EXPECT_EQ(Feed(dec, wire, 0, wire.size()), plain);
  // The largest single record still fits in one.
  EXPECT_EQ(Encrypt(Sequence(65535)).size(), RecordSize(65535));
}

TEST(Records, KeyFromText) {
  const char kRepeated[] = "abcabcabcabcabcabcabcabcabcabcab";
  AESEncryptor shortText("abc", 3);
  EXPECT_EQ(Bytes(shortText.key(), shortText.key() + 32), Bytes(kRepeated, kRepeated + 32));
  const std::string longText = std::string(kSecretKey) + "tail that is ignored";
  AESEncryptor cut(longText.c_str(), static_cast<int>(longText.size()));
  EXPECT_EQ(Bytes(cut.key(), cut.key() + 32), Bytes(kSecretKey, kSecretKey + 32));
  AESDecryptor empty("", 0);
  EXPECT_EQ(Bytes(empty.key(), empty.key() + 32), Bytes(32, 0));
  AESDecryptor negative("Q", -5);
  EXPECT_EQ(Bytes(negative.key(), negative.key() + 32), Bytes(32, 'Q'));

  // A repeated short text and its 32-byte expansion make the same records.
  const Bytes plain = Sequence(50);
  EXPECT_EQ(Encrypt(plain, "abc", 3), Encrypt(plain, kRepeated, 32));
}

}  // namespace
}  // namespace tarvo
