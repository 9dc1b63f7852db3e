// MD5-crypt with the service's fixed salt. The salt enters each digest as eight bytes (the six
// digits and two zero bytes); that is what every client computes, so it must stay that way.
#include "server/common/password_hash.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kMagic[] = "$1$";
constexpr std::size_t kMagicLength = 3;
constexpr char kSaltText[] = "481572";
constexpr std::size_t kSaltTextLength = 6;
constexpr unsigned char kSalt8[8] = {'4', '8', '1', '5', '7', '2', 0, 0};
constexpr int kRounds = 1000;
constexpr char kAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// MD5 from the default provider in a library context of our own, so that a configuration of
// the process's context (default_properties = fips=yes, or no default provider loaded) cannot
// take it away: every client derives its session key with exactly this digest. Null only when
// the library offers no MD5 at all.
const EVP_MD* Md5() {
  static EVP_MD* md = []() -> EVP_MD* {
    OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
    if (context == nullptr) return nullptr;
    EVP_MD* found = nullptr;
    if (OSSL_PROVIDER_load(context, "default") != nullptr) {
      found = EVP_MD_fetch(context, "MD5", "provider=default");
    }
    // The context lives as long as the digest fetched from it: for the rest of the process.
    if (found == nullptr) OSSL_LIB_CTX_free(context);
    return found;
  }();
  return md;
}

// One MD5 context per thread, reused for all 1002 digests of a call.
class Digest {
 public:
  Digest() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr) std::abort();
  }
  ~Digest() { EVP_MD_CTX_free(ctx_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void begin() {
    // Programs check Md5Available at start; a wrong key would be worse than stopping.
    if (EVP_DigestInit_ex2(ctx_, Md5(), nullptr) != 1) std::abort();
  }
  void add(const void* data, std::size_t size) {
    if (size != 0 && EVP_DigestUpdate(ctx_, data, size) != 1) std::abort();
  }
  void finish(unsigned char out[16]) {
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_, out, &length) != 1) std::abort();
  }

 private:
  EVP_MD_CTX* ctx_;
};

char* AppendBase64(char* out, unsigned value, int characters) {
  for (int i = 0; i < characters; ++i) {
    *out++ = kAlphabet[value & 0x3f];
    value >>= 6;
  }
  return out;
}

}  // namespace

const char* HashPassword(const char* password) {
  thread_local char result[tarvo::kSessionKeyTextLength + 1];
  thread_local Digest digest;
  if (password == nullptr) password = "";
  const std::size_t length = std::strlen(password);
  unsigned char f[16];

  digest.begin();  // B: password, salt, password
  digest.add(password, length);
  digest.add(kSalt8, sizeof kSalt8);
  digest.add(password, length);
  digest.finish(f);

  digest.begin();  // A
  digest.add(password, length);
  digest.add(kMagic, kMagicLength);
  digest.add(kSalt8, sizeof kSalt8);
  for (std::size_t remaining = length; remaining > 0;) {
    std::size_t piece = remaining < 16 ? remaining : 16;
    digest.add(f, piece);
    remaining -= piece;
  }
  std::memset(f, 0, sizeof f);
  for (std::size_t bits = length; bits != 0; bits >>= 1) {
    digest.add((bits & 1) != 0 ? static_cast<const void*>(f) : password, 1);
  }
  digest.finish(f);

  for (int i = 0; i < kRounds; ++i) {
    digest.begin();
    if (i % 2 != 0) {
      digest.add(password, length);
    } else {
      digest.add(f, sizeof f);
    }
    if (i % 3 != 0) digest.add(kSalt8, sizeof kSalt8);
    if (i % 7 != 0) digest.add(password, length);
    if (i % 2 != 0) {
      digest.add(f, sizeof f);
    } else {
      digest.add(password, length);
    }
    digest.finish(f);
  }

  char* out = result;
  std::memcpy(out, kMagic, kMagicLength);
  out += kMagicLength;
  std::memcpy(out, kSaltText, kSaltTextLength);
  out += kSaltTextLength;
  *out++ = '$';
  static constexpr int kTriples[5][3] = {{0, 6, 12}, {1, 7, 13}, {2, 8, 14}, {3, 9, 15}, {4, 10, 5}};
  for (const auto& t : kTriples) {
    out = AppendBase64(out, (unsigned{f[t[0]]} << 16) | (unsigned{f[t[1]]} << 8) | f[t[2]], 4);
  }
  out = AppendBase64(out, f[11], 2);
  *out = '\0';
  return result;
}

namespace tarvo {

bool Md5Available() { return Md5() != nullptr; }

std::string DeriveSessionKeyText(const char* password) {
  const std::size_t length = password == nullptr ? 0 : std::strlen(password);
  if (length == 0) return HashPassword("");
  std::string expanded(kExpandedPasswordLength, '\0');
  for (std::size_t i = 0; i < kExpandedPasswordLength; ++i) expanded[i] = password[i % length];
  return HashPassword(expanded.c_str());
}

}  // namespace tarvo
