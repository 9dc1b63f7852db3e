#include "external/userstore/user_changes.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "external/reader_changes.h"
#include "external/userstore/statement.h"
#include "external/userstore/store_pool.h"
#include "external/userstore/user_table.h"

namespace tarvo::userstore {
namespace {

// A libpq value: quoted, with quotes and backslashes escaped.
std::string Quoted(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

// The password of an ODBC connection string in TARVO_STORE (Pwd= or Password=); empty without.
std::string PasswordFromConnectionString() {
  const char* text = std::getenv(kStoreVariable);
  if (text == nullptr) return {};
  std::string rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    const std::string pair = rest.substr(0, end);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos) {
      std::string key = pair.substr(0, equals);
      while (!key.empty() && key.front() == ' ') key.erase(0, 1);
      if (strcasecmp(key.c_str(), "pwd") == 0 || strcasecmp(key.c_str(), "password") == 0) {
        return pair.substr(equals + 1);
      }
    }
    if (end == std::string::npos) break;
    rest.erase(0, end + 1);
  }
  return {};
}

}  // namespace

void AnnounceUserChange(StoreConnection& connection, const std::string& nameKey) {
  if (!connection.isPostgres()) return;
  Statement notify(connection.handle(), connection.lostFlag());
  if (notify.Prepare("SELECT pg_notify(?, ?)") &&
      notify.BindText(1, kUserChangeChannel, sizeof kUserChangeChannel) &&
      notify.BindText(2, nameKey, kMaxNameLength)) {
    notify.Execute();
  }
}

}  // namespace tarvo::userstore

using namespace tarvo::userstore;

bool ReaderChangeListenerConninfo(char* out, std::int32_t size) {
  if (out == nullptr || size <= 0) return false;
  std::string conninfo;
  const bool found = Store().Run(false, [&](StoreConnection& connection) {
    if (!connection.isPostgres()) return false;
    // Asked of the server, so that a data source's settings need not be read here. No address
    // means a Unix socket: libpq's default one.
    Statement where(connection.handle(), connection.lostFlag());
    std::string host, port, database, user;
    if (!where.Prepare("SELECT COALESCE(host(inet_server_addr()), ''), "
                       "COALESCE(CAST(inet_server_port() AS VARCHAR), ''), current_database(), "
                       "current_user") ||
        !where.Execute() || !where.Fetch() || !where.GetText(1, 64, host) ||
        !where.GetText(2, 16, port) || !where.GetText(3, 256, database) ||
        !where.GetText(4, 256, user)) {
      return false;
    }
    if (!host.empty()) conninfo += "host=" + Quoted(host) + " port=" + Quoted(port) + " ";
    conninfo += "dbname=" + Quoted(database) + " user=" + Quoted(user);
    const std::string password = PasswordFromConnectionString();
    if (!password.empty()) conninfo += " password=" + Quoted(password);
    return true;
  });
  if (!found || conninfo.size() >= static_cast<std::size_t>(size)) return false;
  std::memcpy(out, conninfo.c_str(), conninfo.size() + 1);
  return true;
}
