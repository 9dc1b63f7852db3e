// This daemon's part in the shared store's table of daemons and sessions
// (external/reader_cluster.h), on a PostgreSQL store only:
// - its id, kept in kDaemonIdFile in the home, so that a restart clears exactly the rows its
//   previous run left, whatever host or port it has now;
// - a heartbeat every third of [DaemonDeadAfter] that renews it, and carries the sessions that
//   began or ended since the last one (one statement; a batch waits at most kClusterBatchDelay);
// - a capped user's login (MultiConnect off, or a session cap) claimed in the store before it
//   is accepted, so that the cap holds across every daemon.
// With any other store nothing here runs: each daemon is alone. Network lock held for all but
// Start and Stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "external/reader_cluster.h"
#include "external/reader_policy.h"
#include "server/service/net/network_loop.h"

namespace tarvo {

inline constexpr char kDaemonIdFile[] = "tarvoserver.id";
// Sessions that began or ended wait this long for others to share their statement.
inline constexpr std::chrono::milliseconds kClusterBatchDelay{1000};

// After InitReader and the store workers: records the daemon (its previous run's sessions
// dropped) and begins the heartbeat. Nothing on a store that is not shared.
void StartClusterSessions() EXCLUDES(NetworkLock);
// Once the loop stopped, before the last counts are flushed: the daemon and its sessions leave
// the store at once (queued for the store workers, which the flush waits for, bounded).
void StopClusterSessions() EXCLUDES(NetworkLock);

// The store is shared and this daemon takes part.
bool ClusterShared() REQUIRES(NetworkLock);
// This daemon's name in listings: host and server port.
std::string ClusterDaemonName() REQUIRES(NetworkLock);

// A login of a user whose cap is finite (0: none) on a shared store, asked of the store.
struct ClusterClaim {
  ClusterSession session{};
  std::int32_t cap = 0;
  std::int32_t here = 0;  // the user's sessions on this daemon, claims included
  std::int32_t status = READER_FAILED;
  std::uint8_t granted = 0;
  std::string daemonId;
  std::string key;  // the folded name, for the pending count

  void run();  // on a store worker
};

// How many of the user's claims are with the store: SessionAllowed counts them as sessions.
std::size_t PendingClaims(const std::string& name) REQUIRES(NetworkLock);
// A claim for a login; the caller runs it on a store worker and hands the claim to
// ClaimAnswered on the network thread, whether or not the session still waits for it.
std::shared_ptr<ClusterClaim> BeginClaim(const ClusterSession& session, std::int32_t cap,
                                         std::int32_t here) REQUIRES(NetworkLock);
// The claim came back. taken: the session is still there and logs in with it; otherwise a
// granted claim's row is dropped again. The session's seq when it holds the row, else 0.
std::int64_t ClaimAnswered(const ClusterClaim& claim, bool taken) REQUIRES(NetworkLock);

// A login accepted without a claim: its row goes with the next heartbeat. Its seq, or 0 when
// the store is not shared.
std::int64_t ClusterSessionOpened(ClusterSession session) REQUIRES(NetworkLock);
// The session of seq ended (0: none).
void ClusterSessionEnded(std::int64_t seq) REQUIRES(NetworkLock);

}  // namespace tarvo
