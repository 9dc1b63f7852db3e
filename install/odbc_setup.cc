#include "install/odbc_setup.h"

#include <fcntl.h>
#include <odbcinst.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "external/userstore/odbc_handles.h"
#include "install/operator_messages.h"
#include "platform/own_file.h"

// unixODBC's directory of the system data-source files (ODBCSYSINI or its built-in default);
// exported by libodbcinst, declared only in its private header.
extern "C" char* odbcinst_system_file_path(char* buffer);

namespace tarvo::install {
namespace {

using userstore::DbcHandle;
using userstore::EnvHandle;
using userstore::StmtHandle;
using userstore::Succeeded;

bool NameContains(const std::string& name, const char* part) {
  std::string lower;
  for (char c : name) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower.find(part) != std::string::npos;
}

std::string Keyword(const std::string& attribute) {
  return attribute.substr(0, attribute.find('='));
}

// Adds each "Keyword=value" of text (';'-separated) to attributes, replacing one with the same
// keyword. DSN stays as it is: the data source is always "VPN".
void MergeAttributes(std::vector<std::string>& attributes, const std::string& text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string attribute = text.substr(start, end - start);
    start = end + 1;
    std::size_t equals = attribute.find('=');
    if (equals == 0 || equals == std::string::npos) continue;
    std::string keyword = Keyword(attribute);
    if (strcasecmp(keyword.c_str(), "DSN") == 0) continue;
    bool replaced = false;
    for (std::string& existing : attributes) {
      if (strcasecmp(Keyword(existing).c_str(), keyword.c_str()) == 0) {
        existing = attribute;
        replaced = true;
      }
    }
    if (!replaced) attributes.push_back(attribute);
  }
}

std::string HostName() {
  char name[1024] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// The setup routine that SQLConfigDataSource calls comes with the driver, and the SQLite3 and
// PostgreSQL drivers of the common distributions ship none; the entries are then written
// directly, as such a routine would.
bool ConfigureDataSource(const std::string& driver, const std::vector<std::string>& attributes) {
  std::string list;
  for (const std::string& attribute : attributes) {
    list += attribute;
    list += '\0';
  }
  list += '\0';
  if (SQLConfigDataSource(nullptr, ODBC_ADD_SYS_DSN, driver.c_str(), list.c_str())) return true;

  // The profile functions write only into a file that exists.
  char buffer[FILENAME_MAX + 1] = {};
  const char* directory = odbcinst_system_file_path(buffer);
  std::string path = std::string(directory != nullptr ? directory : buffer) + "/odbc.ini";
  if (::access(path.c_str(), F_OK) != 0) std::ofstream(path, std::ios::app).close();

  SQLSetConfigMode(ODBC_SYSTEM_DSN);
  bool ok = SQLWriteDSNToIni(kDataSourceName, driver.c_str());
  for (const std::string& attribute : attributes) {
    std::string keyword = Keyword(attribute);
    if (!ok || strcasecmp(keyword.c_str(), "DSN") == 0) continue;
    std::string value = attribute.substr(keyword.size() + 1);
    ok = SQLWritePrivateProfileString(kDataSourceName, keyword.c_str(), value.c_str(), "odbc.ini");
  }
  SQLSetConfigMode(ODBC_BOTH_DSN);
  return ok;
}

// An ODBC 3 environment with a connection to "VPN"; the connection is empty on failure.
// showMissingOdbc: the first set-up step tells the operator when ODBC itself is missing.
DbcHandle ConnectDataSource(EnvHandle& env, bool showMissingOdbc) {
  env = EnvHandle::Allocate(SQL_NULL_HANDLE);
  if (!env || !Succeeded(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                                       reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    return {};
  }
  DbcHandle dbc = DbcHandle::Allocate(env.get());
  if (!dbc) {
    if (showMissingOdbc) ShowError(kNoOdbcText);
    return {};
  }
  // No user name or password: those the data source carries, or the driver's own files.
  SQLCHAR* source = reinterpret_cast<SQLCHAR*>(const_cast<char*>(kDataSourceName));
  if (!Succeeded(SQLConnect(dbc.get(), source, SQL_NTS, nullptr, 0, nullptr, 0))) return {};
  return dbc;
}

}  // namespace

DataSourcePlan PlanDataSource(const std::string& driver, const std::string& hostName,
                              const std::string& homeDirectory,
                              const std::string& extraAttributes) {
  const std::string dsn = std::string("DSN=") + kDataSourceName;
  const std::string description = "Description=Simple Database";
  DataSourcePlan plan;
  if (NameContains(driver, "sqlite")) {
    // No server: the database is the store's file in the home directory, made on connecting.
    plan.first = {dsn, "Database=" + homeDirectory + kSqliteFileName, "Timeout=10000", description};
    plan.second = plan.first;
  } else if (NameContains(driver, "postgres")) {
    // Unquoted, PostgreSQL would fold the name to lower case and the second configuration
    // would name a database that does not exist.
    plan.first = {"Servername=localhost", dsn, "Database=postgres", description};
    plan.second = {"Servername=localhost", dsn, std::string("Database=") + kDatabaseName,
                   description};
    plan.createDatabase = std::string("CREATE DATABASE \"") + kDatabaseName + "\"";
  } else {
    plan.first = {"Server=" + hostName,     dsn,        "Database=master", "UseProcForPrepare=Yes",
                  "Trusted_Connection=Yes", description};
    plan.second = {"Server=" + hostName,
                   dsn,
                   std::string("Database=") + kDatabaseName,
                   "UseProcForPrepare=Yes",
                   "Trusted_Connection=Yes",
                   description};
    plan.createDatabase = std::string("CREATE DATABASE ") + kDatabaseName;
  }
  MergeAttributes(plan.first, extraAttributes);
  MergeAttributes(plan.second, extraAttributes);
  return plan;
}

bool SetUpDatabase(const std::string& homeDirectory) {
  const char* driverVariable = std::getenv(kOdbcDriverVariable);
  const char* attributesVariable = std::getenv(kOdbcAttributesVariable);
  std::string driver =
      driverVariable != nullptr && *driverVariable != '\0' ? driverVariable : kDefaultOdbcDriver;
  DataSourcePlan plan = PlanDataSource(driver, HostName(), homeDirectory,
                                       attributesVariable != nullptr ? attributesVariable : "");

  if (NameContains(driver, "sqlite")) {
    // Made here with the store's mode: the driver would create it with what the umask leaves.
    OpenOwnFile(homeDirectory + kSqliteFileName, O_RDONLY, kStoreFileMode);
  }
  ConfigureDataSource(driver, plan.first);
  {
    EnvHandle env;
    DbcHandle dbc = ConnectDataSource(env, true);
    if (!dbc) return false;
    if (!plan.createDatabase.empty()) {
      StmtHandle statement = StmtHandle::Allocate(dbc.get());
      if (!statement) return false;
      // An existing database stays as it is; the refusal to create it again is no failure.
      SQLExecDirect(statement.get(), reinterpret_cast<SQLCHAR*>(plan.createDatabase.data()),
                    SQL_NTS);
    }
  }
  if (!ConfigureDataSource(driver, plan.second)) return false;
  // The tables are the user store's own and stay: dropping them would delete every account.
  EnvHandle env;
  DbcHandle dbc = ConnectDataSource(env, false);
  return static_cast<bool>(dbc);
}

}  // namespace tarvo::install
