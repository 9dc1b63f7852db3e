#include "external/userstore/store_connection.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "external/userstore/statement.h"
#include "platform/home.h"
#include "platform/own_file.h"

namespace tarvo::userstore {
namespace {

constexpr char kSqliteDriverName[] = "SQLite3";
// Where distributions put the SQLite3 ODBC driver, for systems where it is not registered.
constexpr const char* kSqliteDriverPaths[] = {
    "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so",
    "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so",
    "/usr/lib/odbc/libsqlite3odbc.so",
    "/usr/lib64/libsqlite3odbc.so",
    "/usr/local/lib/libsqlite3odbc.so",
};

// Walks the names given by an ODBC listing function (SQLDataSources, SQLDrivers).
template <typename ListFunction>
bool ListContains(SQLHENV env, ListFunction list, const char* wanted) {
  SQLCHAR name[256];
  SQLSMALLINT nameLength = 0;
  SQLCHAR description[512];
  SQLSMALLINT descriptionLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (Succeeded(list(env, direction, name, sizeof(name), &nameLength, description,
                        sizeof(description), &descriptionLength))) {
    if (strcasecmp(reinterpret_cast<const char*>(name), wanted) == 0) return true;
    direction = SQL_FETCH_NEXT;
  }
  return false;
}

bool DataSourceConfigured(SQLHENV env) {
  return ListContains(env, SQLDataSources, kDataSourceName);
}

std::string SqliteDriver(SQLHENV env) {
  if (ListContains(env, SQLDrivers, kSqliteDriverName)) return kSqliteDriverName;
  for (const char* path : kSqliteDriverPaths) {
    if (access(path, R_OK) == 0) return path;
  }
  return kSqliteDriverName;
}

// The store holds password equivalents. SQLite gives its -wal and -shm files the mode of the
// database file, so the store is created here, empty, with Tarvo's mode for it; files an
// earlier start left open to others are closed to them.
void PrepareSqliteFile(const std::string& path) {
  // A user who may not create it (a member's console) leaves it to SQLite and its answer.
  if (UniqueFd file = OpenOwnFile(path, O_RDONLY, kStoreFileMode); !file) return;
  for (const char* suffix : {"-wal", "-shm"}) {
    UniqueFd side(::open((path + suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (side) CloseToOthers(side.get(), kStoreFileMode);
  }
}

// The connection string of the default store; empty when the home path cannot be used.
std::string SqliteConnectionString(SQLHENV env) {
  std::string path;
  if (!HomeFilePath(kSqliteFileName, path)) return {};
  // These characters would end or re-open a value of the connection string.
  if (path.find_first_of(";{}") != std::string::npos) return {};
  PrepareSqliteFile(path);
  return "Driver=" + SqliteDriver(env) + ";Database=" + path +
         ";Timeout=" + std::to_string(kBusyTimeoutMilliseconds) + ";";
}

}  // namespace

std::unique_ptr<StoreConnection> StoreConnection::Open() {
  std::unique_ptr<StoreConnection> connection(new StoreConnection());
  connection->env_ = EnvHandle::Allocate(SQL_NULL_HANDLE);
  if (!connection->env_ ||
      !Succeeded(SQLSetEnvAttr(connection->env_.get(), SQL_ATTR_ODBC_VERSION,
                               reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    return nullptr;
  }

  std::string connectionString;
  const char* fromEnvironment = std::getenv(kStoreVariable);
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
    connectionString = fromEnvironment;
  } else if (DataSourceConfigured(connection->env_.get())) {
    connectionString = std::string("DSN=") + kDataSourceName + ";";
  } else {
    connectionString = SqliteConnectionString(connection->env_.get());
  }
  if (connectionString.empty() || !connection->Connect(connectionString)) return nullptr;
  connection->TuneForDatabase();
  return connection;
}

bool StoreConnection::Connect(const std::string& connectionString) {
  dbc_ = DbcHandle::Allocate(env_.get());
  if (!dbc_) return false;
  SQLCHAR completed[1024];
  SQLSMALLINT completedLength = 0;
  // Connections are made one at a time: the PostgreSQL driver's connect reads its settings
  // through state shared by the process, and two threads connecting at once have it read
  // memory another just freed (seen under AddressSanitizer). Once made, connections work side
  // by side; the pool makes few of them.
  static std::mutex connecting;
  std::lock_guard lock(connecting);
  SQLRETURN rc = SQLDriverConnect(
      dbc_.get(), nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
      SQL_NTS, completed, sizeof(completed), &completedLength, SQL_DRIVER_NOPROMPT);
  if (!Succeeded(rc)) {
    dbc_.Reset();
    return false;
  }
  return true;
}

void StoreConnection::TuneForDatabase() {
  SQLCHAR dbms[64] = {};
  SQLSMALLINT length = 0;
  if (!Succeeded(SQLGetInfo(dbc_.get(), SQL_DBMS_NAME, dbms, sizeof(dbms), &length))) return;
  postgres_ = strncasecmp(reinterpret_cast<const char*>(dbms), "PostgreSQL", 10) == 0;
  if (strncasecmp(reinterpret_cast<const char*>(dbms), "SQLite", 6) != 0) return;
  sqlite_ = true;
  // A data source may not set the driver's timeout; the pragma covers that case too. WAL lets
  // readers and one writer work at once; a store that cannot switch keeps working as it is.
  Execute(("PRAGMA busy_timeout=" + std::to_string(kBusyTimeoutMilliseconds)).c_str());
  Execute("PRAGMA journal_mode=WAL");
}

bool StoreConnection::Execute(const char* sql) {
  Statement statement(dbc_.get(), &lost_);
  return statement.Prepare(sql) && statement.Execute();
}

bool StoreConnection::SetAutoCommit(bool on) {
  SQLRETURN rc = SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(
                                       on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                                   0);
  if (Succeeded(rc)) return true;
  if (DiagnosticsSayConnectionLost(SQL_HANDLE_DBC, dbc_.get())) lost_ = true;
  return false;
}

bool StoreConnection::EndTransaction(bool commit) {
  SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (Succeeded(rc)) return true;
  if (DiagnosticsSayConnectionLost(SQL_HANDLE_DBC, dbc_.get())) lost_ = true;
  return false;
}

}  // namespace tarvo::userstore
