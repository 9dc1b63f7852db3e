#include "client/event_loop.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarvo::client {

EventLoop::EventLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_ < 0) std::fprintf(stderr, "tarvoclient: epoll_create1: %s\n", std::strerror(errno));
}

EventLoop::~EventLoop() {
  if (epoll_ >= 0) ::close(epoll_);
}

bool EventLoop::add(int fd, std::uint32_t interest, IoHandler* handler) {
  if (fd < 0) return false;
  if (static_cast<std::size_t>(fd) >= entries_.size()) entries_.resize(fd + 64);
  epoll_event event{};
  event.events = interest;
  event.data.fd = fd;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    std::fprintf(stderr, "tarvoclient: epoll_ctl add: %s\n", std::strerror(errno));
    return false;
  }
  entries_[fd] = {handler, interest};
  return true;
}

void EventLoop::setInterest(int fd, std::uint32_t interest) {
  Entry& entry = entries_[fd];
  if (entry.handler == nullptr || entry.interest == interest) return;
  epoll_event event{};
  event.events = interest;
  event.data.fd = fd;
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) == 0) entry.interest = interest;
}

void EventLoop::remove(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= entries_.size()) return;
  if (entries_[fd].handler == nullptr) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  entries_[fd] = {};
}

EventLoop::TimerId EventLoop::addTimer(std::chrono::milliseconds delay,
                                       std::function<void()> callback) {
  const TimerId id = nextTimer_++;
  const Clock::time_point due = Clock::now() + delay;
  timers_.emplace(std::make_pair(due, id), std::move(callback));
  timerDue_.emplace(id, due);
  return id;
}

void EventLoop::cancelTimer(TimerId id) {
  auto found = timerDue_.find(id);
  if (found == timerDue_.end()) return;
  timers_.erase({found->second, id});
  timerDue_.erase(found);
}

int EventLoop::timeoutMs() const {
  if (timers_.empty()) return -1;
  auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now());
  return wait.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(wait.count(), 60000));
}

void EventLoop::runDueTimers() {
  const Clock::time_point now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    auto first = timers_.begin();
    std::function<void()> callback = std::move(first->second);
    timerDue_.erase(first->first.second);
    timers_.erase(first);
    callback();
  }
}

bool EventLoop::run() {
  epoll_event events[256];
  while (!stopping_) {
    int ready = ::epoll_wait(epoll_, events, 256, timeoutMs());
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "tarvoclient: epoll_wait: %s\n", std::strerror(errno));
      return false;
    }
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      // A handler earlier in the batch may have removed this descriptor.
      if (static_cast<std::size_t>(fd) >= entries_.size()) continue;
      IoHandler* handler = entries_[fd].handler;
      if (handler != nullptr) handler->onIo(fd, events[i].events);
    }
    runDueTimers();
    if (afterBatch_) afterBatch_();
  }
  return true;
}

}  // namespace tarvo::client
