// The exported functions of the user store. One connection per process, guarded by a mutex;
// a connection that broke is opened again and the call tried once more.
#include <cstring>
#include <mutex>
#include <optional>

#include "external/reader.h"
#include "external/userstore/password_sealing.h"
#include "external/userstore/store_connection.h"
#include "external/userstore/user_table.h"
#include "platform/home.h"

namespace tarvo::userstore {
namespace {

class UserStore {
 public:
  // Runs operation on an open connection; when the connection broke during it, opens a new one
  // and runs it again. Every operation is idempotent, so the repeat is safe (AddUserCount, which
  // is not, refuses a repeat once its commit was sent).
  template <typename Result, typename Operation>
  Result Run(Result failure, Operation operation) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!OpenLocked()) return failure;
      Result result = operation(*connection_);
      if (!connection_->lost()) return result;
      connection_.reset();
    }
    return failure;
  }

  bool Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return OpenLocked();
  }

  // The key for sealing (created on first need) or for opening (never created: a new key could
  // open nothing). Called from inside Run, so the mutex is held.
  const SealKey* Key(bool create) {
    if (!key_) {
      std::string path;
      if (!HomeFilePath(kKeyFileName, path)) return nullptr;
      key_ = LoadSealKey(path, create);
    }
    return key_ ? &*key_ : nullptr;
  }

 private:
  bool OpenLocked() {
    if (connection_) return true;
    auto connection = StoreConnection::Open();
    if (!connection || !EnsureUserTable(*connection)) return false;
    connection_ = std::move(connection);
    return true;
  }

  std::mutex mutex_;
  std::unique_ptr<StoreConnection> connection_;
  std::optional<SealKey> key_;
};

UserStore& Store() {
  static UserStore store;
  return store;
}

// Names and passwords longer than the records hold are refused, never cut.
bool UsableName(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strlen(name) <= kMaxNameLength;
}

bool UsablePassword(const char* password) {
  return password != nullptr && std::strlen(password) <= kMaxPasswordLength;
}

// The password of row as the callers use it; nullopt when a sealed value does not open.
std::optional<std::string> PlainPassword(const UserRow& row) {
  if (!row.sealed) return row.password;
  const SealKey* key = Store().Key(false);
  if (key == nullptr) return std::nullopt;
  return OpenPassword(*key, row.nameKey, row.password);
}

void CopyText(const std::string& text, char* out) {
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
}

}  // namespace
}  // namespace tarvo::userstore

using namespace tarvo::userstore;

bool InitReader() { return Store().Open(); }

bool GetUserInfo(const char* name, char* password, std::int64_t* limit, std::int64_t* counter,
                 std::uint8_t* locked) {
  if (!UsableName(name) || password == nullptr || limit == nullptr || counter == nullptr ||
      locked == nullptr) {
    return false;
  }
  return Store().Run(false, [&](StoreConnection& connection) {
    UserRow row;
    if (!FindUser(connection, NameKey(name), row)) return false;
    // A sealed password that does not open (other key, altered row) makes the user unusable
    // rather than handing out bytes that are not the password.
    std::optional<std::string> plain = PlainPassword(row);
    if (!plain || plain->size() > kMaxPasswordLength) return false;
    CopyText(*plain, password);
    *limit = row.limit;
    *counter = row.counter;
    *locked = row.locked ? 1 : 0;
    return true;
  });
}

bool SetUserInfo(const char* name, const char* password, std::int64_t limit,
                 std::uint8_t storeEncryptedPwd) {
  if (!UsableName(name) || !UsablePassword(password)) return false;
  return Store().Run(false, [&](StoreConnection& connection) {
    UserRow row;
    row.name = name;
    row.nameKey = NameKey(row.name);
    row.limit = limit;
    row.password = password;
    if (storeEncryptedPwd != 0) {
      const SealKey* key = Store().Key(true);
      if (key == nullptr) return false;
      std::optional<std::string> sealed = SealPassword(*key, row.nameKey, row.password);
      if (!sealed) return false;
      row.password = *sealed;
      row.sealed = true;
    }
    return StoreUser(connection, row);
  });
}

bool DeleteUser(const char* name) {
  if (!UsableName(name)) return false;
  return Store().Run(
      false, [&](StoreConnection& connection) { return DeleteUserRow(connection, NameKey(name)); });
}

bool LockUser(const char* name, std::uint8_t lock) {
  if (!UsableName(name)) return false;
  return Store().Run(false, [&](StoreConnection& connection) {
    return SetUserLocked(connection, NameKey(name), lock != 0);
  });
}

bool ResetUser(const char* name) {
  if (!UsableName(name)) return false;
  return Store().Run(false, [&](StoreConnection& connection) {
    return SetUserCounter(connection, NameKey(name), 0);
  });
}

void SetUserCount(const char* name, std::int64_t counter) {
  if (!UsableName(name)) return;
  Store().Run(false, [&](StoreConnection& connection) {
    return SetUserCounter(connection, NameKey(name), counter);
  });
}

bool AddUserCount(const char* name, std::int64_t delta, std::int64_t* counter) {
  if (!UsableName(name) || delta < 0 || counter == nullptr) return false;
  // The one operation that is not idempotent: once its commit was sent, a lost connection is
  // not followed by a second attempt, which could count the bytes twice.
  bool commitSent = false;
  return Store().Run(false, [&](StoreConnection& connection) {
    if (commitSent) return false;
    return AddToUserCounter(connection, NameKey(name), delta, *counter, commitSent);
  });
}

std::int32_t EnumUsers2(tarvo::UserInfo* users) {
  if (users == nullptr) return -1;
  return Store().Run(std::int32_t{-1}, [&](StoreConnection& connection) {
    std::int32_t count = 0;
    bool complete = ForEachUser(connection, [&](const UserRow& row) {
      tarvo::UserInfo& record = users[count];
      std::memset(&record, 0, sizeof(record));
      CopyText(row.name, record.name);
      // A sealed password that does not open is listed as empty: the user stays visible and
      // the administrator can set a new password.
      std::optional<std::string> plain = PlainPassword(row);
      if (plain && plain->size() <= kMaxPasswordLength) CopyText(*plain, record.password);
      record.limit = row.limit;
      record.counter = row.counter;
      record.locked = row.locked ? 1 : 0;
      return ++count < tarvo::kMaxEnumeratedUsers;
    });
    return complete ? count : std::int32_t{-1};
  });
}
