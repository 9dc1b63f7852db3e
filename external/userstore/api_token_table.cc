#include <atomic>
#include <cstring>
#include <string>

#include "external/reader_tokens.h"
#include "external/userstore/statement.h"
#include "external/userstore/store_pool.h"

namespace tarvo::userstore {
namespace {

constexpr SQLULEN kNameSize = sizeof ApiTokenRow::name - 1;
constexpr SQLULEN kRoleSize = sizeof ApiTokenRow::role - 1;
constexpr SQLULEN kHashSize = sizeof ApiTokenRow::hash - 1;

bool TableExists(StoreConnection& connection) {
  Statement probe(connection.handle(), connection.lostFlag());
  return probe.Prepare("SELECT COUNT(*) FROM ApiTokenTable WHERE 1 = 0") && probe.Execute();
}

// The table is made by the first call that needs it; later calls of the process skip the probe.
bool EnsureTable(StoreConnection& connection) {
  static std::atomic<bool> ensured{false};
  if (ensured) return true;
  if (!TableExists(connection)) {
    if (connection.lost()) return false;
    // Another process may create it first; the probe after tells.
    connection.Execute(
        "CREATE TABLE ApiTokenTable ("
        "token_name VARCHAR(64) NOT NULL PRIMARY KEY, "
        "token_role VARCHAR(16) NOT NULL, "
        "token_hash VARCHAR(64) NOT NULL, "
        "created BIGINT NOT NULL)");
    if (!TableExists(connection)) return false;
  }
  ensured = true;
  return true;
}

bool ReadRow(Statement& statement, ApiTokenRow& row) {
  std::string name, role, hash;
  std::memset(&row, 0, sizeof row);
  if (!statement.GetText(1, kNameSize, name) || !statement.GetText(2, kRoleSize, role) ||
      !statement.GetText(3, kHashSize, hash) || !statement.GetInt64(4, row.created)) {
    return false;
  }
  CopyText(name, row.name);
  CopyText(role, row.role);
  CopyText(hash, row.hash);
  return true;
}

bool Fits(const char* text, std::size_t size) {
  return text != nullptr && *text != '\0' && std::strlen(text) <= size;
}

}  // namespace
}  // namespace tarvo::userstore

using namespace tarvo::userstore;

std::int32_t AddApiToken(const ApiTokenRow* row) {
  if (row == nullptr || !Fits(row->name, kNameSize) || !Fits(row->role, kRoleSize) ||
      !Fits(row->hash, kHashSize)) {
    return READER_FAILED;
  }
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (!EnsureTable(connection)) return std::int32_t{READER_FAILED};
    Statement insert(connection.handle(), connection.lostFlag());
    if (!insert.Prepare("INSERT INTO ApiTokenTable (token_name, token_role, token_hash, created) "
                        "SELECT ?, ?, ?, ? WHERE NOT EXISTS "
                        "(SELECT 1 FROM ApiTokenTable WHERE token_name = ?)") ||
        !insert.BindText(1, row->name, kNameSize) || !insert.BindText(2, row->role, kRoleSize) ||
        !insert.BindText(3, row->hash, kHashSize) || !insert.BindInt64(4, row->created) ||
        !insert.BindText(5, row->name, kNameSize) || !insert.Execute()) {
      return std::int32_t{READER_FAILED};
    }
    const SQLLEN added = insert.RowCount();
    if (added < 0) return std::int32_t{READER_FAILED};
    return std::int32_t{added > 0 ? READER_OK : READER_NO_USER};
  });
}

std::int32_t RemoveApiToken(const char* name) {
  if (!Fits(name, kNameSize)) return READER_NO_USER;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (!EnsureTable(connection)) return std::int32_t{READER_FAILED};
    Statement remove(connection.handle(), connection.lostFlag());
    if (!remove.Prepare("DELETE FROM ApiTokenTable WHERE token_name = ?") ||
        !remove.BindText(1, name, kNameSize) || !remove.Execute()) {
      return std::int32_t{READER_FAILED};
    }
    const SQLLEN removed = remove.RowCount();
    if (removed < 0) return std::int32_t{READER_FAILED};
    return std::int32_t{removed > 0 ? READER_OK : READER_NO_USER};
  });
}

bool VisitApiTokens(void* context, void (*visit)(void*, const ApiTokenRow*)) {
  if (visit == nullptr) return false;
  std::vector<ApiTokenRow> rows;
  const bool read = Store().Run(false, [&](StoreConnection& connection) {
    rows.clear();
    if (!EnsureTable(connection)) return false;
    Statement select(connection.handle(), connection.lostFlag());
    if (!select.Prepare("SELECT token_name, token_role, token_hash, created FROM ApiTokenTable "
                        "ORDER BY token_name") ||
        !select.Execute()) {
      return false;
    }
    while (select.Fetch()) {
      ApiTokenRow row;
      if (ReadRow(select, row)) rows.push_back(row);
    }
    return !select.failed();
  });
  if (!read) return false;
  for (const ApiTokenRow& row : rows) visit(context, &row);
  return true;
}

std::int32_t FindApiToken(const char* hash, ApiTokenRow* row) {
  if (row == nullptr || !Fits(hash, kHashSize)) return READER_NO_USER;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (!EnsureTable(connection)) return std::int32_t{READER_FAILED};
    Statement select(connection.handle(), connection.lostFlag());
    if (!select.Prepare("SELECT token_name, token_role, token_hash, created FROM ApiTokenTable "
                        "WHERE token_hash = ?") ||
        !select.BindText(1, hash, kHashSize) || !select.Execute()) {
      return std::int32_t{READER_FAILED};
    }
    if (!select.Fetch()) return std::int32_t{select.failed() ? READER_FAILED : READER_NO_USER};
    return std::int32_t{ReadRow(select, *row) ? READER_OK : READER_FAILED};
  });
}
