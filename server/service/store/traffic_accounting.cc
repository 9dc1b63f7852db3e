#include "server/service/store/traffic_accounting.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
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

// Takes what the account has pending, as the store is handed it.
Counts TakePending(AccountFigures& account) {
  const Counts taken{account.pending - account.pendingUp, account.pendingUp};
  account.storing += account.pending;
  account.storingUp += account.pendingUp;
  account.pending = 0;
  account.pendingUp = 0;
  return taken;
}

}  // namespace

// What one store of a session's count asks and learns.
struct CountStore {
  std::string name;
  Counts delta;
  DeltaId id;  // none for a store of nothing
  CountDeltaId storeId{};
  NetworkTime askedAt{};
  std::int32_t status = READER_FAILED;
  UserInfo info{};  // for the console's notification
  UserState state{};

  ~CountStore() { explicit_bzero(info.password, sizeof info.password); }

  // Under the network lock: the store of a delta in the ledger (its bytes, its id).
  static std::shared_ptr<CountStore> Of(const DeltaId& id) REQUIRES(NetworkLock) {
    auto store = std::make_shared<CountStore>();
    store->name = DeltaUser(id);
    store->delta = DeltaCounts(id);
    store->id = id;
    store->storeId = StoreIdOf(id);
    store->askedAt = NetworkNow();
    return store;
  }

  // On a store worker: the addition (in the database, so that daemons sharing the store never
  // overwrite each other's counts, and under the delta's id, so that sending it again after a
  // lost answer adds nothing) with the user and policy read back, one round trip where the
  // database allows; a store of nothing reads them alone.
  void run() {
    status = !id ? GetUserStateStatus(name.c_str(), info.password, &state)
                 : AddUserCountsOnceStatus(name.c_str(), Clamp(delta.down), Clamp(delta.up),
                                           &storeId, info.password, &state);
    NoteStoreAnswer(status);
    info.limit = state.limit;
    info.counter = state.counter;
    info.locked = state.locked;
  }

  void notify() { NotifyUserChanged(name, info); }
};

