#include "server/service/api/api_tokens.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

namespace tarvo {

namespace {

std::mutex TokensLock;

std::string Hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string HashOf(const std::string& secret) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), digest);
  return Hex(digest, sizeof digest);
}

bool UsableName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      return false;
    }
  }
  return true;
}

}  // namespace

const char* RoleName(ApiRole role) {
  switch (role) {
    case ApiRole::Admin: return "admin";
    case ApiRole::Operator: return "operator";
    default: return "auditor";
  }
}

std::optional<ApiRole> ParseRole(const std::string& text) {
  if (text == "admin") return ApiRole::Admin;
  if (text == "operator") return ApiRole::Operator;
  if (text == "auditor") return ApiRole::Auditor;
  return std::nullopt;
}

std::vector<ApiTokenEntry> ApiTokens::read() {
  std::vector<ApiTokenEntry> entries;
  std::ifstream file(path_);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    ApiTokenEntry entry;
    std::string role;
    if (!(words >> entry.name >> role >> entry.hash >> entry.created)) continue;
    const auto parsed = ParseRole(role);
    if (!parsed || entry.hash.size() != 2 * SHA256_DIGEST_LENGTH) continue;
    entry.role = *parsed;
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool ApiTokens::write(const std::vector<ApiTokenEntry>& entries) {
  std::string text;
  for (const ApiTokenEntry& entry : entries) {
    text += entry.name + " " + RoleName(entry.role) + " " + entry.hash + " " +
            std::to_string(entry.created) + "\n";
  }
  // A new file renamed over the old: a crash leaves one or the other, never half of one.
  const std::string temporary = path_ + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  ::close(fd);
  if (!written || std::rename(temporary.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> ApiTokens::create(const std::string& name, ApiRole role,
                                             std::string& why) {
  if (!UsableName(name)) {
    why = "a token's name is 1 to 64 letters, digits, '-', '_' or '.'";
    return std::nullopt;
  }
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1) {
    why = "no random bytes";
    return std::nullopt;
  }
  const std::string secret = "tvo_" + Hex(random, sizeof random);
  OPENSSL_cleanse(random, sizeof random);
  std::lock_guard lock(TokensLock);
  std::vector<ApiTokenEntry> entries = read();
  for (const ApiTokenEntry& entry : entries) {
    if (entry.name == name) {
      why = "a token of that name exists";
      return std::nullopt;
    }
  }
  entries.push_back({name, role, HashOf(secret), static_cast<long long>(std::time(nullptr))});
  if (!write(entries)) {
    why = "the token file cannot be written";
    return std::nullopt;
  }
  return secret;
}

bool ApiTokens::revoke(const std::string& name) {
  std::lock_guard lock(TokensLock);
  std::vector<ApiTokenEntry> entries = read();
  const auto before = entries.size();
  std::erase_if(entries, [&](const ApiTokenEntry& entry) { return entry.name == name; });
  return entries.size() != before && write(entries);
}

std::vector<ApiTokenEntry> ApiTokens::list() {
  std::lock_guard lock(TokensLock);
  return read();
}

std::optional<ApiTokenEntry> ApiTokens::check(const std::string& secret) {
  const std::string hash = HashOf(secret);
  std::lock_guard lock(TokensLock);
  std::optional<ApiTokenEntry> found;
  // Every entry compared in full, so the time taken does not tell which prefix matched.
  for (ApiTokenEntry& entry : read()) {
    if (CRYPTO_memcmp(entry.hash.data(), hash.data(), hash.size()) == 0) found = std::move(entry);
  }
  return found;
}

}  // namespace tarvo
