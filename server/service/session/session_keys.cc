#include "server/service/session/session_keys.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <unordered_map>

#include "server/common/password_hash.h"
#include "server/common/user_name.h"

namespace tarvo {

namespace {

using PasswordDigest = std::array<unsigned char, 32>;

struct CachedKey {
  PasswordDigest digest;
  std::string keyText;
};

std::unordered_map<std::string, CachedKey>& Cache() {
  static std::unordered_map<std::string, CachedKey> cache;
  return cache;
}

PasswordDigest Digest(const char* password) {
  PasswordDigest digest{};
  unsigned int length = 0;
  EVP_Digest(password, std::strlen(password), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

}  // namespace

std::string SessionKeyFor(const std::string& name, const char* password) {
  auto& cache = Cache();
  const std::string key = FoldUserName(name);
  const PasswordDigest digest = Digest(password);
  auto found = cache.find(key);
  if (found != cache.end() && found->second.digest == digest) return found->second.keyText;
  std::string keyText = DeriveSessionKeyText(password);
  if (found != cache.end()) {
    found->second = {digest, keyText};
  } else {
    // Bounded: past the bound the cache starts again rather than grow with every name tried.
    if (cache.size() >= kMaxCachedSessionKeys) cache.clear();
    cache.emplace(key, CachedKey{digest, keyText});
  }
  return keyText;
}

void ForgetSessionKeys() { Cache().clear(); }

}  // namespace tarvo
