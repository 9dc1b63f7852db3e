#include "server/service/v2/v2_ticket_keys.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace tarvo {

namespace {

struct TicketKey {
  std::array<unsigned char, 16> name{};
  std::array<unsigned char, 32> cipherKey{};
  std::array<unsigned char, 32> macKey{};
  std::int64_t created = 0;  // seconds since the epoch
  bool valid = false;
};

struct TicketKeys {
  std::string path;
  std::string fingerprint;
  TicketKey current;
  TicketKey previous;
  EVP_CIPHER* cipher = nullptr;  // fetched once: a fetch per ticket costs more than the sealing
};

TicketKeys& Keys() {
  static TicketKeys keys;
  return keys;
}

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

constexpr std::int64_t kPeriodSeconds = kTicketKeyPeriod.count();

bool MakeKey(TicketKey& key) {
  key.created = Now();
  key.valid = RAND_bytes(key.name.data(), key.name.size()) == 1 &&
              RAND_bytes(key.cipherKey.data(), key.cipherKey.size()) == 1 &&
              RAND_bytes(key.macKey.data(), key.macKey.size()) == 1;
  return key.valid;
}

template <std::size_t N>
std::string Hex(const std::array<unsigned char, N>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

template <std::size_t N>
bool FromHex(const std::string& text, std::array<unsigned char, N>& bytes) {
  if (text.size() != 2 * N) return false;
  for (std::size_t i = 0; i < N; ++i) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
    bytes[i] = static_cast<unsigned char>(value);
  }
  return true;
}

// "fingerprint", then a line per key, current first: created name cipher-key mac-key.
bool Save(const TicketKeys& keys) {
  std::ostringstream text;
  text << keys.fingerprint << '\n';
  for (const TicketKey* key : {&keys.current, &keys.previous}) {
    if (!key->valid) continue;
    text << key->created << ' ' << Hex(key->name) << ' ' << Hex(key->cipherKey) << ' '
         << Hex(key->macKey) << '\n';
  }
  const std::string contents = text.str();
  const std::string temporary = keys.path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written =
      ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
  const bool closed = ::close(fd) == 0;
  OPENSSL_cleanse(const_cast<char*>(contents.data()), contents.size());
  if (!written || !closed || std::rename(temporary.c_str(), keys.path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

void Load(TicketKeys& keys) {
  keys.current = {};
  keys.previous = {};
  std::ifstream file(keys.path);
  std::string line;
  if (!std::getline(file, line) || line != keys.fingerprint) return;
  for (TicketKey* key : {&keys.current, &keys.previous}) {
    std::string name, cipherKey, macKey;
    if (!std::getline(file, line)) break;
    std::istringstream words(line);
    key->valid = static_cast<bool>(words >> key->created >> name >> cipherKey >> macKey) &&
                 FromHex(name, key->name) && FromHex(cipherKey, key->cipherKey) &&
                 FromHex(macKey, key->macKey);
  }
}

// A new current key once the current one has served its period; true when the keys changed.
bool Rotate(TicketKeys& keys) {
  const std::int64_t now = Now();
  if (keys.current.valid && now - keys.current.created < kPeriodSeconds &&
      keys.current.created <= now) {
    return false;
  }
  // The one before opens tickets for one more period; an older one opens none.
  keys.previous = keys.current.valid && now - keys.current.created < 2 * kPeriodSeconds
                      ? keys.current
                      : TicketKey{};
  MakeKey(keys.current);
  return true;
}

int OnTicketKey(SSL*, unsigned char name[16], unsigned char iv[EVP_MAX_IV_LENGTH],
                EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int sealing) {
  TicketKeys& keys = Keys();
  if (Rotate(keys)) Save(keys);  // unsaved, they still serve this run
  const TicketKey* key = nullptr;
  if (sealing != 0) {
    key = &keys.current;
    if (!key->valid || RAND_bytes(iv, 16) != 1) return -1;
    std::memcpy(name, key->name.data(), key->name.size());
    if (EVP_EncryptInit_ex(cipher, keys.cipher, nullptr, key->cipherKey.data(), iv) != 1) return -1;
  } else {
    for (const TicketKey* candidate : {&keys.current, &keys.previous}) {
      if (candidate->valid && std::memcmp(name, candidate->name.data(), 16) == 0) key = candidate;
    }
    if (key == nullptr) return 0;  // not ours, or too old: a full handshake
    if (EVP_DecryptInit_ex(cipher, keys.cipher, nullptr, key->cipherKey.data(), iv) != 1) return -1;
  }
  char digest[] = "SHA256";
  auto* macKey = const_cast<unsigned char*>(key->macKey.data());
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, macKey, key->macKey.size()),
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end()};
  if (EVP_MAC_CTX_set_params(mac, params) != 1) return -1;
  return 1;
}

}  // namespace

bool UseTicketKeys(SSL_CTX* ctx, const std::string& path, const std::string& fingerprint,
                   std::string& error) {
  TicketKeys& keys = Keys();
  if (keys.cipher == nullptr) keys.cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  bool saved = true;
  if (keys.path != path || keys.fingerprint != fingerprint) {
    keys.path = path;
    keys.fingerprint = fingerprint;
    Load(keys);
    // Made anew (or rotated) now, so a file of another key or of last week is replaced at once.
    if (Rotate(keys)) saved = Save(keys);
  }
  if (keys.cipher == nullptr || !keys.current.valid) {
    // OpenSSL's own keys, which die with the process, serve instead.
    error = "cannot make the session ticket keys";
    return false;
  }
  SSL_CTX_set_timeout(ctx, static_cast<long>(kPeriodSeconds));
  SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, &OnTicketKey);
  if (!saved) {
    error = "cannot write " + path + ": tickets will not outlive this run";
    return false;
  }
  return true;
}

}  // namespace tarvo
