#include "server/service/store/traffic_accounting.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "external/reader.h"
#include "external/reader_policy.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/notifications.h"
#include "server/common/user_name.h"
#include "server/service/store/store_workers.h"

namespace tarvo {

namespace {

constexpr std::int64_t kMaxCount = std::numeric_limits<std::int64_t>::max();

// A count held at the largest 64-bit value instead of turning negative.
std::int64_t Clamp(std::uint64_t count) {
  return count > static_cast<std::uint64_t>(kMaxCount) ? kMaxCount
                                                        : static_cast<std::int64_t>(count);
}

std::int64_t AddCount(std::int64_t counter, std::uint64_t more) {
  std::int64_t sum = 0;
  if (more > static_cast<std::uint64_t>(kMaxCount) ||
      __builtin_add_overflow(counter, static_cast<std::int64_t>(more), &sum)) {
    return kMaxCount;
  }
  return sum;
}

// Bytes counted each way.
struct Counts {
  std::uint64_t down = 0;
  std::uint64_t up = 0;

  std::uint64_t total() const { return down + up; }
  Counts& operator+=(const Counts& more) {
    down += more.down;
    up += more.up;
    return *this;
  }
};

// Takes what the account has pending, as the store is handed it.
Counts TakePending(AccountFigures& account) {
  const Counts taken{account.pending - account.pendingUp, account.pendingUp};
  account.storing += account.pending;
  account.storingUp += account.pendingUp;
  account.pending = 0;
  account.pendingUp = 0;
  return taken;
}

// Gives bytes the store did not take back to the account's pending ones.
void ReturnPending(AccountFigures& account, const Counts& counts) {
  account.pending += counts.total();
  account.pendingUp += counts.up;
}

}  // namespace

// What one store of a session's count asks and learns.
struct CountStore {
  std::string name;
  Counts delta;
  std::int32_t status = READER_FAILED;
  UserInfo info{};
  UserPolicy policy{};
  bool policyRead = false;

  ~CountStore() { explicit_bzero(info.password, sizeof info.password); }

  // On a store worker: the user's row, then the addition (in the database, so that daemons
  // sharing the store never overwrite each other's counts), which reads the policy back; a
  // store of nothing reads the policy alone.
  void run() {
    status = GetUserInfoStatus(name.c_str(), info.password, &info.limit, &info.counter,
                               &info.locked);
    NoteStoreAnswer(status);
    if (status != READER_OK) return;
    if (delta.total() == 0) {
      const std::int32_t read = GetUserPolicyStatus(name.c_str(), &policy);
      NoteStoreAnswer(read);
      policyRead = read == READER_OK;
      return;
    }
    std::int64_t stored = 0;
    status = AddUserCountsStatus(name.c_str(), Clamp(delta.down), Clamp(delta.up), &stored,
                                 &policy);
    NoteStoreAnswer(status);
    policyRead = status == READER_OK;
    // When the row vanished between the two calls the copies still take the sum, as a plain
    // write would have.
    info.counter = status == READER_OK ? stored : AddCount(info.counter, delta.total());
    if (status == READER_NO_USER) status = READER_OK;
  }

