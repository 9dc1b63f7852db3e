#include "server/service/net/network_loop.h"

#include <sys/epoll.h>

#include <atomic>
#include <utility>
#include <vector>

#include "server/service/net/network_loop_access.h"
#include "server/service/net/socket.h"

namespace tarvo {

Mutex NetworkLock;

namespace {

EventLoop& Loop();

// Sockets whose queries are to be asked before the next wait, and sockets to delete then.
// Sockets are deleted only here, before the wait: a deleted socket leaves a null behind, so the
// walks by index survive destructors that retire or delete others.
struct Bookkeeping {
  std::vector<Socket*> dirty;
  std::vector<Socket*> retired;
  // Sockets that want to read what TLS already holds (Socket::Buffered): served after the
  // next wait, which the loop then does not let last.
  std::vector<Socket*> buffered;
};

Bookkeeping& Books() {
  static Bookkeeping books;
  return books;
}

// Work posted by other threads; its own lock, taken with or without the network lock.
struct Posted {
  Mutex mutex;
  std::vector<std::function<void()>> work GUARDED_BY(mutex);
};

Posted& ThePosted() {
  static auto* posted = new Posted;  // never destroyed: workers may post while the process ends
  return *posted;
}

void RunPosted() {
  std::vector<std::function<void()>> work;
  {
    Posted& posted = ThePosted();
    MutexLock lock(posted.mutex);
    work.swap(posted.work);
  }
  for (auto& item : work) item();
}

void DeleteRetired() {
  auto& retired = Books().retired;
  // Destructors may retire or delete more sockets: walk by index until none is left.
  for (std::size_t i = 0; i < retired.size(); ++i) {
    if (Socket* socket = retired[i]) delete socket;  // nulls its own entry
  }
  retired.clear();
}

std::uint32_t Mask(bool read, bool write, bool except) {
  return (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u) | (except ? EPOLLPRI : 0u);
}

}  // namespace

// The loop's side of a socket: what it asks and calls, and the bookkeeping behind it.
class NetworkLoopSide {
 public:
  // Asks the queries of one dirty socket and brings its registration up to date.
  static void refresh(Socket* socket) REQUIRES(NetworkLock) {
    if (socket->handle_ == kNoHandle) return;
    if ((socket->interest_ & EPOLLOUT) == 0 && socket->wantWrite()) socket->sendAtOnce();
    const bool read = socket->wantRead();
    const bool write = socket->wantWrite();
    bool except = socket->wantExcept();
    // A socket that wants nothing, or only exceptions after a hang-up it has been told of, is
    // out of the interest set: epoll would report its hang-up on every wait.
    if (except && socket->hungUp_ && !read && !write) except = false;
    if (read && socket->hasFlag(Socket::Buffered)) listBuffered(socket);
    const std::uint32_t mask = Mask(read, write, except);
    EventLoop& loop = Loop();
    const int fd = socket->handle_;
    if (mask == 0) {
      loop.remove(fd);  // also a descriptor handed over to this socket
    } else if (socket->interest_ == 0) {
      if (!loop.add(fd, mask, socket)) return;
    } else {
      loop.setInterest(fd, mask);
    }
    socket->interest_ = mask;
  }

  static void markDirty(Socket* socket) {
    if (socket->dirtySlot_ != Socket::kNotListed || socket->retiredSlot_ != Socket::kNotListed) {
      return;
    }
    auto& dirty = Books().dirty;
    socket->dirtySlot_ = dirty.size();
    dirty.push_back(socket);
  }

  static void retire(Socket* socket) {
    if (socket->retiredSlot_ != Socket::kNotListed) return;
    unlist(Books().dirty, socket->dirtySlot_, socket);
    auto& retired = Books().retired;
    socket->retiredSlot_ = retired.size();
    retired.push_back(socket);
  }

  static void refreshDirty() REQUIRES(NetworkLock) {
    auto& dirty = Books().dirty;
    // Queries change nothing; a send at once may list more sockets as dirty, which the walk by
    // index reaches too.
    for (std::size_t i = 0; i < dirty.size(); ++i) {
      Socket* socket = dirty[i];
      if (socket == nullptr) continue;
      dirty[i] = nullptr;
      socket->dirtySlot_ = Socket::kNotListed;
      refresh(socket);
    }
    dirty.clear();
  }

  static void forget(Socket* socket) {
    Bookkeeping& books = Books();
    // The handle is closed next, which takes it out of the epoll set.
    if (socket->handle_ != kNoHandle) Loop().forget(socket->handle_);
    socket->interest_ = 0;
    unlist(books.dirty, socket->dirtySlot_, socket);
    unlist(books.retired, socket->retiredSlot_, socket);
    unlist(books.buffered, socket->bufferedSlot_, socket);
  }

  // Serves the sockets listed as buffered as if epoll had reported them readable.
  static void serveBuffered() REQUIRES(NetworkLock) {
    std::vector<Socket*> due;
    due.swap(Books().buffered);
    for (std::size_t i = 0; i < due.size(); ++i) {
      Socket* socket = due[i];
      if (socket == nullptr) continue;
      socket->bufferedSlot_ = Socket::kNotListed;
      if ((socket->interest_ & EPOLLIN) == 0 || socket->handle_ == kNoHandle) continue;
      // Handlers delete no socket: the rest of the list stays valid.
      socket->onIo(socket->handle_, EPOLLIN);
    }
  }

