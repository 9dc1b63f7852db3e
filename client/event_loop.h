// The client's single I/O thread: epoll readiness for descriptors and one-shot timers. Nothing
// spins: the wait sleeps until a descriptor is ready or the nearest timer is due.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace tarvo::client {

class IoHandler {
 public:
  virtual ~IoHandler() = default;
  // events: EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP as epoll reported them for fd.
  virtual void onIo(int fd, std::uint32_t events) = 0;
};

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using TimerId = std::uint64_t;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  bool valid() const { return epoll_ >= 0; }

  // Interest is a mask of EPOLLIN and EPOLLOUT; setting the mask a descriptor already has
  // costs no system call.
  bool add(int fd, std::uint32_t interest, IoHandler* handler);
  void setInterest(int fd, std::uint32_t interest);
  // Call before closing fd: no event reaches its handler afterwards.
  void remove(int fd);

  TimerId addTimer(std::chrono::milliseconds delay, std::function<void()> callback);
  void cancelTimer(TimerId id);

  // Runs until stop(); returns false when epoll_wait fails.
  bool run();
  void stop() { stopping_ = true; }
  // Called after every batch of events: the place to delete what ended during the batch.
  void setAfterBatch(std::function<void()> hook) { afterBatch_ = std::move(hook); }

 private:
  struct Entry {
    IoHandler* handler = nullptr;
    std::uint32_t interest = 0;
  };
  int timeoutMs() const;
  void runDueTimers();

  int epoll_ = -1;
  bool stopping_ = false;
  std::vector<Entry> entries_;  // indexed by descriptor
  std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> timers_;
  std::map<TimerId, Clock::time_point> timerDue_;
  TimerId nextTimer_ = 1;
  std::function<void()> afterBatch_;
};

}  // namespace tarvo::client
