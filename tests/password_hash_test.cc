#include "server/common/password_hash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <thread>

#include "tests/test_vectors.h"

namespace tarvo {
namespace {

std::string TextOf(const std::string& hex) {
  const auto bytes = test::FromHex(hex);
  return std::string(bytes.begin(), bytes.end());
}

TEST(PasswordHash, RawVectorsAndTheStandardCryptDiffers) {
  for (const auto& v : test::Vectors()["hash_password_raw"]) {
    const auto input = v["input_text"].get<std::string>();
    const std::string hash = HashPassword(input.c_str());
    EXPECT_EQ(hash, v["hash_text"].get<std::string>()) << input;
    // The eight-byte salt is deliberate: clients compute this, not the standard crypt.
    EXPECT_NE(hash, v["standard_md5crypt_text"].get<std::string>()) << input;
  }
}

TEST(PasswordHash, SessionKeyVectors) {
  for (const auto& v : test::Vectors()["session_keys"]) {
    const std::string password = TextOf(v["password_hex"].get<std::string>());
    const std::string expanded = TextOf(v["expanded_hex"].get<std::string>());
    const auto expected = v["session_key_text"].get<std::string>();
    EXPECT_EQ(DeriveSessionKeyText(password.c_str()), expected) << password;
    EXPECT_EQ(std::string(HashPassword(expanded.c_str())), expected) << password;
  }
}

TEST(PasswordHash, ExpansionCutsAt128AndEmptyHashesEmptyText) {
  const std::string longer(300, 'q');
  EXPECT_EQ(DeriveSessionKeyText(longer.c_str()), DeriveSessionKeyText(longer.substr(0, 128).c_str()));
  EXPECT_EQ(DeriveSessionKeyText(longer.c_str()), std::string(HashPassword(std::string(128, 'q').c_str())));
  EXPECT_EQ(DeriveSessionKeyText(""), std::string(HashPassword("")));
}

TEST(PasswordHash, EachThreadHasItsOwnBuffer) {
  const std::string mine = HashPassword("a");
  std::string other;
  std::thread t([&] { other = HashPassword("secret"); });
  t.join();
  const char* kept = HashPassword("a");
  EXPECT_EQ(std::string(kept), mine);
  EXPECT_EQ(other, std::string(HashPassword("secret")));
}

// The digest underneath is plain MD5: the RFC 1321 suite through the same EVP digest.
TEST(PasswordHash, Md5MeetsRfc1321Suite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, digest] : suite) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(text, std::strlen(text), out, &length, EVP_md5(), nullptr), 1);
    EXPECT_EQ(test::ToHex(out, length), digest) << text;
  }
}

}  // namespace
}  // namespace tarvo
