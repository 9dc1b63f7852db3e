// The exported functions of the user store. Calls from different threads run at once, each on
// a connection of its own taken from a bounded set; a connection that broke is discarded and
// the call tried once more on a new one.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "external/reader.h"
#include "external/userstore/password_sealing.h"
#include "external/userstore/store_connection.h"
#include "external/userstore/user_table.h"
#include "platform/home.h"

namespace tarvo::userstore {
namespace {

// Enough for the daemon's store workers and a console request beside them, few enough for a
// shared PostgreSQL server that serves several daemons.
constexpr std::size_t kMaxConnections = 8;

class UserStore {
 public:
  // A connection taken from the store for one call; returned on destruction, or discarded when
  // it broke.
  class Lease {
   public:
    Lease(UserStore* store, std::unique_ptr<StoreConnection> connection)
        : store_(store), connection_(std::move(connection)) {}
    ~Lease() {
      if (connection_) store_->Return(std::move(connection_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return connection_ != nullptr; }
    StoreConnection& operator*() const { return *connection_; }
    StoreConnection* operator->() const { return connection_.get(); }

   private:
    UserStore* store_;
    std::unique_ptr<StoreConnection> connection_;
  };

  // Runs operation on an open connection; when the connection broke during it, runs it again on
  // a newly opened one (an idle one may have broken the same way). Every operation is
  // idempotent, so the repeat is safe (AddUserCount, which is not, refuses a repeat once its
  // commit was sent).
  template <typename Result, typename Operation>
  Result Run(Result failure, Operation operation) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      Lease lease = Take(attempt > 0);
      if (!lease) return failure;
      Result result = operation(*lease);
      if (!lease->lost()) return result;
    }
    return failure;
  }

  bool Open() { return static_cast<bool>(Take(false)); }

  // The key for sealing (created on first need) or for opening (never created: a new key could
  // open nothing). Once loaded it never changes, so the pointer stays valid without the lock.
  const SealKey* Key(bool create) {
    std::lock_guard<std::mutex> lock(keyMutex_);
    if (!key_) {
      std::string path;
      if (!HomeFilePath(kKeyFileName, path)) return nullptr;
      key_ = LoadSealKey(path, create);
    }
    return key_ ? &*key_ : nullptr;
  }

 private:
  // An idle connection, or a new one while fewer than kMaxConnections are open; otherwise waits
  // for one to come back. fresh asks for a newly opened connection: an idle one is closed to make
  // room rather than waiting for a slot that returning connections never free.
  Lease Take(bool fresh) {
    std::unique_ptr<StoreConnection> stale;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        if (!idle_.empty() && !fresh) {
          std::unique_ptr<StoreConnection> connection = std::move(idle_.back());
          idle_.pop_back();
          return Lease(this, std::move(connection));
        }
        if (open_ < (singleConnection_ ? 1 : kMaxConnections)) {
          ++open_;
          break;
        }
        if (!idle_.empty()) {
          stale = std::move(idle_.back());
          idle_.pop_back();
          break;
        }
        returned_.wait(lock);
      }
    }
    // Closing and opening talk to the database, which may be a network away: not under the lock.
    stale.reset();
    std::unique_ptr<StoreConnection> connection = StoreConnection::Open();
    if (connection && !EnsureUserTable(*connection)) connection.reset();
    if (connection && connection->isSqlite()) {
      // A file store gains nothing from writers side by side: they would only wait for its
      // lock in sleeps. Its calls take turns on one connection, as they are quick.
      std::lock_guard<std::mutex> lock(mutex_);
      singleConnection_ = true;
    }
    if (!connection) Forget();
    return Lease(this, std::move(connection));
  }

  void Return(std::unique_ptr<StoreConnection> connection) {
    if (connection->lost()) {
      connection.reset();
      Forget();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      idle_.push_back(std::move(connection));
    }
    returned_.notify_one();
  }

  // A slot counted as open holds no connection any more.
  void Forget() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --open_;
    }
    returned_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<StoreConnection>> idle_;
  std::size_t open_ = 0;  // idle and leased connections, and those being opened
  bool singleConnection_ = false;

  std::mutex keyMutex_;
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
