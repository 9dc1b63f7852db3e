// DaemonTable and SessionTable (external/reader_cluster.h), and on PostgreSQL the function that
// claims a session under the user's cap.
#pragma once

#include "external/userstore/store_connection.h"

namespace tarvo::userstore {

// Creates what is missing: a store from before them is brought up to date here. False when the
// tables cannot be had.
bool EnsureClusterTables(StoreConnection& connection);

}  // namespace tarvo::userstore
