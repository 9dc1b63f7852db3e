// One epoll event loop for the daemon and the client: a persistent interest set, one-shot
// timers on an injectable clock, a wake-up that any thread may call, and an after-batch hook.
// Nothing spins: a wait sleeps until a descriptor is ready, a timer is due or the loop is woken.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/busy_meter.h"
#include "platform/fd.h"

namespace tarvo {

// The time the loop's timers run on. The default is the steady clock; tests substitute a clock
// they move by hand, so rules measured in seconds are tested in milliseconds.
class LoopClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~LoopClock() = default;
  virtual TimePoint now() const = 0;
};

class SteadyLoopClock : public LoopClock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

// A clock that stands still until advanced.
class ManualLoopClock : public LoopClock {
 public:
  TimePoint now() const override { return now_.load(); }
  void advance(std::chrono::milliseconds by) { now_.store(now_.load() + by); }

 private:
  std::atomic<TimePoint> now_{TimePoint{} + std::chrono::hours(1)};
};

class IoHandler {
 public:
  virtual ~IoHandler() = default;
  // events: EPOLLIN, EPOLLOUT, EPOLLPRI, EPOLLERR, EPOLLHUP as epoll reported them for fd.
  virtual void onIo(int fd, std::uint32_t events) = 0;
};

class EventLoop {
 public:
  using TimePoint = LoopClock::TimePoint;
  using TimerId = std::uint64_t;

  // clock: nullptr for the steady clock; otherwise it must outlive the loop.
  explicit EventLoop(const LoopClock* clock = nullptr);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  bool valid() const { return epoll_.valid() && wake_.valid(); }
  TimePoint now() const { return clock_->now(); }
  const LoopClock& clock() const { return *clock_; }
  void setClock(const LoopClock* clock);

  // Interest is a mask of EPOLLIN, EPOLLOUT and EPOLLPRI; setting the mask a descriptor
  // already has costs no system call.
  bool add(int fd, std::uint32_t interest, IoHandler* handler);
  void setInterest(int fd, std::uint32_t interest);
  // Stops watching fd, which stays open: no event reaches its handler afterwards, not even one
  // the current batch already holds.
  void remove(int fd);
  // The same for an fd about to be closed, which leaves the epoll set by itself (the loop's
  // descriptors are never duplicated): no system call.
  void forget(int fd);
  // The same for an fd passed to a new owner in this batch, which must add() it or remove()
  // it before the next wait: it stays in the epoll set, so the owner's add costs one
  // EPOLL_CTL_MOD instead of a removal and an addition. Closing it instead is fine too.
  void handOver(int fd);
  bool watches(int fd) const;

  TimerId addTimer(std::chrono::milliseconds delay, std::function<void()> callback);
  TimerId addTimerAt(TimePoint due, std::function<void()> callback);
  // Unknown or already run ids are ignored.
  void cancelTimer(TimerId id);
  std::size_t timerCount() const { return timers_.size(); }

  // The loop's lock, when other threads change what it serves: held for every batch of
  // handlers, timers and the after-batch hook, released only around the wait.
  void setBatchLock(std::mutex* lock) { batchLock_ = lock; }
  // Called after every batch of events and timers: the place to delete what ended during it.
  void setAfterBatch(std::function<void()> hook) { afterBatch_ = std::move(hook); }
  // Called before every wait, after the after-batch hook, under the batch lock: the place to
  // bring interest up to date.
  void setBeforeWait(std::function<void()> hook) { beforeWait_ = std::move(hook); }

  // Runs batches until stop(); false when epoll_wait fails for good.
  bool run();
  // One wait of at most maxWaitMs (negative: until an event, a timer or a wake-up), then the
  // batch. False when epoll_wait failed.
  bool runOnce(int maxWaitMs = -1);
  // Any thread. The current batch finishes, then run() returns.
  void stop();
  // Any thread: ends the current or next wait.
  void wake();
  // True on the thread inside a batch of this loop.
  bool inBatch() const { return batchThread_.load() == std::this_thread::get_id(); }
  // The time spent outside the wait (real time, whatever the loop's clock). Any thread.
  const BusyMeter& busy() const { return busy_; }

 private:
  struct Entry {
    IoHandler* handler = nullptr;
    std::uint32_t interest = 0;
    std::uint32_t generation = 0;
    bool inSet = false;  // in the epoll set, with a handler or handed over
  };
  // Runs the before-wait hook and returns the time-out of the wait. Batch lock held.
  int prepareWait(int maxWaitMs);
  // One wait and its batch; returns the time-out for the next wait, or -2 when epoll_wait
  // failed.
  int waitAndDispatch(int timeout, int maxWaitMs);
  int timeoutMs(int maxWaitMs) const;
  void runDueTimers();
  void drainWake();

  UniqueFd epoll_;
  UniqueFd wake_;
  SteadyLoopClock steady_;
  const LoopClock* clock_;
  std::mutex* batchLock_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::atomic<std::thread::id> batchThread_{};
  std::vector<Entry> entries_;  // indexed by descriptor
  std::uint32_t nextGeneration_ = 1;
  std::map<std::pair<TimePoint, TimerId>, std::function<void()>> timers_;
  std::map<TimerId, TimePoint> timerDue_;
  TimerId nextTimer_ = 1;
  std::function<void()> afterBatch_;
  std::function<void()> beforeWait_;
  BusyMeter busy_;
};

}  // namespace tarvo
