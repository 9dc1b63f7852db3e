// The ledger of counted bytes not yet known to be stored, one entry per delta: an addition to
// one user's counters with an id (this daemon's name and a number) that the store records with
// it, so that a delta sent again after a lost answer is never counted twice. The ledger is kept
// in a spool file in the home, written at most a second after it changed, so that a daemon
// killed outright loses no more than its last second: the next start sends what it finds
// there again, under the same ids. Everything here runs under the network lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "external/reader_policy.h"
#include "server/service/net/network_loop.h"

namespace tarvo {

inline constexpr char kCountSpoolFileName[] = "pending-counts";
inline constexpr std::chrono::seconds kSpoolInterval{1};

// Bytes counted each way.
struct Counts {
  std::uint64_t down = 0;
  std::uint64_t up = 0;

  std::uint64_t total() const { return down + up; }
  Counts& operator+=(const Counts& more) {
    down += more.down;
    up += more.up;
    return *this;
  }
};

struct DeltaId {
  std::string owner;  // the daemon that made it, this one or one before it
  std::uint64_t seq = 0;

  explicit operator bool() const { return seq != 0; }
  bool operator<(const DeltaId& other) const {
    return owner != other.owner ? owner < other.owner : seq < other.seq;
  }
};

// A new delta of this daemon for the user, holding nothing yet.
DeltaId OpenDelta(const std::string& name) REQUIRES(NetworkLock);
void AddToDelta(const DeltaId& id, const Counts& bytes) REQUIRES(NetworkLock);
// The delta's user and bytes (empty for an id the ledger does not hold).
const std::string& DeltaUser(const DeltaId& id) REQUIRES(NetworkLock);
Counts DeltaCounts(const DeltaId& id) REQUIRES(NetworkLock);
// The store took the delta, or it is dropped (its user gone): it leaves the ledger.
void CloseDelta(const DeltaId& id) REQUIRES(NetworkLock);

// The id as the store is handed it: with the lowest number of this daemon that it may still
// send, for the store to forget the records below. Ids the spool on disk still names are kept,
// as a restart would send them again.
CountDeltaId StoreIdOf(const DeltaId& id) REQUIRES(NetworkLock);

// At start: takes the deltas a killed daemon left in the spool into the ledger; their ids.
std::vector<DeltaId> TakeSpooledDeltas() REQUIRES(NetworkLock);
// At the end: writes the spool at once (removed when nothing is left).
void WriteCountSpoolNow() REQUIRES(NetworkLock);

}  // namespace tarvo
