// The exported policy functions of the user store.
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "external/reader_policy.h"
#include "external/userstore/policy_table.h"
#include "external/userstore/store_pool.h"
#include "external/userstore/user_changes.h"
#include "external/userstore/user_state.h"

namespace tarvo::userstore {
namespace {

bool UsablePolicy(const UserPolicy& p) {
  const bool period = p.period >= POLICY_PERIOD_NONE && p.period <= POLICY_PERIOD_MONTHLY;
  return period && p.rateDown >= 0 && p.rateUp >= 0 && p.maxSessions >= 0 && p.periodAnchor >= 0 &&
         p.periodStart >= 0 && p.expires >= 0 &&
         (p.protocol == POLICY_PROTOCOL_ANY || p.protocol == POLICY_PROTOCOL_V2_ONLY);
}

std::int32_t StatusOf(Lookup found) {
  switch (found) {
    case Lookup::kFound:
      return READER_OK;
    case Lookup::kMissing:
      return READER_NO_USER;
    case Lookup::kFailed:
      break;
  }
  return READER_FAILED;
}

// The user's counter and policy; READER_NO_USER when UsersTable has no such user.
std::int32_t ReadBack(StoreConnection& connection, const std::string& key, std::int64_t* counter,
                      UserPolicy* policy) {
  UserRow row;
  UserPolicy found;
  const Lookup user = FindUserWithPolicy(connection, key, row, found);
  if (user != Lookup::kFound) return StatusOf(user);
  if (counter != nullptr) *counter = row.counter;
  if (policy != nullptr) *policy = found;
  return READER_OK;
}

void FillState(const UserRow& row, const UserPolicy& policy, UserState& state) {
  state.limit = row.limit;
  state.counter = row.counter;
  state.locked = row.locked ? 1 : 0;
  state.policy = policy;
  CopyText(row.name, state.name);
}

// Adds the counts and reads the user back: one statement where the database can, else a
// transaction. Without a delta id not idempotent: once the commit was sent, a lost connection
// is not followed by a second attempt, which could count the bytes twice. With one, the second
// attempt is safe.
std::int32_t AddAndRead(const char* name, std::int64_t down, std::int64_t up,
                        const DeltaRecord* delta, UserRow& row, UserPolicy& policy) {
  bool commitSent = false;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (commitSent && delta == nullptr) return std::int32_t{READER_FAILED};
    const std::string key = NameKey(name);
    return StatusOf(connection.isPostgres()
                        ? AddAndReadInOneStatement(connection, key, down, up, delta, row, policy,
                                                   commitSent)
                        : AddToUserCounters(connection, key, down, up, delta, row, policy,
                                            commitSent));
  });
}

// The state as AddUserCountsReadStatus gives it, from a row added to and read back.
std::int32_t StateOf(std::int32_t status, UserRow& row, char* password, UserState* state) {
  if (status != READER_OK) return status;
  FillState(row, state->policy, *state);
  if (password != nullptr) {
    std::optional<std::string> plain = PlainPassword(row);
    CopyText(plain && plain->size() <= kMaxPasswordLength ? *plain : std::string(), password);
  }
  explicit_bzero(row.password.data(), row.password.size());
  return READER_OK;
}

}  // namespace
}  // namespace tarvo::userstore

using namespace tarvo::userstore;

std::int32_t GetUserPolicyStatus(const char* name, UserPolicy* policy) {
  if (!UsableName(name) || policy == nullptr) return READER_NO_USER;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    return ReadBack(connection, NameKey(name), nullptr, policy);
  });
}

std::int32_t SetUserPolicyStatus(const char* name, const UserPolicy* policy) {
  if (!UsableName(name) || policy == nullptr || !UsablePolicy(*policy)) return READER_NO_USER;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    const std::string key = NameKey(name);
    const std::int32_t status = StatusOf(StorePolicy(connection, key, *policy));
    Announced(connection, key, status == READER_OK);
    return status;
  });
}

std::int32_t AddUserCountsStatus(const char* name, std::int64_t down, std::int64_t up,
                                 std::int64_t* counter, UserPolicy* policy) {
  if (!UsableName(name) || down < 0 || up < 0 || counter == nullptr || policy == nullptr) {
    return READER_NO_USER;
  }
  UserRow row;
  const std::int32_t status = AddAndRead(name, down, up, nullptr, row, *policy);
  if (status == READER_OK) *counter = row.counter;
  return status;
}

std::int32_t AddUserCountsReadStatus(const char* name, std::int64_t down, std::int64_t up,
                                     char* password, UserState* state) {
  if (!UsableName(name) || down < 0 || up < 0 || state == nullptr) return READER_NO_USER;
  UserRow row;
  return StateOf(AddAndRead(name, down, up, nullptr, row, state->policy), row, password, state);
}

