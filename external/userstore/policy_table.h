// The table UserPolicyTable: at most one row per user, keyed by the name key of UsersTable.
// A user without a row has the empty policy. Plain SQL for SQLite and PostgreSQL.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "external/reader_policy.h"
#include "external/userstore/applied_deltas.h"
#include "external/userstore/store_connection.h"
#include "external/userstore/user_table.h"

namespace tarvo::userstore {

// The policy columns, in this order, as every read of UserPolicyTable names them.
inline constexpr char kPolicyColumns[] =
    "rate_down, rate_up, quota_period, period_anchor, period_start, max_sessions, expires, "
    "bytes_down, bytes_up, protocol";
// Reads the columns of kPolicyColumns from column first on; NULL (no row in a join) reads as 0.
bool ReadPolicyColumns(Statement& statement, unsigned short first, UserPolicy& policy);

// Creates UserPolicyTable when it does not exist yet (also when another process races to do so).
bool EnsurePolicyTable(StoreConnection& connection);

// kFound with policy filled; kMissing (policy emptied) when the user has no row.
Lookup FindPolicy(StoreConnection& connection, const std::string& nameKey, UserPolicy& policy);

// Writes every field but the counters, inserting the row when there is none. kMissing when
// UsersTable has no such user.
Lookup StorePolicy(StoreConnection& connection, const std::string& nameKey,
                   const UserPolicy& policy);

// Adds down and up to the row's counters (created when missing) and their sum to the user's
// counter in one transaction, then reads the user's row and policy back. commitSent as for
// AddToUserCounter. With a delta id, an id already recorded adds nothing and only reads.
Lookup AddToUserCounters(StoreConnection& connection, const std::string& nameKey, std::int64_t down,
                         std::int64_t up, const DeltaRecord* delta, UserRow& row,
                         UserPolicy& policy, bool& commitSent);

// Moves the row's period start to start and zeroes its counters and the user's counter, only
// when the stored start is before start; began tells whether this call did it.
bool BeginPeriod(StoreConnection& connection, const std::string& nameKey, std::int64_t start,
                 bool& began);

// Removes the user and its policy row together; false when there is no such user.
bool DeleteUserWithPolicy(StoreConnection& connection, const std::string& nameKey);
// Zeroes the user's counter and its up/down counters together; false when there is no such user.
bool ResetUserCounters(StoreConnection& connection, const std::string& nameKey);

// Calls visit for every user in name-key order with its name and policy, until it returns false.
bool ForEachPolicy(StoreConnection& connection,
                   const std::function<bool(const std::string& name, const UserPolicy&)>& visit);

}  // namespace tarvo::userstore
