#include "external/userstore/user_state.h"

#include <algorithm>
#include <limits>

#include "external/userstore/policy_table.h"
#include "external/userstore/statement.h"

namespace tarvo::userstore {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// The user columns, then the policy columns, which read as 0 where the user has no policy row.
constexpr char kJoinedSelect[] =
    "SELECT u.user_name, u.name_key, u.user_password, u.pwd_sealed, u.user_limit, "
    "u.user_counter, u.user_locked, p.rate_down, p.rate_up, p.quota_period, p.period_anchor, "
    "p.period_start, p.max_sessions, p.expires, p.bytes_down, p.bytes_up, p.protocol "
    "FROM UsersTable u LEFT JOIN UserPolicyTable p ON p.name_key = u.name_key ";
constexpr SQLUSMALLINT kFirstPolicyColumn = 8;

// Reads a result row with kJoinedSelect's columns. False as ReadUserColumns.
bool ReadJoined(Statement& statement, UserRow& row, UserPolicy& policy) {
  policy = UserPolicy{};
  return ReadUserColumns(statement, 1, row) &&
         ReadPolicyColumns(statement, kFirstPolicyColumn, policy);
}

}  // namespace

Lookup FindUserWithPolicy(StoreConnection& connection, const std::string& nameKey, UserRow& row,
                          UserPolicy& policy) {
  Statement select(connection.handle(), connection.lostFlag());
  const std::string sql = std::string(kJoinedSelect) + "WHERE u.name_key = ?";
  if (select.Prepare(sql.c_str()) && select.BindText(1, nameKey, kMaxNameLength) &&
      select.Execute() && select.Fetch() && ReadJoined(select, row, policy)) {
    return Lookup::kFound;
  }
  return select.failed() ? Lookup::kFailed : Lookup::kMissing;
}

bool FindUsersWithPolicies(
    StoreConnection& connection, const std::vector<std::string>& nameKeys,
    const std::function<void(const UserRow&, const UserPolicy&)>& visit) {
  for (std::size_t from = 0; from < nameKeys.size(); from += kUsersPerStatement) {
    const std::size_t count = std::min(kUsersPerStatement, nameKeys.size() - from);
    std::string sql = std::string(kJoinedSelect) + "WHERE u.name_key IN (";
    for (std::size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";
    Statement select(connection.handle(), connection.lostFlag());
    if (!select.Prepare(sql.c_str())) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (!select.BindText(static_cast<SQLUSMALLINT>(i + 1), nameKeys[from + i], kMaxNameLength)) {
        return false;
      }
    }
    if (!select.Execute()) return false;
    UserRow row;
    UserPolicy policy;
    while (select.Fetch()) {
      // A row too long to be used counts as missing, as for FindUser.
      if (ReadJoined(select, row, policy)) visit(row, policy);
    }
    if (select.failed()) return false;
  }
  return true;
}

Lookup AddAndReadInOneStatement(StoreConnection& connection, const std::string& nameKey,
                                std::int64_t down, std::int64_t up, UserRow& row,
                                UserPolicy& policy, bool& commitSent) {
  if (down < 0 || up < 0) return Lookup::kMissing;
  const std::int64_t sum = down > kMax - up ? kMax : down + up;
  // The CASEs keep sums from overflowing; a user without a policy row gets one holding the
  // counts. Without a user row nothing is written and no row comes back.
  Statement statement(connection.handle(), connection.lostFlag());
  const bool ready =
      statement.Prepare(
          "WITH u AS (UPDATE UsersTable SET user_counter = CASE WHEN user_counter > ? THEN ? "
          "ELSE user_counter + ? END WHERE name_key = ? RETURNING user_name, name_key, "
          "user_password, pwd_sealed, user_limit, user_counter, user_locked), "
          "p AS (INSERT INTO UserPolicyTable AS t (name_key, rate_down, rate_up, quota_period, "
          "period_anchor, period_start, max_sessions, expires, bytes_down, bytes_up) "
          "SELECT name_key, 0, 0, 0, 0, 0, 0, 0, ?, ? FROM u ON CONFLICT (name_key) DO UPDATE SET "
          "bytes_down = CASE WHEN t.bytes_down > ? THEN ? ELSE t.bytes_down + ? END, "
          "bytes_up = CASE WHEN t.bytes_up > ? THEN ? ELSE t.bytes_up + ? END "
          "RETURNING rate_down, rate_up, quota_period, period_anchor, period_start, "
          "max_sessions, expires, bytes_down, bytes_up, protocol) "
          "SELECT u.user_name, u.name_key, u.user_password, u.pwd_sealed, u.user_limit, "
          "u.user_counter, u.user_locked, p.rate_down, p.rate_up, p.quota_period, "
          "p.period_anchor, p.period_start, p.max_sessions, p.expires, p.bytes_down, p.bytes_up, "
          "p.protocol "
          "FROM u, p") &&
      statement.BindInt64(1, kMax - sum) && statement.BindInt64(2, kMax) &&
      statement.BindInt64(3, sum) && statement.BindText(4, nameKey, kMaxNameLength) &&
      statement.BindInt64(5, down) && statement.BindInt64(6, up) &&
      statement.BindInt64(7, kMax - down) && statement.BindInt64(8, kMax) &&
      statement.BindInt64(9, down) && statement.BindInt64(10, kMax - up) &&
      statement.BindInt64(11, kMax) && statement.BindInt64(12, up);
  if (!ready) return Lookup::kFailed;
  // One statement in autocommit: once sent, it may have been made.
  commitSent = true;
  if (!statement.Execute()) return Lookup::kFailed;
  if (statement.Fetch() && ReadJoined(statement, row, policy)) return Lookup::kFound;
  return statement.failed() ? Lookup::kFailed : Lookup::kMissing;
}

}  // namespace tarvo::userstore
