// Speed limits shared by the daemons of a PostgreSQL store (the scheme: policy/rate_share.h).
// Each daemon's reports travel as one note a second on the store's channel, one line per user
// spending here ("NAME DOWN HELD UP HELD": bytes per second and 0 or 1), all users in one
// statement; the change listener hands the others' notes to this daemon's share.
#pragma once

namespace tarvo {

// Before StartUserChangeListener; does nothing unless that starts the listener.
void ShareRateLimits();

}  // namespace tarvo
