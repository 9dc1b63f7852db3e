// The management API's bearer tokens: a name, a role and the SHA-256 of a random secret, kept in
// the user store. The secret itself is shown once, when it is made.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvo {

inline constexpr char kApiTokensFileName[] = "tarvo-api-tokens";

enum class ApiRole { Auditor, Operator, Admin };

const char* RoleName(ApiRole role);
std::optional<ApiRole> ParseRole(const std::string& text);

struct ApiTokenEntry {
  std::string name;
  ApiRole role = ApiRole::Auditor;
  std::string hash;  // hex SHA-256 of the secret
  long long created = 0;  // seconds since the epoch
};

enum class TokenChange { kDone, kNone, kStoreFailed };

// The tokens live in the user store, so every daemon of a shared store takes the same ones.
class ApiTokens {
 public:
  // legacyFile: where an older daemon kept its tokens, imported into the store by importLegacy.
  explicit ApiTokens(std::string legacyFile) : legacyFile_(std::move(legacyFile)) {}
  // Moves the tokens of the legacy file into the store and renames the file; a journal line
  // says what happened.
  void importLegacy();
  // The new token's secret; nullopt with why (and the HTTP status that fits) when the name is
  // taken or unusable, or the store cannot be written.
  std::optional<std::string> create(const std::string& name, ApiRole role, std::string& why,
                                    int& status);
  TokenChange revoke(const std::string& name);
  // nullopt when the store cannot be read.
  std::optional<std::vector<ApiTokenEntry>> list();
  // The token's entry when secret is a live token.
  std::optional<ApiTokenEntry> check(const std::string& secret);

 private:
  std::string legacyFile_;
};

}  // namespace tarvo
