// Changes to users made through any daemon or tool sharing a PostgreSQL store reach this
// daemon's sessions at once: a thread of its own LISTENs on the store's channel through libpq
// and sleeps in poll() between announcements (no work while nothing changes). A locked or
// deleted user's sessions end; any other change (limit, reset, policy) rereads the copies the
// sessions go by. Other stores announce nothing: each daemon of a SQLite store is alone.
#pragma once

#include "server/service/net/network_loop.h"

namespace tarvo {

// After InitReader: starts the thread when the store is PostgreSQL.
void StartUserChangeListener() EXCLUDES(NetworkLock);
// Ends and joins the thread (nothing when none was started).
void StopUserChangeListener() EXCLUDES(NetworkLock);

}  // namespace tarvo
