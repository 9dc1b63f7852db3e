#include "external/userstore/applied_deltas.h"

#include <ctime>

#include "external/userstore/statement.h"

namespace tarvo::userstore {
namespace {

bool TableExists(StoreConnection& connection) {
  Statement probe(connection.handle(), connection.lostFlag());
  return probe.Prepare("SELECT COUNT(*) FROM AppliedDeltaTable WHERE 1 = 0") && probe.Execute();
}

// One statement with the owner first and integers after it; rows changed, or -1.
SQLLEN Change(StoreConnection& connection, const char* sql, const std::string& owner,
              std::initializer_list<std::int64_t> values) {
  Statement statement(connection.handle(), connection.lostFlag());
  if (!statement.Prepare(sql) || !statement.BindText(1, owner, kMaxDeltaOwnerLength)) return -1;
  SQLUSMALLINT index = 2;
  for (std::int64_t value : values) {
    if (!statement.BindInt64(index++, value)) return -1;
  }
  return statement.Execute() ? statement.RowCount() : -1;
}

}  // namespace

std::int64_t NowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool EnsureAppliedDeltaTable(StoreConnection& connection) {
  if (!TableExists(connection)) {
    if (connection.lost()) return false;
    // Another process may create it first; the probe after tells.
    connection.Execute(
        "CREATE TABLE AppliedDeltaTable ("
        "owner VARCHAR(64) NOT NULL, "
        "seq BIGINT NOT NULL, "
        "applied_at BIGINT NOT NULL, "
        "PRIMARY KEY (owner, seq))");
    if (!TableExists(connection)) return false;
  }
  // A reader without write access keeps working: the next daemon prunes.
  Statement prune(connection.handle(), connection.lostFlag());
  if (prune.Prepare("DELETE FROM AppliedDeltaTable WHERE applied_at < ?") &&
      prune.BindInt64(1, NowSeconds() - kAppliedDeltaKeepSeconds)) {
    prune.Execute();
  }
  return !connection.lost();
}

bool RecordDelta(StoreConnection& connection, const DeltaRecord& delta, bool& fresh) {
  if (Change(connection, "DELETE FROM AppliedDeltaTable WHERE owner = ? AND seq < ?",
             delta.owner, {delta.keepFrom}) < 0) {
    return false;
  }
  Statement insert(connection.handle(), connection.lostFlag());
  if (!insert.Prepare("INSERT INTO AppliedDeltaTable (owner, seq, applied_at) SELECT ?, ?, ? "
                      "WHERE NOT EXISTS (SELECT 1 FROM AppliedDeltaTable WHERE owner = ? AND "
                      "seq = ?)") ||
      !insert.BindText(1, delta.owner, kMaxDeltaOwnerLength) || !insert.BindInt64(2, delta.seq) ||
      !insert.BindInt64(3, NowSeconds()) ||
      !insert.BindText(4, delta.owner, kMaxDeltaOwnerLength) || !insert.BindInt64(5, delta.seq) ||
      !insert.Execute()) {
    return false;
  }
  const SQLLEN added = insert.RowCount();
  if (added < 0) return false;
  fresh = added > 0;
  return true;
}

}  // namespace tarvo::userstore
