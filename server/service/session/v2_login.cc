#include "server/service/session/v2_login.h"

#include <openssl/crypto.h>

#include "server/service/session/session_keys.h"

namespace tarvo {

bool V2LoginProven(const V2Binding& binding, const std::string& name, const char* password) {
  // An unknown name derives a key as a known one does (and is kept as one is), so the answer
  // comes after the same work.
  std::string key = SessionKeyFor(name, password != nullptr ? password : "");
  const bool proven = V2ProofsEqual(MakeV2LoginProof(key, binding.exporter, name), binding.proof);
  OPENSSL_cleanse(key.data(), key.size());
  return proven && password != nullptr;
}

}  // namespace tarvo
