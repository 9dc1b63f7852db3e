#include "server/service/store/user_copies.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <functional>
#include <queue>
#include <unordered_map>

#include "server/common/user_name.h"
#include "server/service/base/diagnostics.h"
#include "server/service/store/store_workers.h"

namespace tarvo {

namespace {

// When a copy is due, by folded name. A copy whose due time moved leaves its old entry behind,
// which is passed over when it comes up: each refresh costs the copies it takes, not a pass
// over every copy.
using DueEntry = std::pair<NetworkTime, std::string>;
using DueQueue = std::priority_queue<DueEntry, std::vector<DueEntry>, std::greater<DueEntry>>;

struct Copies {
  std::unordered_map<std::string, std::unique_ptr<UserCopy>> byKey;  // by folded name
  DueQueue due;
  NetworkTimer timer;
  NetworkTime timerAt{};
};

// Never destroyed: a session may end after the end of main.
Copies& TheCopies() {
  static auto* copies = new Copies;
  return *copies;
}

UserCopy* FindByKey(const std::string& key) {
  auto found = TheCopies().byKey.find(key);
  return found == TheCopies().byKey.end() ? nullptr : found->second.get();
}

UserCopy* Find(const std::string& name) { return FindByKey(FoldUserName(name)); }

void RefreshDue();

void ArmAt(NetworkTime due) {
  Copies& copies = TheCopies();
  if (copies.timer.armed() && copies.timerAt <= due) return;
  copies.timerAt = due;
  copies.timer.armAt(due, RefreshDue);
}

// The copy is due at copy.due from now on.
void Schedule(const UserCopy& copy) {
  TheCopies().due.emplace(copy.due, copy.key);
  ArmAt(copy.due);
}

// One refresh of many copies: a statement for each 250 users on one worker.
struct Refresh {
  std::vector<UserStateEntry> entries;
  std::vector<std::string> keys;  // the copies' keys, entry by entry
  std::int32_t status = READER_FAILED;
  NetworkTime askedAt{};
};

// Refreshes every copy that is due, and those due within the window, which would otherwise
// each make a statement of their own a moment later.
void RefreshDue() {
  const NetworkTime now = NetworkNow();
  Copies& copies = TheCopies();
  auto job = std::make_shared<Refresh>();
  job->askedAt = now;
  while (!copies.due.empty() && copies.due.top().first <= now + kCopyBatchWindow) {
    const DueEntry entry = copies.due.top();
    copies.due.pop();
    auto found = copies.byKey.find(entry.second);
    if (found == copies.byKey.end()) continue;  // the user's sessions have ended
    UserCopy& copy = *found->second;
    if (copy.refreshing || copy.due != entry.first) continue;  // moved since
    copy.refreshing = true;
    job->keys.push_back(entry.second);
    UserStateEntry& asked = job->entries.emplace_back();
    std::memset(&asked, 0, sizeof asked);
    std::memcpy(asked.name, copy.name.data(), std::min(copy.name.size(), sizeof asked.name - 1));
  }
  if (!copies.due.empty()) ArmAt(copies.due.top().first);
  if (job->entries.empty()) return;
  RunOnStore(
      [job] {
        job->status =
            GetUserStatesStatus(job->entries.data(), static_cast<std::int32_t>(job->entries.size()));
        NoteStoreAnswer(job->status);
      },
      [job] {
        for (std::size_t i = 0; i < job->entries.size(); ++i) {
          const UserStateEntry& entry = job->entries[i];
          UserCopy* copy = FindByKey(job->keys[i]);
          if (copy == nullptr) continue;  // the user's sessions have ended
          copy->refreshing = false;
          if (job->status == READER_FAILED) {
            UserReadFailed(*copy);
          } else {
            TakeUserRead(*copy, job->askedAt, entry.status, &entry.state);
          }
        }
      });
}

}  // namespace

UserCopy& JoinUserCopy(CopyHolder& account, const std::string& name) {
  std::string key = FoldUserName(name);
  auto& slot = TheCopies().byKey[key];
  if (slot == nullptr) {
    slot = std::make_unique<UserCopy>();
    slot->name = name;
    slot->key = std::move(key);
  }
  UserCopy& copy = *slot;
  copy.accounts.push_back(&account);
  // The login's read is the latest word on the user.
  const NetworkTime now = NetworkNow();
  copy.readAt = now;
  copy.due = now + kCopyRefreshAge;
  copy.gone = false;
  Schedule(copy);
  return copy;
}

void LeaveUserCopy(UserCopy& copy, CopyHolder& account) {
  auto& accounts = copy.accounts;
  accounts.erase(std::find(accounts.begin(), accounts.end(), &account));
  // By iterator: the key lives in the copy that is erased.
  if (accounts.empty()) TheCopies().byKey.erase(TheCopies().byKey.find(copy.key));
}

void TakeUserRead(UserCopy& copy, NetworkTime askedAt, std::int32_t status,
                  const UserState* state, const CopyHolder* answered) {
  if (askedAt < copy.readAt) return;  // a later read is there already
  copy.readAt = askedAt;
  copy.due = askedAt + kCopyRefreshAge;
  copy.gone = status == READER_NO_USER;
  Schedule(copy);
  if (status != READER_OK || state == nullptr || copy.accounts.empty()) return;
  // The policy is the user's, shared by the sessions: one of them hands it on, unless the
  // account that asked took it with its own answer.
  if (answered == nullptr &&
      !copy.accounts.front()->takePolicy(state->policy, state->limit, state->counter)) {
    return;  // older than a quota period already begun
  }
  // Copying may end relays and delete nothing: the list stays as it is meanwhile.
  for (CopyHolder* account : copy.accounts) {
    if (account != answered) account->takeRefresh(state->limit, state->counter);
  }
}

void UserReadFailed(UserCopy& copy) {
  copy.due = NetworkNow() + kCopyRetryAfterFailure;
  Schedule(copy);
}

std::size_t UserCopyCount() { return TheCopies().byKey.size(); }

const UserCopy* FindUserCopy(const std::string& name) { return Find(name); }

void RefreshUserCopyNow(const std::string& name) {
  NetworkTime askedAt;
  {
    MutexLock lock(NetworkLock);
    if (Find(name) == nullptr) return;  // no session of the user here
    askedAt = NetworkNow();
  }
  UserStateEntry entry;
  std::memset(&entry, 0, sizeof entry);
  std::memcpy(entry.name, name.data(), std::min(name.size(), sizeof entry.name - 1));
  const std::int32_t status = GetUserStatesStatus(&entry, 1);
  NoteStoreAnswer(status);
  MutexLock lock(NetworkLock);
  UserCopy* copy = Find(name);
  if (copy == nullptr) return;
  if (status == READER_FAILED) {
    UserReadFailed(*copy);
  } else {
    TakeUserRead(*copy, askedAt, entry.status, &entry.state);
  }
}

}  // namespace tarvo
