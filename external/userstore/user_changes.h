// Announces a change to a user on a PostgreSQL store (external/reader_changes.h).
#pragma once

#include <string>

#include "external/userstore/store_connection.h"

namespace tarvo::userstore {

// After a change was committed: tells the store's listeners. Nothing on other databases. A
// failure is not the change's: listeners then learn of it at their next read.
void AnnounceUserChange(StoreConnection& connection, const std::string& nameKey);

// done, announcing the change of nameKey when it was made.
inline bool Announced(StoreConnection& connection, const std::string& nameKey, bool done) {
  if (done) AnnounceUserChange(connection, nameKey);
  return done;
}

}  // namespace tarvo::userstore
