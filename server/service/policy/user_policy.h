// Per-user policy on this daemon, for the users that have sessions here: the policy as the
// store last told it (read at login, refreshed by every store of the counts), the user's speed
// limits shared by all of the user's sessions, the quota period's timer, and the login's checks
// of expiry and session cap. A user without a policy row has the empty policy: nothing here
// then changes what the daemon does. Network lock held for everything but LoginPolicy::read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "external/reader_policy.h"
#include "server/service/net/network_loop.h"
#include "server/service/policy/rate_gate.h"

namespace tarvo {

class Socket;
class TrafficAccount;

// Seconds since the epoch on the daemon's clock: the system time, moved with the loop's clock
// when a test moves that.
std::int64_t PolicyWallNow();

// What the login's store job reads with the user's row.
struct LoginPolicy {
  UserPolicy policy{};
  bool began = false;     // this login began a new quota period
  std::string storedName; // the name as the store spells it, whatever case was typed

  // On a store worker: the user's row and policy in one statement, and the period that
  // contains now begun if the stored one is older (row then has the counter after the reset).
  // A ReaderStatus.
  std::int32_t read(const std::string& name, std::int64_t now, UserInfo& row);
};

// Logins after the expiry are refused as for a locked user.
bool PolicyExpired(const UserPolicy& policy, std::int64_t now);
// The user's cap on simultaneous sessions: maxSessions, or MultiConnect's rule when that is 0
// (off: 1). 0: none.
std::int32_t SessionCap(const UserPolicy& policy) REQUIRES(NetworkLock);
// The user's sessions on this daemon, logins being claimed in the store included.
std::int32_t SessionsHere(const std::string& name) REQUIRES(NetworkLock);
// False when one session more of the user would pass the cap on this daemon.
bool SessionAllowed(const std::string& name, const UserPolicy& policy) REQUIRES(NetworkLock);

// This daemon began a quota period: the operator's line, and the attached console told as
// after a console reset (row: the user's row read after the reset; nullptr when unread).
void AnnouncePeriodBegan(const std::string& name, const UserInfo* row);

struct PolicyUser;

// A logged-in session's membership of its user's state, from the login to the session's end.
class PolicySeat {
 public:
  PolicySeat() = default;
  ~PolicySeat();
  PolicySeat(const PolicySeat&) = delete;
  PolicySeat& operator=(const PolicySeat&) = delete;

  // The login succeeded; limit and counter: the user's row it read. The account is the
  // session's (traffic_accounting.h): a quota period that begins gives it the new copies.
  // expired: ends the session when the account expires while it is logged in.
  void join(TrafficAccount& account, const std::string& name, const UserPolicy& policy,
            std::int64_t limit, std::int64_t counter, std::function<void()> expired);

  // A store of the session's counts answered with the user's policy and row. False when the
  // answer is older than a period the daemon has already begun: its counter belongs to the
  // period before and must not replace the copies.
  bool takeAnswer(const UserPolicy& policy, std::int64_t limit, std::int64_t counter);

  // The user's limits; nullptr before the login.
  RateGate* downGate() const;
  RateGate* upGate() const;

  TrafficAccount& account() const { return *account_; }
  // The account expired: the session ends.
  void expire();

 private:
  TrafficAccount* account_ = nullptr;
  std::function<void()> expired_;
  PolicyUser* user_ = nullptr;
};

// How much a relay end may read now for the session: all it likes without a limit, else a
// quantum or 0 (the end is then not read until its turn comes round; waiter holds its place).
std::size_t RelayAllowance(RateGate* gate, RateWaiter& waiter, Socket* end);
// Relayed bytes spend the allowance (no gate: nothing to spend).
void ChargeRate(RateGate* gate, std::size_t bytes);
// A datagram passes unless the user's allowance that way is spent; a passing one spends it.
// Datagrams are dropped rather than held: late ones are worth less than lost ones.
bool AdmitDatagram(RateGate* gate, std::size_t size);

}  // namespace tarvo
