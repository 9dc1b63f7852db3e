// A user's row and policy read together, in one statement: the login's read, the refresh of
// many users' copies at once, and the periodic store that adds and reads back in one round
// trip where the database can do it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "external/reader_policy.h"
#include "external/userstore/applied_deltas.h"
#include "external/userstore/store_connection.h"
#include "external/userstore/user_table.h"

namespace tarvo::userstore {

// Names per statement of FindUsersWithPolicies: well below the parameter limits of SQLite
// (999 before 3.32) and PostgreSQL.
inline constexpr std::size_t kUsersPerStatement = 250;

// The row and policy (the empty policy without a row) of nameKey, in one statement.
Lookup FindUserWithPolicy(StoreConnection& connection, const std::string& nameKey, UserRow& row,
                          UserPolicy& policy);

// Calls visit for each user among nameKeys that exists, one statement per kUsersPerStatement
// names; a user it does not call visit for is gone. False on a failure of the store.
bool FindUsersWithPolicies(
    StoreConnection& connection, const std::vector<std::string>& nameKeys,
    const std::function<void(const UserRow&, const UserPolicy&)>& visit);

// AddToUserCounters in one statement (PostgreSQL: data-modifying WITH and ON CONFLICT), with
// the whole row read back. commitSent and delta as for AddToUserCounters.
Lookup AddAndReadInOneStatement(StoreConnection& connection, const std::string& nameKey,
                                std::int64_t down, std::int64_t up, const DeltaRecord* delta,
                                UserRow& row, UserPolicy& policy, bool& commitSent);

}  // namespace tarvo::userstore
