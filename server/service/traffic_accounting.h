// Moves a session's relayed byte count into the user store and refreshes the session's copies
// of the user's limit and counter. Runs under the network lock.
#pragma once

namespace tarvo {

class UserSocket;

// Adds the session's pending bytes to the stored counter, reloads the limit, tells an attached
// console, and clears the pending count. When the store no longer knows the user the pending
// bytes are dropped. The session must be logged in.
void StoreTrafficCounter(UserSocket& session);

}  // namespace tarvo
