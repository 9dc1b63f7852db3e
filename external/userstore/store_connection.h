// The connection to the user store. Which store: the ODBC connection string in TARVO_STORE
// when set; else the data source "VPN" when one is configured; else the SQLite3 ODBC driver
// on the file VPNdb.sqlite3 in the home directory. SQLite stores get a busy timeout and WAL
// journaling so that the daemon and the console can write at the same time.
#pragma once

#include <memory>
#include <string>

#include "external/userstore/odbc_handles.h"

namespace tarvo::userstore {

inline constexpr char kStoreVariable[] = "TARVO_STORE";
inline constexpr char kDataSourceName[] = "VPN";
inline constexpr char kSqliteFileName[] = "VPNdb.sqlite3";
inline constexpr int kBusyTimeoutMilliseconds = 10000;

class StoreConnection {
 public:
  // Opens the store chosen as above; nullptr when it cannot be opened.
  static std::unique_ptr<StoreConnection> Open();

  SQLHDBC handle() const { return dbc_.get(); }
  // Set by statements when the connection broke; the owner then opens a new one.
  bool* lostFlag() { return &lost_; }
  bool lost() const { return lost_; }
  bool isSqlite() const { return sqlite_; }
  // PostgreSQL can add and read back in one statement (data-modifying WITH, ON CONFLICT).
  bool isPostgres() const { return postgres_; }

  // Runs one statement without parameters or results.
  bool Execute(const char* sql);
  bool SetAutoCommit(bool on);
  bool EndTransaction(bool commit);

 private:
  StoreConnection() = default;
  bool Connect(const std::string& connectionString);
  // Learns which database answers, and tunes SQLite.
  void TuneForDatabase();

  EnvHandle env_;
  DbcHandle dbc_;
  bool lost_ = false;
  bool sqlite_ = false;
  bool postgres_ = false;
};

}  // namespace tarvo::userstore