  void notify() { NotifyUserChanged(name, info); }
};

namespace {

// Counts of ended sessions on their way to the store, by folded user name.
struct FinalCounts {
  std::unordered_map<std::string, std::pair<std::string, Counts>> waiting;
  bool flushing = false;
  NetworkTimer retry;
};

// The accounts of logged-in sessions, in login order.
std::vector<TrafficAccount*>& OpenAccounts() REQUIRES(NetworkLock) {
  static std::vector<TrafficAccount*> accounts;
  return accounts;
}

FinalCounts& Finals() {
  static auto* finals = new FinalCounts;  // never destroyed: a worker may answer at exit
  return *finals;
}

void KeepFinal(const std::string& name, const Counts& bytes) {
  auto& entry = Finals().waiting.try_emplace(FoldUserName(name), name, Counts{}).first->second;
  entry.second += bytes;
}

// Stores what waits, one user after another on one worker; what the store could not take
// waits for the next try.
void FlushFinals() {
  FinalCounts& finals = Finals();
  if (finals.flushing || finals.waiting.empty()) return;
  auto stores = std::make_shared<std::vector<CountStore>>();
  for (auto& [key, count] : finals.waiting) {
    CountStore& store = stores->emplace_back();
    store.name = count.first;
    store.delta = count.second;
  }
  finals.waiting.clear();
  finals.flushing = true;
  RunOnStore(
      [stores] {
        for (CountStore& store : *stores) store.run();
      },
      [stores] {
        FinalCounts& done = Finals();
        done.flushing = false;
        bool failed = false;
        for (CountStore& store : *stores) {
          if (store.status == READER_OK) store.notify();
          if (store.status != READER_FAILED) continue;
          KeepFinal(store.name, store.delta);
          failed = true;
        }
        if (failed) {
          done.retry.arm(kStoreInterval, FlushFinals);  // the store failed: later
        } else {
          FlushFinals();  // counts that arrived meanwhile
        }
      });
}

// Counts the store could not take: tried again an interval later.
void KeepForLater(const std::string& name, const Counts& bytes) {
  KeepFinal(name, bytes);
  if (!Finals().retry.armed()) Finals().retry.arm(kStoreInterval, FlushFinals);
}

}  // namespace

void NotifyUserChanged(const std::string& name, const UserInfo& row) {
  if (!ConsoleAttached.load()) return;
  // Address and session id mean nothing in this notification and stay zero.
  UserInfo record = row;
  std::memset(record.name, 0, sizeof record.name);
  std::memcpy(record.name, name.data(), std::min(name.size(), sizeof record.name - 1));
  record.address = 0;
  record.sessionId = 0;
  SendNotification(NTF_USER_CHANGED, &record, sizeof record);
  explicit_bzero(record.password, sizeof record.password);
}

bool AccountFigures::overQuota() const {
  if (limit == 0) return false;
  return counterWithPending() >= limit;
}

std::int64_t AccountFigures::counterWithPending() const {
  return AddCount(counter, pending + storing);
}

TrafficAccount::~TrafficAccount() {
  *alive_ = false;
  if (!open_) return;
  auto& accounts = OpenAccounts();
  accounts.erase(std::find(accounts.begin(), accounts.end(), this));
}

void TrafficAccount::open(const std::string& name, std::int64_t limit, std::int64_t counter) {
  if (open_) return;
  open_ = true;
  name_ = name;
  figures_.limit = limit;
  figures_.counter = counter;
  figures_.lastStore = NetworkNow();
  figures_.lastRead = figures_.lastStore;
  OpenAccounts().push_back(this);
  schedule();  // over the limit already: rereads as it would store
}

void TrafficAccount::count(std::uint64_t bytes, Flow flow) {
  figures_.pending += bytes;
  if (flow == Flow::kUp) figures_.pendingUp += bytes;
  if (!storeTimer_.armed()) schedule();
  limitMayHaveBeenReached();
}

void TrafficAccount::takeCopies(std::int64_t limit, std::int64_t counter) {
  figures_.limit = limit;
  figures_.counter = counter;
  limitMayHaveBeenReached();
  schedule();
}

void TrafficAccount::limitMayHaveBeenReached() {
  if (figures_.overQuota()) owner_.overLimit();
}

void TrafficAccount::takeAnswer(CountStore& store) {
  figures_.storing = 0;
  figures_.storingUp = 0;
  figures_.storeInFlight = false;
  figures_.lastStore = NetworkNow();
  switch (store.status) {
    case READER_OK:
      // An answer from before a quota period this daemon has begun keeps the copies: its
      // counter belongs to the period before.
      if (!store.policyRead ||
          owner_.takeStoreAnswer(store.policy, store.info.limit, store.info.counter)) {
        figures_.limit = store.info.limit;
        figures_.counter = store.info.counter;
      }
      store.notify();
      break;
    case READER_NO_USER:
      break;  // the user has gone: what was counted is dropped
    default:
      // The store failed: the bytes wait for the next store, the copies stay as they were.
      ReturnPending(figures_, store.delta);
      break;
  }
  limitMayHaveBeenReached();
  schedule();
}

void TrafficAccount::store() {
  if (figures_.storeInFlight || !open_) return;
  auto store = std::make_shared<CountStore>();
  store->name = name_;
  store->delta = TakePending(figures_);
  figures_.storeInFlight = true;
  figures_.lastRead = NetworkNow();
  RunOnStore([store] { store->run(); },
             [store, alive = alive_, this] {
               if (*alive) {
                 takeAnswer(*store);
               } else if (store->status == READER_FAILED && store->delta.total() != 0) {
                 // The session ended meanwhile: its bytes wait with the ended sessions' counts.
                 KeepForLater(store->name, store->delta);
               }
             });
}

bool TrafficAccount::reread(std::function<void(std::int32_t)> done) {
  const NetworkTime now = NetworkNow();
  if (figures_.storeInFlight || !open_ || now < figures_.lastRead + kTrafficInfoReadInterval) {
    return false;
  }
  auto store = std::make_shared<CountStore>();
  store->name = name_;
  figures_.storeInFlight = true;
  figures_.lastRead = now;
  RunOnStore([store] { store->run(); },
             [store, alive = alive_, this, done = std::move(done)] {
               if (!*alive) return;
               figures_.storeInFlight = false;
               if (store->status == READER_OK &&
                   (!store->policyRead || owner_.takeStoreAnswer(store->policy,
                                                                 store->info.limit,
                                                                 store->info.counter))) {
                 figures_.limit = store->info.limit;
                 figures_.counter = store->info.counter;
               }
               limitMayHaveBeenReached();
               // A store that came due meanwhile waited for this one.
               schedule();
               done(store->status);
             });
  return true;
}

void TrafficAccount::schedule() {
  if (figures_.storeInFlight || storeTimer_.armed()) return;
  if (figures_.pending == 0 && !figures_.overQuota()) return;
  storeTimer_.armAt(figures_.lastStore + kStoreInterval, [this] { store(); });
}

void TrafficAccount::storeFinal(std::function<void()> then) const {
  if (figures_.pending == 0) {
    if (then) then();
    return;
  }
  auto store = std::make_shared<CountStore>();
  store->name = name_;
  store->delta = {figures_.pending - figures_.pendingUp, figures_.pendingUp};
  RunOnStore([store] { store->run(); },
             [store, then = std::move(then)] {
               if (store->status == READER_OK) store->notify();
               if (store->status == READER_FAILED) KeepForLater(store->name, store->delta);
               if (then) then();
             });
}

void StoreCountersOfUserNow(const std::string& name) {
  struct Taken {
    TrafficAccount* account;
    std::shared_ptr<const bool> alive;
    Counts bytes;
  };
  std::vector<Taken> taken;
  Counts total;
  {
    MutexLock lock(NetworkLock);
    for (TrafficAccount* account : OpenAccounts()) {
      if (!SameUserName(account->name_, name)) continue;
      const Counts bytes = TakePending(account->figures_);
      taken.push_back({account, account->alive_, bytes});
      total += bytes;
    }
  }
  if (taken.empty()) return;
  CountStore store;
  store.name = name;
  store.delta = total;
  store.run();
  MutexLock lock(NetworkLock);
  for (Taken& each : taken) {
    if (!*each.alive) continue;
    AccountFigures& account = each.account->figures_;
    account.storing -= std::min(account.storing, each.bytes.total());
    account.storingUp -= std::min(account.storingUp, each.bytes.up);
    if (store.status == READER_FAILED) {
      ReturnPending(account, each.bytes);
    } else if (store.status == READER_OK) {
      account.limit = store.info.limit;
      account.counter = store.info.counter;
      store.notify();
    }
    each.account->limitMayHaveBeenReached();
    each.account->schedule();
  }
}

void FlushFinalCounts() {
  {
    MutexLock lock(NetworkLock);
    Finals().retry.cancel();
    Finals().flushing = false;  // an answer owed now would never be taken
    FlushFinals();
  }
  StopStoreWorkers(kFinalStoreWait);
  // The loop has stopped: the answers that came back (the console's notifications of the
  // ends) are taken here.
  MutexLock lock(NetworkLock);
  RunPostedNetworkWork();
}

}  // namespace tarvo
