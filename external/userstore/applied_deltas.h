// AppliedDeltaTable: the ids of count additions already made, so that an addition sent again
// (its commit made, the answer lost) changes nothing. An id is its sender's name and a number
// there; a sender names the lowest number it may still send again, and the record of lower
// ones is dropped as part of the next addition.
#pragma once

#include <cstdint>
#include <string>

#include "external/userstore/store_connection.h"

namespace tarvo::userstore {

inline constexpr std::size_t kMaxDeltaOwnerLength = 63;
// Records of senders that never came back (their spool lost with their host) go after a week.
inline constexpr std::int64_t kAppliedDeltaKeepSeconds = 7 * 24 * 3600;

struct DeltaRecord {
  std::string owner;
  std::int64_t seq = 0;
  std::int64_t keepFrom = 0;  // the owner's records below this number are dropped
};

// Creates the table when missing (a store from before it is brought up to date here) and drops
// records older than kAppliedDeltaKeepSeconds. False when the table cannot be had.
bool EnsureAppliedDeltaTable(StoreConnection& connection);

// Inside the caller's transaction: drops the owner's records below keepFrom and records the
// id. fresh tells whether it was new (the addition is to be made). False on a failure.
bool RecordDelta(StoreConnection& connection, const DeltaRecord& delta, bool& fresh);

// Seconds since the epoch, as applied_at holds them.
std::int64_t NowSeconds();

}  // namespace tarvo::userstore
