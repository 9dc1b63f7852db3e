// The store's connections: calls from different threads run at once, each on a connection of
// its own taken from a bounded set; a connection that broke is discarded and the call tried
// once more on a new one.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "external/userstore/cluster_tables.h"
#include "external/userstore/password_sealing.h"
#include "external/userstore/policy_table.h"
#include "external/userstore/store_connection.h"
#include "external/userstore/user_table.h"
#include "platform/home.h"

namespace tarvo::userstore {

// Enough for the daemon's store workers (kNetworkStoreWorkers) and a console request beside
// them, few enough for a shared PostgreSQL server that serves several daemons.
constexpr std::size_t kMaxConnections = 18;

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

  std::size_t connectionLimit() {
    std::lock_guard<std::mutex> lock(mutex_);
    return singleConnection_ ? 1 : kMaxConnections;
  }

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
    if (connection && !(EnsureUserTable(*connection) && EnsurePolicyTable(*connection) &&
                         EnsureAppliedDeltaTable(*connection) &&
                         EnsureClusterTables(*connection))) {
      connection.reset();
    }
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

// The one store of this process.
UserStore& Store();

// Names longer than the records hold are refused, never cut.
bool UsableName(const char* name);

// The password of row as the callers use it; nullopt when a sealed value does not open.
std::optional<std::string> PlainPassword(const UserRow& row);
// Copies text and its NUL to out.
void CopyText(const std::string& text, char* out);

}  // namespace tarvo::userstore
