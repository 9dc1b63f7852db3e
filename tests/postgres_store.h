// Daemons on a PostgreSQL user store, for tests: the store with its users, its stored counters,
// and a relay through a daemon checked byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "tests/postgres_cluster.h"

namespace tarvo::test {

struct StoreUser {
  std::string name;
  std::string password;
  std::int64_t limit = 0;
};

// The connection string of the database VPNdb on the cluster at port.
std::string StoreOn(int port);

// Starts the cluster with the database VPNdb holding users; empty, or what failed.
std::string StartStore(PostgresCluster& cluster, const std::vector<StoreUser>& users);

// The stored counter of a user, or -1 when the store does not answer.
std::int64_t StoredCounter(PostgresCluster& cluster, const std::string& name);

// Sends count pattern bytes starting at offset through a relay to an echo server and reads
// them back; empty on success, else what went wrong.
std::string EchoThrough(client::DataConnection& relay, std::size_t offset, std::size_t count);

}  // namespace tarvo::test
