// Each logged-in user's copy of what the store holds for them (limit, counter, policy), one per
// user and shared by all of the user's sessions on this daemon. Keep-alives are answered from
// it and never wait for the store. A copy is refreshed once it is kCopyRefreshAge old, together
// with every other copy then due, in one statement for many users on a store worker; a store of
// a session's counts, a login and a change made through this daemon refresh it as well. So no
// copy is older than kCopyBound while the store answers within a second; while it does not,
// sessions go on with what they last knew, as they always did. Network lock held unless said.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "external/reader_policy.h"
#include "server/service/net/network_loop.h"

namespace tarvo {

// What a copy tells each session that shares it: the session's traffic account.
class CopyHolder {
 public:
  // A read of the user with the user's policy, which the session's owner takes; false when
  // the read is older than a quota period already begun.
  virtual bool takePolicy(const UserPolicy& policy, std::int64_t limit, std::int64_t counter) = 0;
  // The read's limit and counter; an account with a store under way leaves them to that
  // store's answer.
  virtual void takeRefresh(std::int64_t limit, std::int64_t counter) = 0;

 protected:
  ~CopyHolder() = default;
};

// The oldest a keep-alive's answer may be (the store answering within a second).
inline constexpr std::chrono::seconds kCopyBound{10};
// Copies this old are refreshed; those due within kCopyBatchWindow after go along.
inline constexpr std::chrono::seconds kCopyRefreshAge{8};
inline constexpr std::chrono::seconds kCopyBatchWindow{1};
// A refresh the store failed is tried again this much later.
inline constexpr std::chrono::seconds kCopyRetryAfterFailure{5};

struct UserCopy {
  std::string name;
  std::string key;                    // the name folded: the copies' index
  std::vector<CopyHolder*> accounts;  // one per logged-in session of the user
  NetworkTime readAt{};                   // when the read the copy holds was asked for
  NetworkTime due{};                      // when it is refreshed next
  bool refreshing = false;
  bool gone = false;  // the store's last word: no such user
};

// The account's session logged in with a read made just now: joins (or makes) its user's copy.
UserCopy& JoinUserCopy(CopyHolder& account, const std::string& name);
void LeaveUserCopy(UserCopy& copy, CopyHolder& account);

// A read of the user asked for at askedAt answered (READER_OK with state, or READER_NO_USER):
// the copy and every session of the user take it, unless the copy holds a later read.
// answered: the account whose own store this was, which took the answer already.
void TakeUserRead(UserCopy& copy, NetworkTime askedAt, std::int32_t status,
                  const UserState* state, const CopyHolder* answered = nullptr);
// A read failed: tried again later.
void UserReadFailed(UserCopy& copy);

// Copies of this daemon (one per user with sessions here).
std::size_t UserCopyCount();
const UserCopy* FindUserCopy(const std::string& name);

// A change made through this daemon: rereads the user and gives the copy the answer before it
// returns. Call WITHOUT the network lock, from a thread that may wait for the store.
void RefreshUserCopyNow(const std::string& name) EXCLUDES(NetworkLock);

}  // namespace tarvo
