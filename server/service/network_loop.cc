#include "server/service/network_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "server/service/socket.h"

namespace tarvo {

std::mutex NetworkLock;

namespace {

std::atomic<bool> stopRequested{false};
thread_local bool inPass = false;

// The loop's wake-up: written by other threads, watched by every wait.
int WakeDescriptor() {
  static UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  return wake.get();
}

void DrainWake() {
  std::uint64_t count;
  ssize_t result;
  do {
    result = ::read(WakeDescriptor(), &count, sizeof count);
  } while (result < 0 && errno == EINTR);
}

// Milliseconds until just after the next whole second of the wall clock, which the sockets'
// time-outs are measured in.
int MsToNextSecond() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  return static_cast<int>(1000 - ms % 1000) + 1;
}

// Marks the calling thread as the network thread while it holds the lock for a pass half.
class PassScope {
 public:
  PassScope() { inPass = true; }
  ~PassScope() { inPass = false; }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;
};

// What one watched socket asked for in the query half of a pass.
struct Watch {
  std::size_t slot;
  bool read, write, except;
};

}  // namespace

// The loop's access to the socket's bookkeeping.
class NetworkLoopAccess {
 public:
  static bool hungUp(const Socket* socket) { return socket->hungUp_; }
  static void setHungUp(Socket* socket) { socket->hungUp_ = true; }
};

namespace {

// Deletes socket if it still sits in slot (a handler may have had it deleted already).
void DeleteIfLive(std::size_t slot, Socket* socket) {
  if (Sockets().at(slot) == socket) delete socket;
}

bool Alive(std::size_t slot, const Socket* socket, int handle) {
  return Sockets().at(slot) == socket && socket->handle() == handle;
}

// Calls the handlers for one ready socket; false when it is to be deleted.
bool Dispatch(Socket* socket, std::size_t slot, const Watch& watch, short revents, int handle) {
  const bool failed = (revents & (POLLERR | POLLHUP)) != 0;
  if (revents & POLLNVAL) return false;  // its descriptor is gone: nothing more can be done
  // A failed connection attempt shows as writable with an error: report the exception only,
  // or onWrite would take it for a completed connection.
  if (failed && socket->hasFlag(Socket::Connecting)) return socket->onExcept();

  if (watch.read && (revents & (POLLIN | POLLERR | POLLHUP))) {
    if (!socket->onRead()) return false;
    if (!Alive(slot, socket, handle)) return true;
  }
  if (watch.write && (revents & (POLLOUT | POLLERR | POLLHUP))) {
    if (!socket->onWrite()) return false;
    if (!Alive(slot, socket, handle)) return true;
  }
  bool except = watch.except && (revents & POLLPRI);
  if (failed && !watch.read && !watch.write) {
    // Nothing will read or write the error away: tell the socket once, then stop polling it
    // until it wants to read or write again.
    NetworkLoopAccess::setHungUp(socket);
    except = true;
  }
  if (except) return socket->onExcept();
  return true;
}

}  // namespace

bool OnNetworkThread() { return inPass; }

void WakeNetworkLoop() {
  if (inPass) return;
  std::uint64_t one = 1;
  ssize_t result;
  do {
    result = ::write(WakeDescriptor(), &one, sizeof one);
  } while (result < 0 && errno == EINTR);
}

void RequestNetworkLoopStop() {
  stopRequested.store(true);
  WakeNetworkLoop();
}

void RunNetworkPass(int maxWaitMs) {
  // Reused from pass to pass; only the network thread runs passes.
  static thread_local std::vector<pollfd> fds;
  static thread_local std::vector<Watch> watches;
  fds.clear();
  watches.clear();
  fds.push_back({WakeDescriptor(), POLLIN, 0});

  SocketList& list = Sockets();
  {
    std::lock_guard lock(NetworkLock);
    PassScope scope;
    list.compact();
    const std::size_t count = list.slotCount();  // sockets made during the pass wait for the next
    for (std::size_t slot = 0; slot < count; ++slot) {
      Socket* socket = list.at(slot);
      if (socket == nullptr || socket->handle() == kNoHandle) continue;
      Watch watch{slot, false, false, false};
      try {
        watch.read = socket->wantRead();
        watch.write = socket->wantWrite();
        watch.except = socket->wantExcept();
      } catch (const CloseSocketException&) {
        DeleteIfLive(slot, socket);
        continue;
      }
      if (list.at(slot) != socket || socket->handle() == kNoHandle) continue;
      if (!watch.read && !watch.write && (!watch.except || NetworkLoopAccess::hungUp(socket))) {
        continue;
      }
      short events = 0;
      if (watch.read) events |= POLLIN;
      if (watch.write) events |= POLLOUT;
      if (watch.except) events |= POLLPRI;
      fds.push_back({socket->handle(), events, 0});
      watches.push_back(watch);
    }
  }

  const int timeout = maxWaitMs < 0 ? -1 : std::min(maxWaitMs, MsToNextSecond());
  int ready = ::poll(fds.data(), fds.size(), timeout);
  if (ready < 0) {
    if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return;
  }
  if (ready == 0) return;

  std::lock_guard lock(NetworkLock);
  PassScope scope;
  if (fds[0].revents & POLLIN) DrainWake();
  for (std::size_t i = 1; i < fds.size(); ++i) {
    const short revents = fds[i].revents;
    if (revents == 0) continue;
    const Watch& watch = watches[i - 1];
    Socket* socket = list.at(watch.slot);
    // Deleted (or handed its handle over) since the query half: not ours to call any more.
    if (socket == nullptr || socket->handle() != fds[i].fd) continue;
    bool keep;
    try {
      keep = Dispatch(socket, watch.slot, watch, revents, fds[i].fd);
    } catch (const CloseSocketException&) {
      keep = false;
    }
    if (!keep) DeleteIfLive(watch.slot, socket);
  }
}

void RunNetworkLoop() {
  while (!stopRequested.load()) RunNetworkPass(kMaxPassWaitMs);
  stopRequested.store(false);
}

}  // namespace tarvo
