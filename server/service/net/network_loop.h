// The network loop: one thread serves every socket on an epoll loop (platform/event_loop.h).
// A socket's queries (wantRead, wantWrite, wantExcept) are asked only when its state changed
// since the last wait: it is marked dirty when it is made, when its flags or queues change and
// after the loop ran its handlers, and the dirty ones are asked before each wait. Time rules
// are timers armed where the rule lives. A socket that must end is retired and deleted before
// the next wait, so no handler runs on a deleted object. Handlers, timers and the work before
// the wait run under the network lock; only the wait is outside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/event_loop.h"
#include "platform/thread_annotations.h"

namespace tarvo {

class Socket;

// Guards every socket, the socket list and the session list. Lock order: network lock, then
// the notify lock. Never held across a call to the user store.
extern Mutex NetworkLock;

using NetworkTime = LoopClock::TimePoint;

// Runs until RequestNetworkLoopStop, then returns after finishing the current batch (the
// request is used up). Call without the network lock.
void RunNetworkLoop();

// One wait of at most maxWaitMs (negative: until a socket is ready, a timer is due or the loop
// is woken) and its batch (tools and tests). Call without the network lock.
void RunNetworkPass(int maxWaitMs = -1);

// Makes RunNetworkLoop return after its current batch. Any thread; no lock needed.
void RequestNetworkLoopStop();

// Ends the loop's current wait. Any thread; a no-op on the network thread during a batch.
void WakeNetworkLoop();

// True on the thread that runs the loop's batch.
bool OnNetworkThread();

// How much of its time the network thread works rather than waits. Any thread, no lock.
const BusyMeter& NetworkLoopBusy();

// The loop's clock: steady time, or a test's hand-moved clock (SetNetworkClock).
NetworkTime NetworkNow();
// nullptr restores the steady clock. The clock must outlive its use; call with no loop running.
void SetNetworkClock(const LoopClock* clock);

// Runs work on the network thread, under the network lock, before the loop's next wait: how
// results of other threads (store workers) come back. Any thread, with or without the lock.
void PostToNetworkThread(std::function<void()> work);

// Runs what was posted, on the calling thread; for the end of the process, once the loop has
// stopped. Network lock held.
void RunPostedNetworkWork();

// Asks a socket's queries again before the next wait. Network lock held.
void MarkSocketDirty(Socket* socket);
// Deletes the socket before the next wait; its handlers are not called again. Network lock held.
void RetireSocket(Socket* socket);

// A one-shot timer of the network loop that cancels itself when it goes. Network lock held for
// every call; the callback runs on the network thread under the lock.
class NetworkTimer {
 public:
  NetworkTimer() = default;
  ~NetworkTimer() { cancel(); }
  NetworkTimer(const NetworkTimer&) = delete;
  NetworkTimer& operator=(const NetworkTimer&) = delete;

  // Replaces any earlier arming.
  void armAt(NetworkTime due, std::function<void()> callback);
  void arm(std::chrono::milliseconds delay, std::function<void()> callback) {
    armAt(NetworkNow() + delay, std::move(callback));
  }
  void cancel();
  bool armed() const { return id_ != 0; }

 private:
  EventLoop::TimerId id_ = 0;
};

}  // namespace tarvo
