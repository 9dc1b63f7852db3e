#include "external/userstore/policy_table.h"

#include <limits>

#include "external/userstore/statement.h"
#include "external/userstore/user_state.h"

namespace tarvo::userstore {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

}  // namespace

bool ReadPolicyColumns(Statement& statement, SQLUSMALLINT first, UserPolicy& policy) {
  std::int64_t period = 0;
  std::int64_t maxSessions = 0;
  std::int64_t protocol = 0;
  if (!statement.GetInt64(first, policy.rateDown) ||
      !statement.GetInt64(first + 1, policy.rateUp) || !statement.GetInt64(first + 2, period) ||
      !statement.GetInt64(first + 3, policy.periodAnchor) ||
      !statement.GetInt64(first + 4, policy.periodStart) ||
      !statement.GetInt64(first + 5, maxSessions) ||
      !statement.GetInt64(first + 6, policy.expires) ||
      !statement.GetInt64(first + 7, policy.bytesDown) ||
      !statement.GetInt64(first + 8, policy.bytesUp) ||
      !statement.GetInt64(first + 9, protocol)) {
    return false;
  }
  policy.protocol = static_cast<std::int32_t>(protocol);
  policy.period = static_cast<std::int32_t>(period);
  policy.maxSessions = static_cast<std::int32_t>(maxSessions);
  return true;
}

