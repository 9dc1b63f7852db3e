#include "server/service/api/api_tokens.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "external/reader_tokens.h"
#include "server/common/random_hex.h"
#include "server/service/base/diagnostics.h"

namespace tarvo {

namespace {

std::string HashOf(const std::string& secret) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), digest);
  return HexOf(digest, sizeof digest);
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

namespace {

ApiTokenEntry EntryOf(const ApiTokenRow& row) {
  return {row.name, ParseRole(row.role).value_or(ApiRole::Auditor), row.hash, row.created};
}

ApiTokenRow RowOf(const ApiTokenEntry& entry) {
  ApiTokenRow row{};
  std::snprintf(row.name, sizeof row.name, "%s", entry.name.c_str());
  std::snprintf(row.role, sizeof row.role, "%s", RoleName(entry.role));
  std::snprintf(row.hash, sizeof row.hash, "%s", entry.hash.c_str());
  row.created = entry.created;
  return row;
}

// The file an older daemon kept: a line per token, "name role hash created".
std::vector<ApiTokenEntry> ReadLegacyFile(const std::string& path) {
  std::vector<ApiTokenEntry> entries;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    ApiTokenEntry entry;
    std::string role;
    if (!(words >> entry.name >> role >> entry.hash >> entry.created)) continue;
    const auto parsed = ParseRole(role);
    if (!parsed || !UsableName(entry.name) || entry.hash.size() != 2 * SHA256_DIGEST_LENGTH) {
      continue;
    }
    entry.role = *parsed;
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace

void ApiTokens::importLegacy() {
  if (::access(legacyFile_.c_str(), F_OK) != 0) return;
  std::size_t imported = 0;
  for (const ApiTokenEntry& entry : ReadLegacyFile(legacyFile_)) {
    const ApiTokenRow row = RowOf(entry);
    const std::int32_t status = AddApiToken(&row);
    if (status == READER_FAILED) {
      Diagnose("API tokens: %s cannot be moved into the store yet; it is read again at the next "
               "start", legacyFile_.c_str());
      return;
    }
    if (status == READER_OK) ++imported;  // a name the store has already keeps the store's
  }
  const std::string moved = legacyFile_ + ".imported";
  std::rename(legacyFile_.c_str(), moved.c_str());
  Diagnose("API tokens: %zu moved from %s into the store (the file is now %s)", imported,
           legacyFile_.c_str(), moved.c_str());
}

std::optional<std::string> ApiTokens::create(const std::string& name, ApiRole role,
                                             std::string& why, int& status) {
  status = 400;
  if (!UsableName(name)) {
    why = "a token's name is 1 to 64 letters, digits, '-', '_' or '.'";
    return std::nullopt;
  }
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1) {
    why = "no random bytes";
    status = 503;
    return std::nullopt;
  }
  const std::string secret = "tvo_" + HexOf(random, sizeof random);
  OPENSSL_cleanse(random, sizeof random);
  const ApiTokenRow row =
      RowOf({name, role, HashOf(secret), static_cast<long long>(std::time(nullptr))});
  switch (AddApiToken(&row)) {
    case READER_OK:
      return secret;
    case READER_NO_USER:
      why = "a token of that name exists";
      status = 409;
      return std::nullopt;
    default:
      why = "the store cannot be written";
      status = 503;
      return std::nullopt;
  }
}

TokenChange ApiTokens::revoke(const std::string& name) {
  switch (RemoveApiToken(name.c_str())) {
    case READER_OK: return TokenChange::kDone;
    case READER_NO_USER: return TokenChange::kNone;
    default: return TokenChange::kStoreFailed;
  }
}

std::optional<std::vector<ApiTokenEntry>> ApiTokens::list() {
  std::vector<ApiTokenEntry> entries;
  const bool read = VisitApiTokens(&entries, [](void* context, const ApiTokenRow* row) {
    static_cast<std::vector<ApiTokenEntry>*>(context)->push_back(EntryOf(*row));
  });
  if (!read) return std::nullopt;
  return entries;
}

std::optional<ApiTokenEntry> ApiTokens::check(const std::string& secret) {
  // Looked up by the secret's hash: what the store compares tells nothing about the secret.
  ApiTokenRow row{};
  if (FindApiToken(HashOf(secret).c_str(), &row) != READER_OK) return std::nullopt;
  return EntryOf(row);
}

}  // namespace tarvo
