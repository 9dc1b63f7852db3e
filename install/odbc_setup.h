// The system data source "VPN" that the user store opens, and the database behind it. The
// driver comes from TARVO_ODBC_DRIVER (default the SQLite3 driver, whose database is a file in
// the home directory); TARVO_ODBC_ATTRIBUTES adds or replaces attributes ("Port=5433;
// Username=tarvo"). ODBCSYSINI redirects the data-source files, as everywhere in unixODBC.
#pragma once

#include <string>
#include <vector>

namespace tarvo::install {

inline constexpr char kOdbcDriverVariable[] = "TARVO_ODBC_DRIVER";
inline constexpr char kOdbcAttributesVariable[] = "TARVO_ODBC_ATTRIBUTES";
inline constexpr char kDefaultOdbcDriver[] = "SQLite3";
inline constexpr char kDataSourceName[] = "VPN";
inline constexpr char kDatabaseName[] = "VPNdb";
// The file the user store opens in the home directory when it uses SQLite.
inline constexpr char kSqliteFileName[] = "VPNdb.sqlite3";

// What the set-up does for one driver: the data source first on the server's maintenance
// database, where createDatabase (when not empty) makes the database, then on the database.
struct DataSourcePlan {
  std::vector<std::string> first;  // "Keyword=value", "DSN=VPN" among them
  std::vector<std::string> second;
  std::string createDatabase;
};

// hostName names the database server for drivers that need one; homeDirectory ends with '/';
// extraAttributes is the text of TARVO_ODBC_ATTRIBUTES.
DataSourcePlan PlanDataSource(const std::string& driver, const std::string& hostName,
                              const std::string& homeDirectory, const std::string& extraAttributes);

// Configures "VPN", creates the database where the driver has a server, and checks that the
// database opens. Existing tables and users are left as they are. False at the first failure;
// only a failure to allocate an ODBC connection is shown to the operator.
bool SetUpDatabase(const std::string& homeDirectory);

}  // namespace tarvo::install
