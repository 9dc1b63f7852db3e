// The management API's bearer tokens: a name, a role and the SHA-256 of a random secret, kept in
// a file of the daemon's home (mode 0600). The secret itself is shown once, when it is made.
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

// Every call reads and writes the file under one lock, so tokens made by a request are seen by
// the next, on every thread.
class ApiTokens {
 public:
  explicit ApiTokens(std::string path) : path_(std::move(path)) {}
  // The new token's secret; nullopt with why when the name is taken or unusable, or the file
  // cannot be written.
  std::optional<std::string> create(const std::string& name, ApiRole role, std::string& why);
  bool revoke(const std::string& name);
  std::vector<ApiTokenEntry> list();
  // The token's entry when secret is a live token.
  std::optional<ApiTokenEntry> check(const std::string& secret);

 private:
  std::vector<ApiTokenEntry> read();
  bool write(const std::vector<ApiTokenEntry>& entries);
  std::string path_;
};

}  // namespace tarvo
