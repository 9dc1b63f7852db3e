// The daemons sharing a PostgreSQL store and their sessions, kept in the store (DaemonTable,
// SessionTable) so that a user's session cap holds across all of them and any of them can list
// every session. A daemon is alive until the instant its last heartbeat named; past it, its
// sessions no longer count. Other stores serve one daemon: the tables exist there too, but
// nothing is written to them (ReaderClusterShared is false).
#pragma once

#include <cstdint>

#include "external/reader.h"

extern "C" {

inline constexpr std::size_t kClusterDaemonIdSize = 64;    // 63 characters and the NUL
inline constexpr std::size_t kClusterDaemonNameSize = 128;  // 127 characters and the NUL

// One session as a daemon reports it. seq: the daemon's own number for it, never reused while
// the daemon runs (session ids may be).
struct ClusterSession {
  std::int64_t seq;
  char name[tarvo::kUserNameSize];
  std::uint32_t address;  // network byte order
  std::uint32_t sessionId;
  std::uint8_t protocol;  // as UserInfo.protocol
};

// True when the store is shared by daemons across a network (PostgreSQL). Known once
// InitReader succeeded.
TARVO_READER_API bool ReaderClusterShared();

// At a daemon's start: forgets the sessions a previous run of daemon id left, and records the
// daemon (name: how listings show it) alive for aliveMs. READER_OK, or READER_FAILED.
TARVO_READER_API std::int32_t ClusterDaemonStarted(const char* id, const char* name,
                                                   std::int64_t aliveMs);

// The heartbeat, in one statement: the daemon alive for aliveMs more, the sessions that ended
// (their seqs) dropped, the sessions that began added. Long-dead daemons' rows go with it.
TARVO_READER_API std::int32_t ClusterSync(const char* id, const char* name, std::int64_t aliveMs,
                                          const std::int64_t* ended, std::int32_t endedCount,
                                          const ClusterSession* added, std::int32_t addedCount);

// At a clean stop: the daemon and its sessions are gone at once.
TARVO_READER_API std::int32_t ClusterDaemonStopped(const char* id);

// Adds the session when the user's sessions on the other live daemons plus here (this daemon's
// own, counted by the caller) stay below cap; one statement, and one session at a time per user
// across all daemons (an advisory lock for the user's name key inside it). *granted 1 when
// added. READER_OK, or READER_FAILED.
TARVO_READER_API std::int32_t ClusterClaimSession(const char* id, const ClusterSession* session,
                                                  std::int32_t cap, std::int32_t here,
                                                  std::uint8_t* granted);

// Every session of every live daemon, ordered by daemon name and user name.
using ReaderClusterSessionVisitor = void (*)(void* context, const char* daemonName,
                                             const ClusterSession* session);
// How many were visited, or -1 when the store failed.
TARVO_READER_API std::int64_t VisitClusterSessions(ReaderClusterSessionVisitor visit,
                                                   void* context);
}
