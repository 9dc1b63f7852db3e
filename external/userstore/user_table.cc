#include "external/userstore/user_table.h"

#include <limits>

#include "external/userstore/statement.h"

namespace tarvo::userstore {
namespace {

bool ReadRow(Statement& statement, UserRow& row) { return ReadUserColumns(statement, 1, row); }

bool TableExists(StoreConnection& connection) {
  Statement probe(connection.handle(), connection.lostFlag());
  return probe.Prepare("SELECT COUNT(*) FROM UsersTable WHERE 1 = 0") && probe.Execute();
}

enum class UpdateResult { kUpdated, kMissing, kFailed };

UpdateResult UpdateCredentials(StoreConnection& connection, const UserRow& row) {
  Statement update(connection.handle(), connection.lostFlag());
  if (!update.Prepare("UPDATE UsersTable SET user_password = ?, pwd_sealed = ?, user_limit = ? "
                      "WHERE name_key = ?") ||
      !update.BindText(1, row.password, kMaxStoredPasswordLength) ||
      !update.BindInt64(2, row.sealed ? 1 : 0) || !update.BindInt64(3, row.limit) ||
      !update.BindText(4, row.nameKey, kMaxNameLength) || !update.Execute()) {
    return UpdateResult::kFailed;
  }
  SQLLEN changed = update.RowCount();
  if (changed < 0) return UpdateResult::kFailed;
  return changed > 0 ? UpdateResult::kUpdated : UpdateResult::kMissing;
}

bool InsertUser(StoreConnection& connection, const UserRow& row) {
  Statement insert(connection.handle(), connection.lostFlag());
  return insert.Prepare(
             "INSERT INTO UsersTable (user_name, name_key, user_password, pwd_sealed, "
             "user_limit, user_counter, user_locked) VALUES (?, ?, ?, ?, ?, 0, 0)") &&
         insert.BindText(1, row.name, kMaxNameLength) &&
         insert.BindText(2, row.nameKey, kMaxNameLength) &&
         insert.BindText(3, row.password, kMaxStoredPasswordLength) &&
         insert.BindInt64(4, row.sealed ? 1 : 0) && insert.BindInt64(5, row.limit) &&
         insert.Execute();
}

// Runs an UPDATE or DELETE with the name key as its last parameter; true when a row matched.
bool ChangeOneRow(StoreConnection& connection, const char* sql, const std::int64_t* value,
                  const std::string& nameKey) {
  Statement statement(connection.handle(), connection.lostFlag());
  if (!statement.Prepare(sql)) return false;
  SQLUSMALLINT index = 1;
  if (value != nullptr && !statement.BindInt64(index++, *value)) return false;
  if (!statement.BindText(index, nameKey, kMaxNameLength) || !statement.Execute()) return false;
  return statement.RowCount() > 0;
}

}  // namespace

bool ReadUserColumns(Statement& statement, SQLUSMALLINT first, UserRow& row) {
  std::int64_t sealed = 0;
  std::int64_t locked = 0;
  if (!statement.GetText(first, kMaxNameLength, row.name) ||
      !statement.GetText(first + 1, kMaxNameLength, row.nameKey) ||
      !statement.GetText(first + 2, kMaxStoredPasswordLength, row.password) ||
      !statement.GetInt64(first + 3, sealed) || !statement.GetInt64(first + 4, row.limit) ||
      !statement.GetInt64(first + 5, row.counter) || !statement.GetInt64(first + 6, locked)) {
    return false;
  }
  row.sealed = sealed != 0;
  row.locked = locked != 0;
  return true;
}

std::string NameKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

bool EnsureUserTable(StoreConnection& connection) {
  if (TableExists(connection)) return true;
  if (connection.lost()) return false;
  connection.Execute(
      "CREATE TABLE UsersTable ("
      "name_key VARCHAR(256) NOT NULL PRIMARY KEY, "
      "user_name VARCHAR(256) NOT NULL, "
      "user_password VARCHAR(600) NOT NULL, "
      "pwd_sealed INTEGER NOT NULL, "
      "user_limit BIGINT NOT NULL, "
      "user_counter BIGINT NOT NULL, "
      "user_locked INTEGER NOT NULL)");
  // Whoever created it, the table is there now or the store is unusable.
  return TableExists(connection);
}

Lookup FindUser(StoreConnection& connection, const std::string& nameKey, UserRow& row) {
  Statement select(connection.handle(), connection.lostFlag());
  std::string sql = std::string("SELECT ") + kUserColumns + " FROM UsersTable WHERE name_key = ?";
  if (select.Prepare(sql.c_str()) && select.BindText(1, nameKey, kMaxNameLength) &&
      select.Execute() && select.Fetch() && ReadRow(select, row)) {
    return Lookup::kFound;
  }
  // Fetch and ReadRow answer false without failing the statement for no row or a row too long.
  return select.failed() ? Lookup::kFailed : Lookup::kMissing;
}

bool StoreUser(StoreConnection& connection, const UserRow& row) {
  // Two attempts: when another process inserts the same user between our UPDATE and INSERT,
  // the INSERT fails on the key and the second UPDATE finds the row.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!connection.SetAutoCommit(false)) return false;
    UpdateResult result = UpdateCredentials(connection, row);
    bool done = result == UpdateResult::kUpdated ||
                (result == UpdateResult::kMissing && InsertUser(connection, row));
    done = done && connection.EndTransaction(true);
    if (!done) connection.EndTransaction(false);
    bool restored = connection.SetAutoCommit(true);
    if (done) return restored;
    if (connection.lost() || result == UpdateResult::kFailed) return false;
  }
  return false;
}

