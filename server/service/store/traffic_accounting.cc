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
  NetworkTime askedAt{};
  std::int32_t status = READER_FAILED;
  UserInfo info{};  // for the console's notification
  UserState state{};

  ~CountStore() { explicit_bzero(info.password, sizeof info.password); }

  // On a store worker: the addition (in the database, so that daemons sharing the store never
  // overwrite each other's counts) with the user and policy read back, one round trip where
  // the database allows; a store of nothing reads them alone.
  void run() {
    status = delta.total() == 0
                 ? GetUserStateStatus(name.c_str(), info.password, &state)
                 : AddUserCountsReadStatus(name.c_str(), Clamp(delta.down), Clamp(delta.up),
                                           info.password, &state);
    NoteStoreAnswer(status);
    info.limit = state.limit;
    info.counter = state.counter;
    info.locked = state.locked;
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
  if (!NotificationsWanted()) return;
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
  LeaveUserCopy(*copy_, *this);
}

void TrafficAccount::open(const std::string& name, std::int64_t limit, std::int64_t counter) {
  if (open_) return;
  open_ = true;
  name_ = name;
  figures_.limit = limit;
  figures_.counter = counter;
  figures_.lastStore = NetworkNow();
  OpenAccounts().push_back(this);
  copy_ = &JoinUserCopy(*this, name);
  // The login's read is the latest: the user's other sessions take it too.
  for (CopyHolder* other : copy_->accounts) {
    if (other != this) other->takeRefresh(limit, counter);
  }
  schedule();  // over the limit already: rereads as it would store
}

bool TrafficAccount::userGone() const { return copy_ != nullptr && copy_->gone; }

bool TrafficAccount::takePolicy(const UserPolicy& policy, std::int64_t limit,
                                std::int64_t counter) {
  return owner_.takeStoreAnswer(policy, limit, counter);
}

void TrafficAccount::takeRefresh(std::int64_t limit, std::int64_t counter) {
  if (figures_.storeInFlight) return;  // its own answer is on its way
  takeCopies(limit, counter);
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
      if (owner_.takeStoreAnswer(store.state.policy, store.state.limit, store.state.counter)) {
        figures_.limit = store.state.limit;
        figures_.counter = store.state.counter;
        TakeUserRead(*copy_, store.askedAt, READER_OK, &store.state, this);
      }
      store.notify();
      break;
    case READER_NO_USER:
      // The user has gone: what was counted is dropped, and the sessions end at their next
      // keep-alive.
      TakeUserRead(*copy_, store.askedAt, READER_NO_USER, nullptr, this);
      break;
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
  store->askedAt = NetworkNow();
  figures_.storeInFlight = true;
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
      account.limit = store.state.limit;
      account.counter = store.state.counter;
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
