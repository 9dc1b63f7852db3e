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
                                std::int64_t down, std::int64_t up, const DeltaRecord* delta,
                                UserRow& row, UserPolicy& policy, bool& commitSent) {
  if (down < 0 || up < 0) return Lookup::kMissing;
  const std::int64_t sum = down > kMax - up ? kMax : down + up;
  // With an id, d holds it when it is new and the addition waits on d; an id recorded before
  // changes nothing and the second SELECT reads the row as it stands.
  const std::string recorded =
      delta == nullptr ? std::string()
                       : "d AS (INSERT INTO AppliedDeltaTable (owner, seq, applied_at) VALUES "
                         "(?, ?, ?) ON CONFLICT DO NOTHING RETURNING seq), "
                         "x AS (DELETE FROM AppliedDeltaTable WHERE owner = ? AND seq < ?), ";
  std::string sql =
      "WITH " + recorded +
      "u AS (UPDATE UsersTable SET user_counter = CASE WHEN user_counter > ? THEN ? "
      "ELSE user_counter + ? END WHERE name_key = ?" +
      (delta == nullptr ? "" : " AND EXISTS (SELECT 1 FROM d)") +
      " RETURNING user_name, name_key, user_password, pwd_sealed, user_limit, user_counter, "
      "user_locked), "
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
      "FROM u, p";
  if (delta != nullptr) {
    sql += std::string(" UNION ALL ") + kJoinedSelect +
           "WHERE u.name_key = ? AND NOT EXISTS (SELECT 1 FROM d)";
  }
  // The CASEs keep sums from overflowing; a user without a policy row gets one holding the
  // counts. Without a user row nothing is written and no row comes back.
  Statement statement(connection.handle(), connection.lostFlag());
  if (!statement.Prepare(sql.c_str())) return Lookup::kFailed;
  SQLUSMALLINT index = 1;
  bool bound = true;
  if (delta != nullptr) {
    bound = statement.BindText(index++, delta->owner, kMaxDeltaOwnerLength) &&
            statement.BindInt64(index++, delta->seq) &&
            statement.BindInt64(index++, NowSeconds()) &&
            statement.BindText(index++, delta->owner, kMaxDeltaOwnerLength) &&
            statement.BindInt64(index++, delta->keepFrom);
  }
  bound = bound && statement.BindInt64(index++, kMax - sum) &&
          statement.BindInt64(index++, kMax) && statement.BindInt64(index++, sum) &&
          statement.BindText(index++, nameKey, kMaxNameLength);
  for (std::int64_t value : {down, up, kMax - down, kMax, down, kMax - up, kMax, up}) {
    bound = bound && statement.BindInt64(index++, value);
  }
  if (delta != nullptr) bound = bound && statement.BindText(index++, nameKey, kMaxNameLength);
  if (!bound) return Lookup::kFailed;
  // One statement in autocommit: once sent, it may have been made.
  commitSent = true;
  if (!statement.Execute()) return Lookup::kFailed;
  if (statement.Fetch() && ReadJoined(statement, row, policy)) return Lookup::kFound;
  return statement.failed() ? Lookup::kFailed : Lookup::kMissing;
}

}  // namespace tarvo::userstore