namespace {

bool ReadPolicy(Statement& statement, SQLUSMALLINT first, UserPolicy& policy) {
  return ReadPolicyColumns(statement, first, policy);
}

bool TableExists(StoreConnection& connection) {
  Statement probe(connection.handle(), connection.lostFlag());
  return probe.Prepare("SELECT COUNT(*) FROM UserPolicyTable WHERE 1 = 0") && probe.Execute();
}

bool ProtocolColumnExists(StoreConnection& connection) {
  Statement probe(connection.handle(), connection.lostFlag());
  return probe.Prepare("SELECT COUNT(protocol) FROM UserPolicyTable WHERE 1 = 0") &&
         probe.Execute();
}

bool UserExists(StoreConnection& connection, const std::string& nameKey, bool& exists) {
  Statement select(connection.handle(), connection.lostFlag());
  if (!select.Prepare("SELECT COUNT(*) FROM UsersTable WHERE name_key = ?") ||
      !select.BindText(1, nameKey, kMaxNameLength) || !select.Execute()) {
    return false;
  }
  std::int64_t count = 0;
  if (!select.Fetch() || !select.GetInt64(1, count)) return false;
  exists = count > 0;
  return true;
}

// An UPDATE (the name key last) or INSERT (the name key first, the counters last) of a whole
// row; the rows it changed, or -1 on failure.
SQLLEN WritePolicy(StoreConnection& connection, const char* sql, const std::string& nameKey,
                   const UserPolicy& p, bool insert) {
  Statement statement(connection.handle(), connection.lostFlag());
  SQLUSMALLINT i = 1;
  if (!statement.Prepare(sql)) return -1;
  if (insert && !statement.BindText(i++, nameKey, kMaxNameLength)) return -1;
  for (std::int64_t value : {p.rateDown, p.rateUp, std::int64_t{p.period}, p.periodAnchor,
                             p.periodStart, std::int64_t{p.maxSessions}, p.expires,
                             std::int64_t{p.protocol}}) {
    if (!statement.BindInt64(i++, value)) return -1;
  }
  const bool bound =
      insert ? statement.BindInt64(i, p.bytesDown) && statement.BindInt64(i + 1, p.bytesUp)
             : statement.BindText(i, nameKey, kMaxNameLength);
  return bound && statement.Execute() ? statement.RowCount() : -1;
}

SQLLEN UpdatePolicy(StoreConnection& connection, const std::string& nameKey,
                    const UserPolicy& policy) {
  return WritePolicy(connection,
                     "UPDATE UserPolicyTable SET rate_down = ?, rate_up = ?, quota_period = ?, "
                     "period_anchor = ?, period_start = ?, max_sessions = ?, expires = ?, "
                     "protocol = ? WHERE name_key = ?",
                     nameKey, policy, false);
}

bool InsertPolicy(StoreConnection& connection, const std::string& nameKey,
                  const UserPolicy& policy) {
  return WritePolicy(connection,
                     "INSERT INTO UserPolicyTable (name_key, rate_down, rate_up, quota_period, "
                     "period_anchor, period_start, max_sessions, expires, protocol, bytes_down, "
                     "bytes_up) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     nameKey, policy, true) > 0;
}

// Runs body in a transaction of its own, committed when body succeeded, else rolled back.
template <typename Body>
bool InTransaction(StoreConnection& connection, Body body) {
  if (!connection.SetAutoCommit(false)) return false;
  bool done = body() && connection.EndTransaction(true);
  if (!done) connection.EndTransaction(false);
  return connection.SetAutoCommit(true) && done;
}

// An UPDATE with the name key as its last parameter and int64 values before it; rows changed,
// or -1 on failure.
SQLLEN ChangeRows(StoreConnection& connection, const char* sql,
                  std::initializer_list<std::int64_t> values, const std::string& nameKey) {
  Statement statement(connection.handle(), connection.lostFlag());
  if (!statement.Prepare(sql)) return -1;
  SQLUSMALLINT index = 1;
  for (std::int64_t value : values) {
    if (!statement.BindInt64(index++, value)) return -1;
  }
  if (!statement.BindText(index, nameKey, kMaxNameLength) || !statement.Execute()) return -1;
  return statement.RowCount();
}

}  // namespace

bool EnsurePolicyTable(StoreConnection& connection) {
  if (TableExists(connection)) {
    if (ProtocolColumnExists(connection)) return true;
    if (connection.lost()) return false;
    // A table from before the per-user protocol: every user keeps the daemon's rule.
    connection.Execute(
        "ALTER TABLE UserPolicyTable ADD COLUMN protocol INTEGER NOT NULL DEFAULT 0");
    return ProtocolColumnExists(connection);
  }
  if (connection.lost()) return false;
  connection.Execute(
      "CREATE TABLE UserPolicyTable ("
      "name_key VARCHAR(256) NOT NULL PRIMARY KEY, "
      "rate_down BIGINT NOT NULL, "
      "rate_up BIGINT NOT NULL, "
      "quota_period INTEGER NOT NULL, "
      "period_anchor BIGINT NOT NULL, "
      "period_start BIGINT NOT NULL, "
      "max_sessions INTEGER NOT NULL, "
      "expires BIGINT NOT NULL, "
      "bytes_down BIGINT NOT NULL, "
      "bytes_up BIGINT NOT NULL, "
      "protocol INTEGER NOT NULL DEFAULT 0)");
  return TableExists(connection);
}

Lookup FindPolicy(StoreConnection& connection, const std::string& nameKey, UserPolicy& policy) {
  policy = UserPolicy{};
  Statement select(connection.handle(), connection.lostFlag());
  const std::string sql =
      std::string("SELECT ") + kPolicyColumns + " FROM UserPolicyTable WHERE name_key = ?";
  if (select.Prepare(sql.c_str()) && select.BindText(1, nameKey, kMaxNameLength) &&
      select.Execute() && select.Fetch() && ReadPolicy(select, 1, policy)) {
    return Lookup::kFound;
  }
  policy = UserPolicy{};
  return select.failed() ? Lookup::kFailed : Lookup::kMissing;
}

Lookup StorePolicy(StoreConnection& connection, const std::string& nameKey,
                   const UserPolicy& policy) {
  // Two attempts: a row inserted by another process between our UPDATE and INSERT makes the
  // INSERT fail on the key, and the second UPDATE finds it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool missing = false;
    const bool done = InTransaction(connection, [&] {
      bool exists = false;
      if (!UserExists(connection, nameKey, exists)) return false;
      missing = !exists;
      if (missing) return false;
      const SQLLEN rows = UpdatePolicy(connection, nameKey, policy);
      if (rows != 0) return rows > 0;
      UserPolicy fresh = policy;
      fresh.bytesDown = 0;
      fresh.bytesUp = 0;
      return InsertPolicy(connection, nameKey, fresh);
    });
    if (done) return Lookup::kFound;
    if (missing) return Lookup::kMissing;
    if (connection.lost()) break;
  }
  return Lookup::kFailed;
}

