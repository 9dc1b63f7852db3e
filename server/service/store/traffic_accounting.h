// A session's traffic account: the bytes its relays counted, how they reach the user store, and
// the copies of the user's limit and counter that the quota rule reads. It knows its session
// only as an AccountOwner. Store calls run on the
// store workers (store_workers.h); everything here runs under the network lock unless it says
// otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "external/reader_policy.h"
#include "server/common/user_info.h"
#include "server/service/net/network_loop.h"
#include "server/service/store/count_ledger.h"
#include "server/service/store/user_copies.h"

namespace tarvo {

// Counted bytes are stored when more than 10 whole seconds have passed since the last store,
// and a session over its limit rereads the store as often, so that a reset or a raised limit
// lets it relay again.
inline constexpr std::chrono::seconds kStoreInterval{11};
// How long the end of the process waits for the last counts to reach a store that hangs.
inline constexpr std::chrono::seconds kFinalStoreWait{5};

// Which way relayed bytes went: toward the client (down) or from it (up).
enum class Flow { kDown, kUp };

// The account's figures: what was counted and the copies of the user's limit and counter.
struct AccountFigures {
  std::uint64_t pending = 0;  // counted, not yet handed to the store
  std::uint64_t storing = 0;  // handed to the store, its answer still due
  // The shares of pending and storing that came from the client; the rest went toward it.
  std::uint64_t pendingUp = 0;
  std::uint64_t storingUp = 0;
  std::int64_t limit = 0;     // 0 = no limit
  std::int64_t counter = 0;   // the stored counter as last read
  NetworkTime lastStore{};
  bool storeInFlight = false;

  // True while the limit is not 0 and the counter with every byte not yet stored reaches it
  // (signed 64-bit; a sum past the largest value is past any limit).
  bool overQuota() const;
  // The counter as last read with every byte counted since (held at the largest value).
  std::int64_t counterWithPending() const;
};

struct CountStore;  // one store of the counts (traffic_accounting.cc)

// What an account tells the session that holds it.
class AccountOwner {
 public:
  // A store answered with the user's policy and row. False keeps the copies: the answer is
  // older than a quota period the daemon has already begun.
  virtual bool takeStoreAnswer(const UserPolicy& policy, std::int64_t limit,
                               std::int64_t counter) = 0;
  // The account is over its limit (bytes counted, or the copies changed): nothing more may be
  // relayed.
  virtual void overLimit() = 0;

 protected:
  ~AccountOwner() = default;
};

// A session's account, from its login on. Its store timer stores what was counted: when more
// than 10 whole seconds have passed since the last store, and as often while over the limit,
// so that a reset or a raised limit lets the session relay again.
class TrafficAccount final : public CopyHolder {
 public:
  explicit TrafficAccount(AccountOwner& owner) : owner_(owner) {}
  // Leaves the user's accounts; answers still due find it gone.
  ~TrafficAccount();
  TrafficAccount(const TrafficAccount&) = delete;
  TrafficAccount& operator=(const TrafficAccount&) = delete;

  // The login succeeded with the user's row: the store's word on the counter, nothing pending.
  void open(const std::string& name, std::int64_t limit, std::int64_t counter)
      REQUIRES(NetworkLock);
  const AccountFigures& figures() const { return figures_; }
  bool overQuota() const { return figures_.overQuota(); }

  // Relayed bytes; the owner hears when they take the account over its limit.
  void count(std::uint64_t bytes, Flow flow);
  // Copies from another session's answer (a quota period began).
  void takeCopies(std::int64_t limit, std::int64_t counter);

  // Hands the pending bytes to the store and rereads the user's limit and counter; the answer
  // refreshes the copies and tells an attached console. Nothing happens while an earlier store
  // is still under way (its answer arms the next). When the store fails the bytes are kept for
  // the next store, under the same delta id; when the user is gone they are dropped.
  void store();
  // The store's last word on the user (the copy shared by the user's sessions, never older
  // than kCopyBound while the store answers) is that there is no such user.
  bool userGone() const;

  // The user's copy (CopyHolder).
  bool takePolicy(const UserPolicy& policy, std::int64_t limit, std::int64_t counter) override;
  void takeRefresh(std::int64_t limit, std::int64_t counter) override;
  // The end of the session: its pending bytes are stored without it (kept and tried again
  // while the store fails); then runs once the store has answered (at once when nothing is
  // pending), so that the console hears of the counter before it hears of the end.
  void storeFinal(std::function<void()> then);

 private:
  friend void StoreCountersOfUserNow(const std::string& name) EXCLUDES(NetworkLock);
  // Arms the store timer when there is something to store or the account is over its limit.
  void schedule();
  // The copies changed or bytes were counted: the owner hears when now over the limit.
  void limitMayHaveBeenReached();
  void takeAnswer(CountStore& answer);

  AccountOwner& owner_;
  std::string name_;
  UserCopy* copy_ = nullptr;  // from the login on
  bool open_ = false;
  AccountFigures figures_;
  DeltaId openDelta_;  // the ledger's delta of the pending bytes
  DeltaId retry_;      // a store whose answer was lost: its bytes are in storing
  NetworkTimer storeTimer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The console's reset: stores the pending bytes of every live session of the user on top of
// the counter and refreshes their copies, before it returns. Call WITHOUT the network lock
// (it takes it), from a thread that may wait for the store.
void StoreCountersOfUserNow(const std::string& name) EXCLUDES(NetworkLock);

// Tells an attached console of the user's row as the store holds it now (NTF_USER_CHANGED).
void NotifyUserChanged(const std::string& name, const UserInfo& row);

// At start: sends the counts a daemon killed before this start left in the spool.
void ResumeSpooledCounts() REQUIRES(NetworkLock);

// Waits, at most kFinalStoreWait, for the counts of ended sessions to reach the store, and
// takes the answers that came back. Call without the network lock once the loop has stopped.
void FlushFinalCounts() EXCLUDES(NetworkLock);

}  // namespace tarvo