std::int32_t AddUserCountsOnceStatus(const char* name, std::int64_t down, std::int64_t up,
                                     const CountDeltaId* id, char* password, UserState* state) {
  if (!UsableName(name) || down < 0 || up < 0 || state == nullptr || id == nullptr) {
    return READER_NO_USER;
  }
  const std::size_t ownerLength = strnlen(id->owner, sizeof id->owner);
  if (ownerLength == 0 || ownerLength > kMaxDeltaOwnerLength || id->seq < id->keepFrom) {
    return READER_NO_USER;
  }
  const DeltaRecord delta{std::string(id->owner, ownerLength), id->seq, id->keepFrom};
  UserRow row;
  return StateOf(AddAndRead(name, down, up, &delta, row, state->policy), row, password, state);
}

std::int32_t GetUserStateStatus(const char* name, char* password, UserState* state) {
  if (!UsableName(name) || password == nullptr || state == nullptr) return READER_NO_USER;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    UserRow row;
    UserPolicy policy;
    const Lookup found = FindUserWithPolicy(connection, NameKey(name), row, policy);
    if (found != Lookup::kFound) return StatusOf(found);
    // A sealed password that does not open makes the user unusable, as for GetUserInfoStatus.
    std::optional<std::string> plain = PlainPassword(row);
    explicit_bzero(row.password.data(), row.password.size());
    if (!plain || plain->size() > kMaxPasswordLength) return std::int32_t{READER_NO_USER};
    CopyText(*plain, password);
    explicit_bzero(plain->data(), plain->size());
    FillState(row, policy, *state);
    return std::int32_t{READER_OK};
  });
}

std::int32_t GetUserStatesStatus(UserStateEntry* entries, std::int32_t count) {
  if (count <= 0) return READER_OK;
  if (entries == nullptr) return READER_FAILED;
  std::unordered_map<std::string, UserStateEntry*> byKey;
  std::vector<std::string> keys;
  for (std::int32_t i = 0; i < count; ++i) {
    UserStateEntry& entry = entries[i];
    entry.status = READER_NO_USER;
    entry.state = UserState{};
    const std::string name(entry.name, strnlen(entry.name, sizeof entry.name));
    if (!UsableName(name.c_str())) continue;
    std::string key = NameKey(name);
    if (byKey.emplace(key, &entry).second) keys.push_back(std::move(key));
  }
  const bool answered = Store().Run(false, [&](StoreConnection& connection) {
    for (auto& [key, entry] : byKey) entry->status = READER_NO_USER;  // a repeat starts afresh
    return FindUsersWithPolicies(connection, keys, [&](const UserRow& row, const UserPolicy& policy) {
      auto found = byKey.find(row.nameKey);
      if (found == byKey.end()) return;
      found->second->status = READER_OK;
      FillState(row, policy, found->second->state);
    });
  });
  if (!answered) return READER_FAILED;
  // The same name asked twice: every entry gets the answer.
  for (std::int32_t i = 0; i < count; ++i) {
    UserStateEntry& entry = entries[i];
    const std::string name(entry.name, strnlen(entry.name, sizeof entry.name));
    if (!UsableName(name.c_str())) continue;
    const UserStateEntry* first = byKey[NameKey(name)];
    if (first != &entry) {
      entry.status = first->status;
      entry.state = first->state;
    }
  }
  return READER_OK;
}

std::int32_t BeginUserPeriodStatus(const char* name, std::int64_t now, std::uint8_t* began,
                                   std::int64_t* counter, UserPolicy* policy) {
  if (!UsableName(name) || began == nullptr || counter == nullptr || policy == nullptr) {
    return READER_NO_USER;
  }
  *began = 0;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    const std::string key = NameKey(name);
    UserPolicy stored;
    const std::int32_t status = ReadBack(connection, key, nullptr, &stored);
    if (status != READER_OK) return status;
    const std::int64_t start = PolicyPeriodStart(stored.period, stored.periodAnchor, now);
    bool didBegin = false;
    // Conditional, hence safe to repeat on a new connection.
    if (start > stored.periodStart && !BeginPeriod(connection, key, start, didBegin)) {
      return std::int32_t{READER_FAILED};
    }
    *began = didBegin ? 1 : 0;
    return ReadBack(connection, key, counter, policy);
  });
}

std::int32_t EnumUserPolicies(UserPolicyEntry* entries) {
  if (entries == nullptr) return -1;
  return Store().Run(std::int32_t{-1}, [&](StoreConnection& connection) {
    std::int32_t count = 0;
    const bool complete =
        ForEachPolicy(connection, [&](const std::string& name, const UserPolicy& policy) {
          UserPolicyEntry& entry = entries[count];
          std::memset(&entry, 0, sizeof(entry));
          std::memcpy(entry.name, name.data(), name.size());
          entry.policy = policy;
          return ++count < tarvo::kMaxEnumeratedUsers;
        });
    return complete ? count : std::int32_t{-1};
  });
}
