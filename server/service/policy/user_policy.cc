#include "server/service/policy/user_policy.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>

#include "server/service/base/diagnostics.h"
#include "server/common/user_name.h"
#include "server/service/base/settings.h"
#include "server/service/policy/cluster_sessions.h"
#include "server/service/policy/rate_share.h"
#include "server/service/store/store_workers.h"
#include "server/service/store/traffic_accounting.h"

namespace tarvo {

// The state of one user with sessions on this daemon. A user with speed limits stays a moment
// after their last session, so that logging in again buys no fresh burst.
struct PolicyUser {
  std::string name;
  UserPolicy policy{};
  std::vector<PolicySeat*> seats;  // one per logged-in session
  RateGate down;  // toward the client
  RateGate up;    // from the client
  NetworkTimer periodTimer;
  NetworkTimer expiryTimer;
  NetworkTimer lingerTimer;  // armed while no session is left
  bool beginning = false;  // a period's begin is with the store
};

namespace {

// The period timer is rearmed at least this often, so a change of the system time is followed.
constexpr std::int64_t kLongestPeriodWaitMs = 3'600'000;
// How long a limited user's allowance outlives their last session: well past the eighth of a
// second a burst lasts, so a login loop gets the rate and no more.
constexpr std::chrono::seconds kRateLinger{2};

std::int64_t WallNowMs() {
  using namespace std::chrono;
  // The loop's clock is the steady clock unless a test substitutes its own: the system time
  // moves with that one.
  const auto shift = NetworkNow() - steady_clock::now();
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch() + shift).count();
}

// Never destroyed: a session may end after the end of main.
std::unordered_map<std::string, std::unique_ptr<PolicyUser>>& Users() {
  static auto* users = new std::unordered_map<std::string, std::unique_ptr<PolicyUser>>;
  return *users;
}

PolicyUser* FindUser(const std::string& name) {
  auto found = Users().find(FoldUserName(name));
  return found == Users().end() ? nullptr : found->second.get();
}

bool PeriodDue(const UserPolicy& policy, std::int64_t now) {
  if (policy.period == POLICY_PERIOD_NONE) return false;
  const std::int64_t start = PolicyPeriodStart(policy.period, policy.periodAnchor, now);
  return start != 0 && start > policy.periodStart;
}

void ArmPeriod(PolicyUser& user);
void ArmExpiry(PolicyUser& user);
void ApplyPolicy(PolicyUser& user, const UserPolicy& policy, std::int64_t limit,
                 std::int64_t counter);

// What a period's begin asks and learns, on a store worker.
struct PeriodBegin {
  std::string name;
  std::int64_t now = 0;
  std::int32_t status = READER_FAILED;
  std::uint8_t began = 0;
  UserPolicy policy{};
  UserInfo row{};
  ~PeriodBegin() { explicit_bzero(row.password, sizeof row.password); }

