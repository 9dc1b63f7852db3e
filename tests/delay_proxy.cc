#include "tests/delay_proxy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <list>
#include <optional>
#include <vector>

namespace tarvo::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadSize = 64 << 10;
// A direction stops reading while this much waits in it, so a slow reader pushes back.
constexpr std::size_t kMostQueued = 4 << 20;

struct Chunk {
  Clock::time_point due;
  std::vector<char> bytes;  // empty: the sender's end of stream
  std::size_t sent = 0;
};

// One direction of a connection: bytes read from one socket, each waiting for its time.
struct Direction {
  std::deque<Chunk> queue;
  std::size_t queued = 0;
  bool readEnded = false;  // the end of stream was read
  bool ended = false;      // and passed on
  bool writeBlocked = false;

  bool canRead() const { return !readEnded && queued < kMostQueued; }
};

struct Link {
  int client = -1;
  int upstream = -1;
  bool connected = false;
  bool dead = false;
  Direction up;    // client to upstream
  Direction down;  // upstream to client

  ~Link() {
    if (client >= 0) ::close(client);
    if (upstream >= 0) ::close(upstream);
  }
  bool finished() const { return up.ended && down.ended; }
};

void NoDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Reads what from has into direction, each piece due after delay; false when the link broke.
bool ReadInto(int from, Direction& direction, std::chrono::microseconds delay) {
  std::vector<char> bytes(kReadSize);
  const ssize_t got = ::recv(from, bytes.data(), bytes.size(), MSG_DONTWAIT);
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  bytes.resize(static_cast<std::size_t>(got));
  if (got == 0) direction.readEnded = true;
  direction.queued += bytes.size();
  direction.queue.push_back(Chunk{Clock::now() + delay, std::move(bytes), 0});
  return true;
}

// Passes on every piece whose time has come; false when the link broke.
bool Deliver(int to, Direction& direction, Clock::time_point now) {
  direction.writeBlocked = false;
  while (!direction.queue.empty() && direction.queue.front().due <= now) {
    Chunk& chunk = direction.queue.front();
    if (chunk.bytes.empty()) {
      ::shutdown(to, SHUT_WR);
      direction.ended = true;
      direction.queue.pop_front();
      continue;
    }
    const ssize_t sent = ::send(to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent,
                                MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        direction.writeBlocked = true;
        return true;
      }
      return false;
    }
    chunk.sent += static_cast<std::size_t>(sent);
    direction.queued -= static_cast<std::size_t>(sent);
    if (chunk.sent == chunk.bytes.size()) direction.queue.pop_front();
  }
  return true;
}

// The earliest time a waiting piece falls due, unless it waits for room in the socket.
void EarliestDue(const Direction& direction, std::optional<Clock::time_point>& earliest) {
  if (direction.queue.empty() || direction.writeBlocked) return;
  const Clock::time_point due = direction.queue.front().due;
  if (!earliest || due < *earliest) earliest = due;
}

}  // namespace

DelayProxy::DelayProxy(std::uint16_t targetPort, std::chrono::microseconds delay)
    : targetPort_(targetPort), delayUs_(delay.count()) {}

DelayProxy::~DelayProxy() { stop(); }

bool DelayProxy::start() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 256) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void DelayProxy::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    wake();
    thread_.join();
  }
  if (listener_ >= 0) ::close(listener_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  listener_ = wakeFd_ = -1;
}

void DelayProxy::setDelay(std::chrono::microseconds delay) { delayUs_ = delay.count(); }

void DelayProxy::setRefusing(bool refusing) {
  refusing_ = refusing;
  wake();
}

void DelayProxy::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void DelayProxy::run() {
  std::list<Link> links;
  std::vector<pollfd> fds;
  std::vector<Link*> owners;  // the link of each entry of fds past the first two
  while (!stopping_) {
    fds.assign({{wakeFd_, POLLIN, 0}, {listener_, POLLIN, 0}});
    owners.clear();
    std::optional<Clock::time_point> earliest;
    for (Link& link : links) {
      const short clientEvents = static_cast<short>((link.up.canRead() ? POLLIN : 0) |
                                                    (link.down.writeBlocked ? POLLOUT : 0));
      const short upstreamEvents =
          !link.connected ? POLLOUT
                          : static_cast<short>((link.down.canRead() ? POLLIN : 0) |
                                               (link.up.writeBlocked ? POLLOUT : 0));
      fds.push_back({link.client, clientEvents, 0});
      fds.push_back({link.upstream, upstreamEvents, 0});
      owners.push_back(&link);
      // Nothing is delivered before the connection to the target is made.
      if (link.connected) {
        EarliestDue(link.up, earliest);
        EarliestDue(link.down, earliest);
      }
    }
    timespec timeout{};
    timespec* wait = nullptr;
    if (earliest) {
      const auto left = std::max(Clock::duration::zero(), *earliest - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      wait = &timeout;
    }
    if (::ppoll(fds.data(), fds.size(), wait, nullptr) < 0 && errno != EINTR) break;

    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
    }
    const bool refusing = refusing_;
    if (refusing) links.clear();
    if (fds[1].revents & POLLIN) {
      for (int i = 0; i < 64; ++i) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) break;
        ++accepted_;
        // Read again: the switch may have been turned off since this round began.
        if (refusing_) {
          ::close(client);
          continue;
        }
        Link& link = links.emplace_back();
        link.client = client;
        NoDelay(client);
        link.upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(targetPort_);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (link.upstream < 0 ||
            (::connect(link.upstream, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 &&
             errno != EINPROGRESS)) {
          link.dead = true;
          continue;
        }
        NoDelay(link.upstream);
      }
    }

    const std::chrono::microseconds delay{delayUs_.load()};
    for (std::size_t i = 0; !refusing && i < owners.size(); ++i) {
      Link& link = *owners[i];
      const short clientEvents = fds[2 + 2 * i].revents;
      const short upstreamEvents = fds[3 + 2 * i].revents;
      if (!link.connected && upstreamEvents != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(link.upstream, SOL_SOCKET, SO_ERROR, &error, &length);
        link.connected = error == 0;
        link.dead = error != 0;
        continue;
      }
      // A hang-up with nothing left to read from that side means the peer is gone for good.
      if ((clientEvents & POLLERR) || (upstreamEvents & POLLERR) ||
          ((clientEvents & POLLHUP) && link.up.readEnded) ||
          ((upstreamEvents & POLLHUP) && link.down.readEnded)) {
        link.dead = true;
        continue;
      }
      if ((clientEvents & (POLLIN | POLLHUP)) && !ReadInto(link.client, link.up, delay)) {
        link.dead = true;
      }
      if ((upstreamEvents & (POLLIN | POLLHUP)) && !ReadInto(link.upstream, link.down, delay)) {
        link.dead = true;
      }
    }
    const Clock::time_point now = Clock::now();
    for (Link& link : links) {
      if (link.dead || !link.connected) continue;
      if (!Deliver(link.upstream, link.up, now) || !Deliver(link.client, link.down, now)) {
        link.dead = true;
      }
    }
    links.remove_if([](const Link& link) { return link.dead || link.finished(); });
  }
}

}  // namespace tarvo::test
