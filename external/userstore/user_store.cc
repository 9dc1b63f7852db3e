// The exported functions of the user store.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "external/reader.h"
#include "external/userstore/statement.h"
#include "external/userstore/store_pool.h"
#include "external/userstore/user_changes.h"

namespace tarvo::userstore {

UserStore& Store() {
  static UserStore store;
  return store;
}

bool UsableName(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strlen(name) <= kMaxNameLength;
}

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

namespace {

bool UsablePassword(const char* password) {
  return password != nullptr && std::strlen(password) <= kMaxPasswordLength;
}

// One user's row. A sealed password that does not open (other key, altered row) makes the user
// unusable, rather than handing out bytes that are not the password; with unopenedAsEmpty the
// user is found all the same, with an empty password.
std::int32_t ReadUser(const char* name, char* password, std::int64_t* limit, std::int64_t* counter,
                      std::uint8_t* locked, bool unopenedAsEmpty) {
  if (!UsableName(name) || password == nullptr || limit == nullptr || counter == nullptr ||
      locked == nullptr) {
    return READER_NO_USER;
  }
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    UserRow row;
    Lookup found = FindUser(connection, NameKey(name), row);
    if (found != Lookup::kFound) {
      return std::int32_t{found == Lookup::kMissing ? READER_NO_USER : READER_FAILED};
    }
    std::optional<std::string> plain = PlainPassword(row);
    if (!plain || plain->size() > kMaxPasswordLength) {
      if (!unopenedAsEmpty) return std::int32_t{READER_NO_USER};
      plain.emplace();
    }
    CopyText(*plain, password);
    *limit = row.limit;
    *counter = row.counter;
    *locked = row.locked ? 1 : 0;
    return std::int32_t{READER_OK};
  });
}

}  // namespace
}  // namespace tarvo::userstore

using namespace tarvo::userstore;

bool InitReader() { return Store().Open(); }

std::int32_t ReaderConnectionLimit() {
  return static_cast<std::int32_t>(Store().connectionLimit());
}

std::uint64_t ReaderStatementCount() { return StatementsExecuted(); }

std::int32_t GetUserInfoStatus(const char* name, char* password, std::int64_t* limit,
                               std::int64_t* counter, std::uint8_t* locked) {
  return ReadUser(name, password, limit, counter, locked, false);
}

std::int32_t FindUserStatus(const char* name, char* password, std::int64_t* limit,
                            std::int64_t* counter, std::uint8_t* locked) {
  return ReadUser(name, password, limit, counter, locked, true);
}

bool GetUserInfo(const char* name, char* password, std::int64_t* limit, std::int64_t* counter,
                 std::uint8_t* locked) {
  return GetUserInfoStatus(name, password, limit, counter, locked) == READER_OK;
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
    return Announced(connection, row.nameKey, StoreUser(connection, row));
  });
}

bool DeleteUser(const char* name) {
  if (!UsableName(name)) return false;
  return Store().Run(false, [&](StoreConnection& connection) {
    const std::string key = NameKey(name);
    return Announced(connection, key, DeleteUserWithPolicy(connection, key));
  });
}

bool LockUser(const char* name, std::uint8_t lock) {
  if (!UsableName(name)) return false;
  return Store().Run(false, [&](StoreConnection& connection) {
    const std::string key = NameKey(name);
    return Announced(connection, key, SetUserLocked(connection, key, lock != 0));
  });
}

bool ResetUser(const char* name) {
  if (!UsableName(name)) return false;
  return Store().Run(false, [&](StoreConnection& connection) {
    const std::string key = NameKey(name);
    return Announced(connection, key, ResetUserCounters(connection, key));
  });
}

void SetUserCount(const char* name, std::int64_t counter) {
  if (!UsableName(name)) return;
  Store().Run(false, [&](StoreConnection& connection) {
    const std::string key = NameKey(name);
    return Announced(connection, key, SetUserCounter(connection, key, counter));
  });
}

std::int32_t AddUserCountStatus(const char* name, std::int64_t delta, std::int64_t* counter) {
  if (!UsableName(name) || delta < 0 || counter == nullptr) return READER_NO_USER;
  // The one operation that is not idempotent: once its commit was sent, a lost connection is
  // not followed by a second attempt, which could count the bytes twice.
  bool commitSent = false;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (commitSent) return std::int32_t{READER_FAILED};
    switch (AddToUserCounter(connection, NameKey(name), delta, *counter, commitSent)) {
      case Lookup::kFound:
        return std::int32_t{READER_OK};
      case Lookup::kMissing:
        return std::int32_t{READER_NO_USER};
      case Lookup::kFailed:
        break;
    }
    return std::int32_t{READER_FAILED};
  });
}

bool AddUserCount(const char* name, std::int64_t delta, std::int64_t* counter) {
  return AddUserCountStatus(name, delta, counter) == READER_OK;
}

std::int64_t VisitUserPage(const char* search, std::int32_t sort, std::uint8_t descending,
                           std::int64_t offset, std::int64_t limit, ReaderUserVisitor visit,
                           void* context) {
  static constexpr const char* kColumns[] = {"name_key", "user_limit", "user_counter",
                                             "user_locked"};
  if (search == nullptr || visit == nullptr || sort < 0 || sort > 3 || offset < 0 || limit < 0 ||
      std::strlen(search) > kMaxNameLength) {
    return -1;
  }
  std::int64_t total = 0;
  std::vector<UserRow> rows;
  const bool done = Store().Run(false, [&](StoreConnection& connection) {
    return UserPage(connection, NameKey(search), kColumns[sort], descending != 0, offset, limit,
                    total, rows);
  });
  if (!done) return -1;
  for (const UserRow& row : rows) {
    visit(context, row.name.c_str(), row.limit, row.counter, row.locked ? 1 : 0);
  }
  return total;
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