  void run() {
    std::int64_t counter = 0;
    status = BeginUserPeriodStatus(name.c_str(), now, &began, &counter, &policy);
    NoteStoreAnswer(status);
    if (status != READER_OK) return;
    // The row for the console's notification, read after the reset.
    status = GetUserInfoStatus(name.c_str(), row.password, &row.limit, &row.counter, &row.locked);
    NoteStoreAnswer(status);
  }
};

void BeginPeriod(PolicyUser& user) {
  if (user.beginning) return;
  user.beginning = true;
  auto job = std::make_shared<PeriodBegin>();
  job->name = user.name;
  job->now = PolicyWallNow();
  RunOnStore([job] { job->run(); },
             [job] {
               if (job->began != 0) {
                 AnnouncePeriodBegan(job->name, job->status == READER_OK ? &job->row : nullptr);
               }
               PolicyUser* still = FindUser(job->name);
               if (still == nullptr) return;  // the user's sessions have ended
               still->beginning = false;
               if (job->status == READER_OK) {
                 ApplyPolicy(*still, job->policy, job->row.limit, job->row.counter);
               } else {
                 // The store did not answer: try again an interval later.
                 still->periodTimer.arm(kStoreInterval, [user = still] { BeginPeriod(*user); });
               }
             });
}

void ArmPeriod(PolicyUser& user) {
  const UserPolicy& policy = user.policy;
  if (policy.period == POLICY_PERIOD_NONE) {
    user.periodTimer.cancel();
    return;
  }
  const std::int64_t nowMs = WallNowMs();
  const std::int64_t next = PolicyNextPeriodStart(policy.period, policy.periodAnchor, nowMs / 1000);
  if (next == 0) {
    user.periodTimer.cancel();
    return;
  }
  const std::int64_t waitMs =
      std::clamp<std::int64_t>(next * 1000 - nowMs, 1, kLongestPeriodWaitMs);
  user.periodTimer.arm(std::chrono::milliseconds(waitMs), [&user] {
    if (PeriodDue(user.policy, PolicyWallNow())) {
      BeginPeriod(user);
    } else {
      ArmPeriod(user);
    }
  });
}

// An account that expires ends its sessions at that instant: the first second past expires.
void ArmExpiry(PolicyUser& user) {
  const std::int64_t expires = user.policy.expires;
  if (expires == 0 || user.seats.empty()) {
    user.expiryTimer.cancel();
    return;
  }
  const std::int64_t waitMs =
      std::clamp<std::int64_t>((expires + 1) * 1000 - WallNowMs(), 0, kLongestPeriodWaitMs);
  user.expiryTimer.arm(std::chrono::milliseconds(waitMs), [&user] {
    if (!PolicyExpired(user.policy, PolicyWallNow())) {
      ArmExpiry(user);
      return;
    }
    Diagnose("user %s has expired: its sessions end", user.name.c_str());
    const std::vector<PolicySeat*> seats = user.seats;
    for (PolicySeat* seat : seats) seat->expire();
  });
}

// A fresh policy with the user's row: the limits change at once; a period begun since the last
// answer (by this daemon or another on the store) gives every session the new counter.
void ApplyPolicy(PolicyUser& user, const UserPolicy& policy, std::int64_t limit,
                 std::int64_t counter) {
  const bool newPeriod = policy.periodStart > user.policy.periodStart;
  user.policy = policy;
  user.down.setRate(policy.rateDown);
  user.up.setRate(policy.rateUp);
  if (user.down.limited() || user.up.limited()) {
    JoinRateShare(FoldUserName(user.name), user.down, user.up);
  } else {
    LeaveRateShare(FoldUserName(user.name));
  }
  if (newPeriod) {
    for (PolicySeat* seat : user.seats) seat->account().takeCopies(limit, counter);
  }
  ArmExpiry(user);
  if (user.beginning) return;  // its answer arms the timer
  if (PeriodDue(policy, PolicyWallNow())) {
    user.periodTimer.cancel();
    BeginPeriod(user);
  } else {
    ArmPeriod(user);
  }
}

}  // namespace

std::int64_t PolicyWallNow() { return WallNowMs() / 1000; }

std::int32_t LoginPolicy::read(const std::string& name, std::int64_t now, UserInfo& row) {
  UserState state{};
  const std::int32_t status = GetUserStateStatus(name.c_str(), row.password, &state);
  NoteStoreAnswer(status);
  if (status != READER_OK) return status;
  row.limit = state.limit;
  row.counter = state.counter;
  row.locked = state.locked;
  policy = state.policy;
  storedName.assign(state.name, strnlen(state.name, sizeof state.name));
  if (!PeriodDue(policy, now)) return status;
  std::uint8_t begun = 0;
  UserPolicy after{};
  const std::int32_t result =
      BeginUserPeriodStatus(name.c_str(), now, &begun, &row.counter, &after);
  NoteStoreAnswer(result);
  // A store that failed here leaves the period to the session's next store answer.
  if (result != READER_OK) return status;
  policy = after;
  began = begun != 0;
  return status;
}