bool DeleteUserRow(StoreConnection& connection, const std::string& nameKey) {
  return ChangeOneRow(connection, "DELETE FROM UsersTable WHERE name_key = ?", nullptr, nameKey);
}

bool SetUserLocked(StoreConnection& connection, const std::string& nameKey, bool locked) {
  std::int64_t value = locked ? 1 : 0;
  return ChangeOneRow(connection, "UPDATE UsersTable SET user_locked = ? WHERE name_key = ?",
                      &value, nameKey);
}

bool SetUserCounter(StoreConnection& connection, const std::string& nameKey, std::int64_t counter) {
  return ChangeOneRow(connection, "UPDATE UsersTable SET user_counter = ? WHERE name_key = ?",
                      &counter, nameKey);
}

Lookup AddToUserCounter(StoreConnection& connection, const std::string& nameKey, std::int64_t delta,
                        std::int64_t& counter, bool& commitSent) {
  if (delta < 0) return Lookup::kMissing;
  if (!connection.SetAutoCommit(false)) return Lookup::kFailed;
  // The CASE keeps the sum from overflowing, which SQLite would turn into a float and
  // PostgreSQL into an error.
  Statement update(connection.handle(), connection.lostFlag());
  bool done = update.Prepare(
                  "UPDATE UsersTable SET user_counter = CASE WHEN user_counter > ? THEN ? "
                  "ELSE user_counter + ? END WHERE name_key = ?") &&
              update.BindInt64(1, std::numeric_limits<std::int64_t>::max() - delta) &&
              update.BindInt64(2, std::numeric_limits<std::int64_t>::max()) &&
              update.BindInt64(3, delta) && update.BindText(4, nameKey, kMaxNameLength) &&
              update.Execute();
  SQLLEN changed = done ? update.RowCount() : -1;
  Lookup result = changed > 0 ? Lookup::kFound : changed == 0 ? Lookup::kMissing : Lookup::kFailed;
  if (result == Lookup::kFound) {
    Statement select(connection.handle(), connection.lostFlag());
    done = select.Prepare("SELECT user_counter FROM UsersTable WHERE name_key = ?") &&
           select.BindText(1, nameKey, kMaxNameLength) && select.Execute() && select.Fetch() &&
           select.GetInt64(1, counter);
    if (done) {
      commitSent = true;
      done = connection.EndTransaction(true);
    }
    if (!done) result = Lookup::kFailed;
  }
  if (result != Lookup::kFound) connection.EndTransaction(false);
  return connection.SetAutoCommit(true) ? result : Lookup::kFailed;
}

bool ForEachUser(StoreConnection& connection, const std::function<bool(const UserRow&)>& visit) {
  Statement select(connection.handle(), connection.lostFlag());
  std::string sql = std::string("SELECT ") + kUserColumns + " FROM UsersTable ORDER BY name_key";
  if (!select.Prepare(sql.c_str()) || !select.Execute()) return false;
  UserRow row;
  while (select.Fetch()) {
    if (!ReadRow(select, row)) {
      if (select.failed()) return false;
      continue;
    }
    if (!visit(row)) break;
  }
  return !select.failed();
}

bool UserPage(StoreConnection& connection, const std::string& search, const char* column,
              bool descending, std::int64_t offset, std::int64_t limit, std::int64_t& total,
              std::vector<UserRow>& rows) {
  // The search is a part of the name: LIKE's own characters in it are matched as themselves.
  std::string pattern = "%";
  for (char c : search) {
    if (c == '%' || c == '_' || c == '!') pattern += '!';
    pattern += c;
  }
  pattern += '%';
  const std::string where = " FROM UsersTable WHERE name_key LIKE ? ESCAPE '!'";
  Statement count(connection.handle(), connection.lostFlag());
  if (!count.Prepare(("SELECT COUNT(*)" + where).c_str()) ||
      !count.BindText(1, pattern, 2 * kMaxNameLength + 2) || !count.Execute() || !count.Fetch() ||
      !count.GetInt64(1, total)) {
    return false;
  }
  const std::string order = std::string(column) + (descending ? " DESC" : " ASC") +
                            (std::string(column) == "name_key" ? "" : ", name_key ASC");
  Statement select(connection.handle(), connection.lostFlag());
  const std::string sql = std::string("SELECT ") + kUserColumns + where + " ORDER BY " + order +
                          " LIMIT ? OFFSET ?";
  if (!select.Prepare(sql.c_str()) || !select.BindText(1, pattern, 2 * kMaxNameLength + 2) ||
      !select.BindInt64(2, limit) || !select.BindInt64(3, offset) || !select.Execute()) {
    return false;
  }
  rows.clear();
  UserRow row;
  while (select.Fetch()) {
    if (ReadRow(select, row)) {
      rows.push_back(row);
    } else if (select.failed()) {
      return false;
    }
  }
  return !select.failed();
}

}  // namespace tarvo::userstore
