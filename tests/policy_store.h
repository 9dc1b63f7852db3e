// Per-user policy and counters written and read through the store library, in a child process
// as an administrator's tool would: the library keeps the first store it opens for the life of
// a process, and a child ends without the ODBC drivers' allocations counted as leaks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "external/reader_policy.h"

namespace tarvo::test {

// The environment that names a store: TARVO_HOME and TARVO_STORE (an empty value unsets it).
using StoreEnv = std::vector<std::pair<std::string, std::string>>;

// The SQLite store in a daemon's home.
StoreEnv HomeStore(const std::string& home);
// A store named by its ODBC connection string.
StoreEnv ConnectedStore(const std::string& connection);

bool WritePolicy(const StoreEnv& store, const std::string& name, const UserPolicy& policy);
// Sets the design's counter as the store keeps it.
bool WriteCounter(const StoreEnv& store, const std::string& name, std::int64_t counter);
std::optional<UserPolicy> ReadPolicy(const StoreEnv& store, const std::string& name);

// Seconds since the epoch, now.
std::int64_t EpochNow();

}  // namespace tarvo::test