namespace {

// Deltas of ended sessions on their way to the store, and those whose store failed, each sent
// again under its id.
struct FinalCounts {
  std::vector<DeltaId> waiting;
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

void KeepFinal(const DeltaId& id) { Finals().waiting.push_back(id); }

// The store's word on a delta: stored or dropped with its user, it leaves the ledger; failed,
// it waits to be sent again. True when it failed.
bool Settle(const CountStore& store) REQUIRES(NetworkLock) {
  if (!store.id) return false;
  if (store.status != READER_FAILED) {
    CloseDelta(store.id);
    return false;
  }
  KeepFinal(store.id);
  return true;
}

// Stores what waits, one user after another on one worker; what the store could not take
// waits for the next try.
void FlushFinals() {
  NetworkLock.assertHeld();  // a timer's or a store answer's, in the loop's batch
  FinalCounts& finals = Finals();
  if (finals.flushing || finals.waiting.empty()) return;
  auto stores = std::make_shared<std::vector<std::shared_ptr<CountStore>>>();
  for (const DeltaId& id : finals.waiting) stores->push_back(CountStore::Of(id));
  finals.waiting.clear();
  finals.flushing = true;
  RunOnStore(
      [stores] {
        for (auto& store : *stores) store->run();
      },
      [stores] {
        NetworkLock.assertHeld();  // store answers run in the loop's batch
        FinalCounts& done = Finals();
        done.flushing = false;
        bool failed = false;
        for (auto& store : *stores) {
          if (store->status == READER_OK) store->notify();
          failed = Settle(*store) || failed;
        }
        if (failed) {
          done.retry.arm(kStoreInterval, FlushFinals);  // the store failed: later
        } else {
          FlushFinals();  // counts that arrived meanwhile
        }
      });
}

// What waits is tried an interval later.
void RetryLater() {
  if (!Finals().waiting.empty() && !Finals().retry.armed()) {
    Finals().retry.arm(kStoreInterval, FlushFinals);
  }
}

// Settles an ended session's store; what failed is tried again an interval later.
void SettleLater(const CountStore& store) REQUIRES(NetworkLock) {
  Settle(store);
  RetryLater();
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
  // Bytes not handed to the store yet (storeFinal takes them first) are not dropped.
  if (openDelta_) KeepFinal(openDelta_);
  if (retry_ && !figures_.storeInFlight) KeepFinal(retry_);
  RetryLater();
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
  NetworkLock.assertHeld();  // relays count on the network thread
  figures_.pending += bytes;
  if (flow == Flow::kUp) figures_.pendingUp += bytes;
  if (open_ && bytes != 0) {
    if (!openDelta_) openDelta_ = OpenDelta(name_);
    AddToDelta(openDelta_, flow == Flow::kUp ? Counts{0, bytes} : Counts{bytes, 0});
  }
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
  NetworkLock.assertHeld();  // store answers run in the loop's batch
  figures_.storeInFlight = false;
  figures_.lastStore = NetworkNow();
  if (store.status == READER_FAILED && store.id) {
    // Its bytes stay in storing and go again under the same id: the store may have taken them.
    retry_ = store.id;
  } else {
    figures_.storing = 0;
    figures_.storingUp = 0;
    retry_ = {};
    if (store.id) CloseDelta(store.id);
  }
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
      // The store failed: the copies stay as they were.
      break;
  }
  limitMayHaveBeenReached();
  schedule();
}

void TrafficAccount::store() {
  NetworkLock.assertHeld();  // its timer's, in the loop's batch
  if (figures_.storeInFlight || !open_) return;
  std::shared_ptr<CountStore> store;
  if (retry_) {
    // A failed store goes again alone, as it was; what was counted since waits its turn.
    store = CountStore::Of(retry_);
  } else {
    TakePending(figures_);
    store = CountStore::Of(std::exchange(openDelta_, {}));
    store->name = name_;
  }
  figures_.storeInFlight = true;
  RunOnStore([store] { store->run(); },
             [store, alive = alive_, this] {
               NetworkLock.assertHeld();  // store answers run in the loop's batch
               if (*alive) {
                 takeAnswer(*store);
               } else {
                 // The session ended meanwhile: what failed waits with the ended sessions'.
                 SettleLater(*store);
               }
             });
}

void TrafficAccount::schedule() {
  if (figures_.storeInFlight || storeTimer_.armed()) return;
  if (figures_.pending == 0 && !retry_ && !figures_.overQuota()) return;
  storeTimer_.armAt(figures_.lastStore + kStoreInterval, [this] { store(); });
}

void TrafficAccount::storeFinal(std::function<void()> then) {
  NetworkLock.assertHeld();  // a session ends on the network thread
  // A failed store still owed goes with the ended sessions' (one in flight settles itself).
  if (retry_ && !figures_.storeInFlight) KeepFinal(std::exchange(retry_, {}));
  if (!openDelta_) {
    RetryLater();
    if (then) then();
    return;
  }
  auto store = CountStore::Of(std::exchange(openDelta_, {}));
  RunOnStore([store] { store->run(); },
             [store, then = std::move(then)] {
               NetworkLock.assertHeld();  // store answers run in the loop's batch
               if (store->status == READER_OK) store->notify();
               SettleLater(*store);
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
  std::shared_ptr<CountStore> store;
  {
    MutexLock lock(NetworkLock);
    // The sessions' pending deltas become one.
    Counts total;
    for (TrafficAccount* account : OpenAccounts()) {
      if (!SameUserName(account->name_, name)) continue;
      const Counts bytes = TakePending(account->figures_);
      if (account->openDelta_) CloseDelta(std::exchange(account->openDelta_, {}));
      taken.push_back({account, account->alive_, bytes});
      total += bytes;
    }
    if (taken.empty()) return;
    DeltaId id;
    if (total.total() != 0) {
      id = OpenDelta(name);
      AddToDelta(id, total);
    }
    store = CountStore::Of(id);
    store->name = name;
  }
  store->run();
  MutexLock lock(NetworkLock);
  // Failed, the delta is sent again with the ended sessions' under its id: the store may have
  // taken it.
  SettleLater(*store);
  for (Taken& each : taken) {
    if (!*each.alive) continue;
    AccountFigures& account = each.account->figures_;
    account.storing -= std::min(account.storing, each.bytes.total());
    account.storingUp -= std::min(account.storingUp, each.bytes.up);
    if (store->status == READER_OK) {
      account.limit = store->state.limit;
      account.counter = store->state.counter;
      store->notify();
    }
    each.account->limitMayHaveBeenReached();
    each.account->schedule();
  }
}

void ResumeSpooledCounts() {
  for (const DeltaId& id : TakeSpooledDeltas()) KeepFinal(id);
  FlushFinals();
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
  // What the store did not take waits in the spool for the next start.
  WriteCountSpoolNow();
}

}  // namespace tarvo