bool PolicyExpired(const UserPolicy& policy, std::int64_t now) {
  return policy.expires != 0 && now > policy.expires;
}

std::int32_t SessionCap(const UserPolicy& policy) {
  if (policy.maxSessions > 0) return policy.maxSessions;
  return ServerSettings.MultiConnect ? 0 : 1;
}

std::int32_t SessionsHere(const std::string& name) {
  // Every logged-in session has joined its user; a login being claimed counts as one.
  const PolicyUser* user = FindUser(name);
  return static_cast<std::int32_t>((user == nullptr ? 0 : user->seats.size()) +
                                   PendingClaims(name));
}

bool SessionAllowed(const std::string& name, const UserPolicy& policy) {
  const std::int32_t cap = SessionCap(policy);
  return cap == 0 || SessionsHere(name) < cap;
}

void AnnouncePeriodBegan(const std::string& name, const UserInfo* row) {
  Diagnose("user %s: a new quota period began, its counters start again from 0", name.c_str());
  if (row != nullptr) NotifyUserChanged(name, *row);
}

void PolicySeat::join(TrafficAccount& account, const std::string& name, const UserPolicy& policy,
                      std::int64_t limit, std::int64_t counter, std::function<void()> expired) {
  if (user_ != nullptr) return;
  auto& slot = Users()[FoldUserName(name)];
  const bool fresh = slot == nullptr;
  if (fresh) {
    slot = std::make_unique<PolicyUser>();
    slot->name = name;
    slot->policy = policy;
  }
  account_ = &account;
  expired_ = std::move(expired);
  user_ = slot.get();
  user_->lingerTimer.cancel();
  user_->seats.push_back(this);
  if (fresh || policy.periodStart >= user_->policy.periodStart) {
    ApplyPolicy(*user_, policy, limit, counter);
  } else if (user_->seats.size() == 1) {
    ArmExpiry(*user_);  // back from lingering
  }
}

PolicySeat::~PolicySeat() {
  if (user_ == nullptr) return;
  auto& seats = user_->seats;
  seats.erase(std::find(seats.begin(), seats.end(), this));
  if (!seats.empty()) return;
  const std::string key = FoldUserName(user_->name);
  if (!user_->down.limited() && !user_->up.limited()) {
    LeaveRateShare(key);
    Users().erase(key);
    return;
  }
  // The allowance stays for a next login; nothing else runs meanwhile.
  user_->periodTimer.cancel();
  user_->expiryTimer.cancel();
  user_->lingerTimer.arm(kRateLinger, [key] {
    auto found = Users().find(key);
    if (found == Users().end() || !found->second->seats.empty()) return;
    LeaveRateShare(key);
    Users().erase(found);
  });
}

void PolicySeat::expire() {
  if (expired_) expired_();
}

bool PolicySeat::takeAnswer(const UserPolicy& policy, std::int64_t limit, std::int64_t counter) {
  if (user_ == nullptr) return true;
  if (policy.periodStart < user_->policy.periodStart) return false;
  ApplyPolicy(*user_, policy, limit, counter);
  return true;
}

RateGate* PolicySeat::downGate() const { return user_ != nullptr ? &user_->down : nullptr; }
RateGate* PolicySeat::upGate() const { return user_ != nullptr ? &user_->up : nullptr; }

std::size_t RelayAllowance(RateGate* gate, RateWaiter& waiter, Socket* end) {
  if (gate == nullptr) return std::numeric_limits<std::size_t>::max();
  return gate->allowance(waiter, end);
}

void ChargeRate(RateGate* gate, std::size_t bytes) {
  if (gate != nullptr) gate->charge(bytes);
}

bool AdmitDatagram(RateGate* gate, std::size_t size) {
  return gate == nullptr || gate->admitDatagram(size);
}

}  // namespace tarvo
