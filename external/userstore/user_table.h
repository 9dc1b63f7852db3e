// The table UsersTable: one row per user, found by name_key, the ASCII lower-cased name, so
// that names match without regard to letter case while user_name keeps the name as given.
// The SQL is plain enough for SQLite, PostgreSQL and SQL Server.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "external/userstore/store_connection.h"

namespace tarvo::userstore {

inline constexpr std::size_t kMaxNameLength = 256;
inline constexpr std::size_t kMaxPasswordLength = 256;
// Room for a sealed 256-character password (prefix and base64 of 284 bytes) and then some.
inline constexpr std::size_t kMaxStoredPasswordLength = 600;

struct UserRow {
  std::string name;
  std::string nameKey;
  std::string password;  // as stored: plain, or sealed when sealed is set
  bool sealed = false;
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  bool locked = false;
};

// What a lookup found: a row, no such row, or nothing because the store failed.
enum class Lookup { kFound, kMissing, kFailed };

class Statement;

// The user columns, in this order, as every read of UsersTable names them.
inline constexpr char kUserColumns[] =
    "user_name, name_key, user_password, pwd_sealed, user_limit, user_counter, user_locked";
// Reads the columns of kUserColumns from column first on into row. False: a failure, or (with
// the statement not failed) a value too long to be used.
bool ReadUserColumns(Statement& statement, unsigned short first, UserRow& row);

// The name as matched: ASCII letters lower-cased, every other byte kept.
std::string NameKey(const std::string& name);

// Creates UsersTable when it does not exist yet (also when another process races to do so).
bool EnsureUserTable(StoreConnection& connection);

// kFound with the row filled when a user with this name key exists. A row whose values are too
// long to be used counts as missing: nobody can log in with it.
Lookup FindUser(StoreConnection& connection, const std::string& nameKey, UserRow& row);

// Replaces password and limit of the row with row.nameKey, or inserts row with counter 0 and
// unlocked, in one transaction. A row inserted meanwhile by another process is updated instead.
bool StoreUser(StoreConnection& connection, const UserRow& row);

// The setters answer false when no row has the name key.
bool DeleteUserRow(StoreConnection& connection, const std::string& nameKey);
bool SetUserLocked(StoreConnection& connection, const std::string& nameKey, bool locked);
bool SetUserCounter(StoreConnection& connection, const std::string& nameKey, std::int64_t counter);

// Adds delta (0 or more, saturating) to the counter and reads it back, in one transaction;
// kFound with counter set, kMissing when no row has the name key. commitSent is set once the
// commit went to the database: after that a lost connection leaves unknown whether the addition
// happened, so it must not be tried again.
Lookup AddToUserCounter(StoreConnection& connection, const std::string& nameKey, std::int64_t delta,
                        std::int64_t& counter, bool& commitSent);

// Calls visit for each row in name-key order until it returns false. Rows whose values are too
// long for the records are skipped. False on a failure of the store.
bool ForEachUser(StoreConnection& connection, const std::function<bool(const UserRow&)>& visit);

// One page of the users whose name key contains search (a name key itself), ordered by column
// (one of name_key, user_limit, user_counter, user_locked; then by name key), and how many
// match in all. False on a failure of the store.
bool UserPage(StoreConnection& connection, const std::string& search, const char* column,
              bool descending, std::int64_t offset, std::int64_t limit, std::int64_t& total,
              std::vector<UserRow>& rows);

}  // namespace tarvo::userstore
