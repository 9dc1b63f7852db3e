#include "platform/event_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarvo {

namespace {

constexpr int kEventsPerWait = 256;
// A wait never lasts longer than this, so a clock that is moved by hand is looked at again.
constexpr long long kLongestWaitMs = 60000;

// An event's data: the descriptor and the generation of its registration, so that an event
// gathered before the descriptor was removed (and perhaps reused) reaches nobody.
std::uint64_t EventData(int fd, std::uint32_t generation) {
  return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
}

}  // namespace

EventLoop::EventLoop(const LoopClock* clock)
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      clock_(clock != nullptr ? clock : &steady_) {
  if (!epoll_) std::fprintf(stderr, "epoll_create1: %s\n", std::strerror(errno));
  if (!wake_) std::fprintf(stderr, "eventfd: %s\n", std::strerror(errno));
  if (valid()) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = EventData(wake_.get(), 0);
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
  }
}

EventLoop::~EventLoop() = default;

void EventLoop::setClock(const LoopClock* clock) { clock_ = clock != nullptr ? clock : &steady_; }

bool EventLoop::add(int fd, std::uint32_t interest, IoHandler* handler) {
  if (fd < 0 || handler == nullptr) return false;
  if (static_cast<std::size_t>(fd) >= entries_.size()) entries_.resize(fd + 64);
  Entry& entry = entries_[fd];
  const std::uint32_t generation = nextGeneration_++;
  if (nextGeneration_ == 0) nextGeneration_ = 1;  // 0 is the wake-up's
  epoll_event event{};
  event.events = interest;
  event.data.u64 = EventData(fd, generation);
  // A handed-over descriptor is still in the set; one that was closed since left it by itself.
  bool added = entry.inSet && ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0;
  if (!added && ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
    std::fprintf(stderr, "epoll_ctl add: %s\n", std::strerror(errno));
    entry = {};
    return false;
  }
  entry = {handler, interest, generation, true};
  return true;
}

void EventLoop::setInterest(int fd, std::uint32_t interest) {
  if (!watches(fd)) return;
  Entry& entry = entries_[fd];
  if (entry.interest == interest) return;
  epoll_event event{};
  event.events = interest;
  event.data.u64 = EventData(fd, entry.generation);
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0) entry.interest = interest;
}

void EventLoop::remove(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= entries_.size() || !entries_[fd].inSet) return;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  entries_[fd] = {};
}

void EventLoop::handOver(int fd) {
  if (!watches(fd)) return;
  // Events already gathered carry the old generation and reach nobody.
  entries_[fd].handler = nullptr;
  entries_[fd].interest = 0;
}

void EventLoop::forget(int fd) {
  if (fd >= 0 && static_cast<std::size_t>(fd) < entries_.size()) entries_[fd] = {};
}

bool EventLoop::watches(int fd) const {
  return fd >= 0 && static_cast<std::size_t>(fd) < entries_.size() &&
         entries_[fd].handler != nullptr;
}

EventLoop::TimerId EventLoop::addTimer(std::chrono::milliseconds delay,
                                       std::function<void()> callback) {
  return addTimerAt(now() + delay, std::move(callback));
}

EventLoop::TimerId EventLoop::addTimerAt(TimePoint due, std::function<void()> callback) {
  const TimerId id = nextTimer_++;
  const bool first = timers_.empty() || due < timers_.begin()->first.first;
  timers_.emplace(std::make_pair(due, id), std::move(callback));
  timerDue_.emplace(id, due);
  // The loop may be waiting with a time-out computed before this timer existed.
  if (first && !inBatch()) wake();
  return id;
}

void EventLoop::cancelTimer(TimerId id) {
  auto found = timerDue_.find(id);
  if (found == timerDue_.end()) return;
  timers_.erase({found->second, id});
  timerDue_.erase(found);
}

int EventLoop::timeoutMs(int maxWaitMs) const {
  long long wait = maxWaitMs < 0 ? -1 : maxWaitMs;
  if (!timers_.empty()) {
    const long long due =
        std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - now()).count();
    const long long bounded = std::clamp(due, 0LL, kLongestWaitMs);
    wait = wait < 0 ? bounded : std::min(wait, bounded);
  }
  return static_cast<int>(wait);
}

void EventLoop::runDueTimers() {
  const TimePoint current = now();
  // A timer armed by a callback for a time already past runs in the next batch, so a callback
  // that re-arms itself cannot hold the loop.
  const TimerId last = nextTimer_;
  while (!timers_.empty() && timers_.begin()->first.first <= current) {
    auto first = timers_.begin();
    if (first->first.second >= last) break;
    std::function<void()> callback = std::move(first->second);
    timerDue_.erase(first->first.second);
    timers_.erase(first);
    callback();
  }
}

void EventLoop::drainWake() {
  std::uint64_t count;
  while (::read(wake_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void EventLoop::wake() {
  const std::uint64_t one = 1;
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void EventLoop::stop() {
  stopping_.store(true);
  wake();
}

namespace {

// Marks the batch thread while the loop's lock is held.
class BatchScope {
 public:
  explicit BatchScope(std::atomic<std::thread::id>& thread) : thread_(thread) {
    thread_.store(std::this_thread::get_id());
  }
  ~BatchScope() { thread_.store(std::thread::id{}); }
  BatchScope(const BatchScope&) = delete;
  BatchScope& operator=(const BatchScope&) = delete;

 private:
  std::atomic<std::thread::id>& thread_;
};

std::unique_lock<std::mutex> LockIf(std::mutex* mutex) {
  return mutex != nullptr ? std::unique_lock(*mutex) : std::unique_lock<std::mutex>();
}

}  // namespace

int EventLoop::prepareWait(int maxWaitMs) {
  if (beforeWait_) beforeWait_();
  return timeoutMs(maxWaitMs);
}

int EventLoop::waitAndDispatch(int timeout, int maxWaitMs) {
  epoll_event events[kEventsPerWait];
  int ready = ::epoll_wait(epoll_.get(), events, kEventsPerWait, timeout);
  if (ready < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "epoll_wait: %s\n", std::strerror(errno));
      return -2;
    }
    ready = 0;
  }
  const auto workFrom = BusyMeter::Clock::now();
  auto lock = LockIf(batchLock_);
  BatchScope scope(batchThread_);
  for (int i = 0; i < ready; ++i) {
    const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
    const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
    if (generation == 0) {
      drainWake();
      continue;
    }
    // Removed (and perhaps added again) since the wait gathered this event.
    if (static_cast<std::size_t>(fd) >= entries_.size()) continue;
    const Entry& entry = entries_[fd];
    if (entry.handler == nullptr || entry.generation != generation) continue;
    entry.handler->onIo(fd, events[i].events);
  }
  runDueTimers();
  if (afterBatch_) afterBatch_();
  const int next = prepareWait(maxWaitMs);
  busy_.add(workFrom, BusyMeter::Clock::now());
  return next;
}

bool EventLoop::runOnce(int maxWaitMs) {
  int timeout;
  {
    auto lock = LockIf(batchLock_);
    BatchScope scope(batchThread_);
    timeout = prepareWait(maxWaitMs);
  }
  return waitAndDispatch(timeout, maxWaitMs) != -2;
}

bool EventLoop::run() {
  int timeout;
  {
    auto lock = LockIf(batchLock_);
    BatchScope scope(batchThread_);
    timeout = prepareWait(-1);
  }
  while (!stopping_.load()) {
    timeout = waitAndDispatch(timeout, -1);
    if (timeout == -2) return false;
  }
  stopping_.store(false);
  return true;
}

}  // namespace tarvo
