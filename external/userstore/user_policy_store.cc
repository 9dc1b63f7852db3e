// The exported policy functions of the user store.
#include <cstring>

#include "external/reader_policy.h"
#include "external/userstore/policy_table.h"
#include "external/userstore/store_pool.h"

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
  const Lookup user = FindUser(connection, key, row);
  if (user != Lookup::kFound) return StatusOf(user);
  if (counter != nullptr) *counter = row.counter;
  UserPolicy found;
  if (FindPolicy(connection, key, found) == Lookup::kFailed) return READER_FAILED;
  if (policy != nullptr) *policy = found;
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
    return StatusOf(StorePolicy(connection, NameKey(name), *policy));
  });
}

std::int32_t AddUserCountsStatus(const char* name, std::int64_t down, std::int64_t up,
                                 std::int64_t* counter, UserPolicy* policy) {
  if (!UsableName(name) || down < 0 || up < 0 || counter == nullptr || policy == nullptr) {
    return READER_NO_USER;
  }
  // Not idempotent: once the commit was sent, a lost connection is not followed by a second
  // attempt, which could count the bytes twice.
  bool commitSent = false;
  return Store().Run(std::int32_t{READER_FAILED}, [&](StoreConnection& connection) {
    if (commitSent) return std::int32_t{READER_FAILED};
    return StatusOf(
        AddToUserCounters(connection, NameKey(name), down, up, *counter, *policy, commitSent));
  });
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