  static bool anyBuffered() { return !Books().buffered.empty(); }

  // The handle goes to the socket that takes the connection over, whose first refresh comes
  // before the next wait.
  static void handOver(Socket* socket) {
    if (socket->interest_ != 0 && socket->handle_ != kNoHandle) Loop().handOver(socket->handle_);
    socket->interest_ = 0;
  }

  // Calls the handlers for one readiness report; false when the socket is to end. No handler
  // deletes a socket, so the socket outlives the call.
  static bool dispatch(Socket* socket, int fd, std::uint32_t events) REQUIRES(NetworkLock) {
    const std::uint32_t interest = socket->interest_;
    const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
    // A failed connection attempt shows as writable with an error: report the exception only,
    // or onWrite would take it for a completed connection.
    if (failed && socket->hasFlag(Socket::Connecting)) return socket->onExcept();

    const bool read = (interest & EPOLLIN) != 0;
    const bool write = (interest & EPOLLOUT) != 0;
    if (read && (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
      if (!socket->onRead()) return false;
      if (!stillServing(socket, fd)) return true;
    }
    if (write && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      if (!socket->onWrite()) return false;
      if (!stillServing(socket, fd)) return true;
    }
    bool except = (interest & EPOLLPRI) && (events & EPOLLPRI);
    if (failed && !read && !write) {
      // Nothing will read or write the error away: tell the socket once, then stop watching
      // it until it wants to read or write again.
      socket->hungUp_ = true;
      except = true;
    }
    if (except) return socket->onExcept();
    return true;
  }

 private:
  // A handler ended the socket or handed its connection to another: the rest of the report
  // is not its own.
  static bool stillServing(const Socket* socket, int fd) {
    return !socket->retired() && socket->handle_ == fd;
  }

  static void listBuffered(Socket* socket) {
    if (socket->bufferedSlot_ != Socket::kNotListed) return;
    auto& buffered = Books().buffered;
    socket->bufferedSlot_ = buffered.size();
    buffered.push_back(socket);
  }

  static void unlist(std::vector<Socket*>& list, std::size_t& slot, Socket* socket) {
    if (slot != Socket::kNotListed && slot < list.size() && list[slot] == socket) {
      list[slot] = nullptr;
    }
    slot = Socket::kNotListed;
  }
};

void ForgetSocket(Socket* socket) { NetworkLoopSide::forget(socket); }
void HandOverSocket(Socket* socket) { NetworkLoopSide::handOver(socket); }

void Socket::onIo(int fd, std::uint32_t events) {
  NetworkLock.assertHeld();  // the event loop's batch lock
  if (retired()) return;  // ends before the next wait; nothing more to do
  if (NetworkLoopSide::dispatch(this, fd, events)) {
    MarkSocketDirty(this);
  } else {
    RetireSocket(this);
  }
}

namespace {

// After every batch of reports: what TLS held for sockets that wanted to read.
void ServeBuffered() {
  NetworkLock.assertHeld();  // the event loop's batch lock
  NetworkLoopSide::serveBuffered();
}

// Before every wait: results of other threads, then the ends, then the queries.
void Settle() {
  NetworkLock.assertHeld();  // the event loop's batch lock
  RunPosted();
  DeleteRetired();
  NetworkLoopSide::refreshDirty();
  Sockets().compact();
  // Bytes inside TLS wake nobody: the wait returns at once and they are served after it.
  if (NetworkLoopSide::anyBuffered()) Loop().wake();
}

EventLoop& Loop() {
  static EventLoop* loop = [] {
    auto* made = new EventLoop();  // never destroyed: sockets may outlive static destruction
    made->setBatchLock(&NetworkLock.native());
    made->setBeforeWait(Settle);
    made->setAfterBatch(ServeBuffered);
    return made;
  }();
  return *loop;
}

}  // namespace

bool OnNetworkThread() { return Loop().inBatch(); }

void WakeNetworkLoop() {
  if (!OnNetworkThread()) Loop().wake();
}

void RequestNetworkLoopStop() { Loop().stop(); }

void RunNetworkPass(int maxWaitMs) { Loop().runOnce(maxWaitMs); }

void RunNetworkLoop() { Loop().run(); }

NetworkTime NetworkNow() { return Loop().now(); }

const BusyMeter& NetworkLoopBusy() { return Loop().busy(); }

void SetNetworkClock(const LoopClock* clock) { Loop().setClock(clock); }

void PostToNetworkThread(std::function<void()> work) {
  {
    Posted& posted = ThePosted();
    MutexLock lock(posted.mutex);
    posted.work.push_back(std::move(work));
  }
  WakeNetworkLoop();
}

void RunPostedNetworkWork() { RunPosted(); }

void MarkSocketDirty(Socket* socket) {
  NetworkLoopSide::markDirty(socket);
  WakeNetworkLoop();
}

void RetireSocket(Socket* socket) {
  NetworkLoopSide::retire(socket);
  WakeNetworkLoop();
}

void NetworkTimer::armAt(NetworkTime due, std::function<void()> callback) {
  cancel();
  id_ = Loop().addTimerAt(due, [this, callback = std::move(callback)] {
    id_ = 0;
    callback();
  });
}

void NetworkTimer::cancel() {
  if (id_ != 0) Loop().cancelTimer(std::exchange(id_, 0));
}

}  // namespace tarvo