Lookup AddToUserCounters(StoreConnection& connection, const std::string& nameKey, std::int64_t down,
                         std::int64_t up, const DeltaRecord* delta, UserRow& row,
                         UserPolicy& policy, bool& commitSent) {
  if (down < 0 || up < 0) return Lookup::kMissing;
  const std::int64_t sum = down > kMax - up ? kMax : down + up;
  Lookup result = Lookup::kFailed;
  const bool committed = InTransaction(connection, [&] {
    bool newDelta = true;
    if (delta != nullptr && !RecordDelta(connection, *delta, newDelta)) return false;
    if (!newDelta) {
      // Made before: the answer to that addition is what is read now.
      result = FindUserWithPolicy(connection, nameKey, row, policy);
      commitSent = true;
      return result != Lookup::kFailed;
    }
    // The CASEs keep sums from overflowing, which SQLite would turn into a float and
    // PostgreSQL into an error.
    const SQLLEN users = ChangeRows(connection,
                                    "UPDATE UsersTable SET user_counter = CASE WHEN user_counter "
                                    "> ? THEN ? ELSE user_counter + ? END WHERE name_key = ?",
                                    {kMax - sum, kMax, sum}, nameKey);
    if (users <= 0) {
      if (users == 0) result = Lookup::kMissing;
      return false;
    }
    const SQLLEN rows = ChangeRows(
        connection,
        "UPDATE UserPolicyTable SET "
        "bytes_down = CASE WHEN bytes_down > ? THEN ? ELSE bytes_down + ? END, "
        "bytes_up = CASE WHEN bytes_up > ? THEN ? ELSE bytes_up + ? END WHERE name_key = ?",
        {kMax - down, kMax, down, kMax - up, kMax, up}, nameKey);
    if (rows < 0) return false;
    if (rows == 0) {
      UserPolicy fresh{};
      fresh.bytesDown = down;
      fresh.bytesUp = up;
      if (!InsertPolicy(connection, nameKey, fresh)) return false;
    }
    if (FindUserWithPolicy(connection, nameKey, row, policy) != Lookup::kFound) return false;
    commitSent = true;
    result = Lookup::kFound;
    return true;
  });
  if (!committed && result == Lookup::kFound) result = Lookup::kFailed;
  return result;
}

bool BeginPeriod(StoreConnection& connection, const std::string& nameKey, std::int64_t start,
                 bool& began) {
  began = false;
  const bool done = InTransaction(connection, [&] {
    // The condition is the whole guard: of several daemons crossing one boundary, the first
    // update moves the start and every later one finds nothing to change.
    const SQLLEN moved = ChangeRows(connection,
                                    "UPDATE UserPolicyTable SET period_start = ?, bytes_down = 0, "
                                    "bytes_up = 0 WHERE period_start < ? AND name_key = ?",
                                    {start, start}, nameKey);
    if (moved < 0) return false;
    if (moved == 0) return true;
    if (ChangeRows(connection, "UPDATE UsersTable SET user_counter = 0 WHERE name_key = ?", {},
                   nameKey) < 0) {
      return false;
    }
    began = true;
    return true;
  });
  if (!done) began = false;
  return done;
}

bool DeleteUserWithPolicy(StoreConnection& connection, const std::string& nameKey) {
  return InTransaction(connection, [&] {
    return ChangeRows(connection, "DELETE FROM UserPolicyTable WHERE name_key = ?", {}, nameKey) >=
               0 &&
           DeleteUserRow(connection, nameKey);
  });
}

bool ResetUserCounters(StoreConnection& connection, const std::string& nameKey) {
  return InTransaction(connection, [&] {
    return ChangeRows(connection,
                      "UPDATE UserPolicyTable SET bytes_down = 0, bytes_up = 0 WHERE name_key = ?",
                      {}, nameKey) >= 0 &&
           SetUserCounter(connection, nameKey, 0);
  });
}

bool ForEachPolicy(StoreConnection& connection,
                   const std::function<bool(const std::string& name, const UserPolicy&)>& visit) {
  Statement select(connection.handle(), connection.lostFlag());
  const std::string sql =
      "SELECT u.user_name, p.rate_down, p.rate_up, p.quota_period, p.period_anchor, "
      "p.period_start, p.max_sessions, p.expires, p.bytes_down, p.bytes_up, p.protocol "
      "FROM UsersTable u LEFT JOIN UserPolicyTable p ON p.name_key = u.name_key "
      "ORDER BY u.name_key";
  if (!select.Prepare(sql.c_str()) || !select.Execute()) return false;
  std::string name;
  UserPolicy policy;
  while (select.Fetch()) {
    policy = UserPolicy{};
    if (!select.GetText(1, kMaxNameLength, name) || !ReadPolicy(select, 2, policy)) {
      if (select.failed()) return false;
      continue;
    }
    if (!visit(name, policy)) break;
  }
  return !select.failed();
}

}  // namespace tarvo::userstore
