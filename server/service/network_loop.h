// The network loop: one thread serves every socket. Each pass asks every socket what it wants
// watched (the queries also do the sockets' periodic work), waits in poll() until a socket is
// ready, the loop is woken, or the next whole second begins, then calls the handlers of the
// ready sockets. Both halves of a pass run under the network lock; only the wait is outside.
#pragma once

#include <mutex>

namespace tarvo {

// Guards every socket, the socket list and the session list. Lock order: network lock, then
// the notify lock.
extern std::mutex NetworkLock;

// Longest wait of one pass: the sockets' periodic checks run at least this often.
inline constexpr int kMaxPassWaitMs = 1000;

// Runs passes until RequestNetworkLoopStop, then returns after finishing the current pass
// (the request is used up). Call without the network lock.
void RunNetworkLoop();

// One pass whose wait lasts at most maxWaitMs (and never past the next whole second). A
// negative maxWaitMs waits for readiness or a wake-up only (tools and tests).
// Call without the network lock.
void RunNetworkPass(int maxWaitMs = kMaxPassWaitMs);

// Makes RunNetworkLoop return after its current pass. Any thread; no lock needed.
void RequestNetworkLoopStop();

// Ends the loop's current wait so that it looks at the sockets again: call after queueing
// output or changing a socket from a thread other than the network thread. Any thread; a no-op
// on the network thread during a pass.
void WakeNetworkLoop();

// True on the thread that is running a pass.
bool OnNetworkThread();

}  // namespace tarvo
