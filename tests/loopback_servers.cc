#include "tests/loopback_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tarvo::test {

namespace {

constexpr int kPollStepMs = 100;

// Waits until fd is ready for events or stopping; false when stopping.
bool WaitReady(int fd, short events, const std::atomic<bool>& stopping) {
  while (!stopping.load()) {
    pollfd p{fd, events, 0};
    int ready = ::poll(&p, 1, kPollStepMs);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size,
             const std::atomic<bool>& stopping) {
  while (size > 0) {
    if (!WaitReady(fd, POLLOUT, stopping)) return false;
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Answers each datagram on fd until stopping: reply may rewrite it in place (with spare bytes
// past it) and gives the size to send back, 0 for no reply.
void ServeDatagrams(
    int fd, const std::atomic<bool>& stopping, std::size_t most, std::size_t spare,
    const std::function<std::size_t(std::uint8_t*, std::size_t, const sockaddr_in&)>& reply) {
  std::vector<std::uint8_t> buffer(most + spare);
  while (WaitReady(fd, POLLIN, stopping)) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ssize_t n = ::recvfrom(fd, buffer.data(), most, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) continue;
    const std::size_t size = reply(buffer.data(), static_cast<std::size_t>(n), peer);
    if (size != 0) {
      ::sendto(fd, buffer.data(), size, 0, reinterpret_cast<sockaddr*>(&peer), length);
    }
  }
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

int LoopbackSocket(int type, const char* dotted = "127.0.0.1") {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::inet_addr(dotted);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

LoopbackTcpServer::LoopbackTcpServer(Handler handler, const char* address)
    : handler_(std::move(handler)) {
  listener_ = LoopbackSocket(SOCK_STREAM, address);
  // A long backlog: tests open hundreds of relays to one destination at once, and a dropped
  // SYN costs the daemon's connection a second.
  if (listener_ < 0 || ::listen(listener_, 4096) != 0) return;
  port_ = BoundPort(listener_);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackTcpServer::~LoopbackTcpServer() {
  stopping_.store(true);
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard lock(mutex_);
  for (auto& thread : threads_) thread.join();
  if (listener_ >= 0) ::close(listener_);
}

void LoopbackTcpServer::acceptLoop() {
  while (WaitReady(listener_, POLLIN, stopping_)) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this, fd] {
      handler_(fd, stopping_);
      ::close(fd);
    });
  }
}

void EchoHandler(int fd, const std::atomic<bool>& stopping) {
  std::uint8_t buffer[65536];
  while (WaitReady(fd, POLLIN, stopping)) {
    ssize_t received = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (received <= 0) return;
    if (!SendAll(fd, buffer, static_cast<std::size_t>(received), stopping)) return;
  }
}

LoopbackTcpServer::Handler SourceHandler(std::size_t count) {
  return [count](int fd, const std::atomic<bool>& stopping) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = PatternByte(i);
    SendAll(fd, bytes.data(), bytes.size(), stopping);
  };
}

LoopbackTcpServer::Handler SinkHandler(const std::atomic<bool>& release,
                                       std::atomic<std::size_t>& received,
                                       std::atomic<bool>& intact) {
  return [&release, &received, &intact](int fd, const std::atomic<bool>& stopping) {
    while (!release.load() && !stopping.load()) {
      pollfd p{-1, 0, 0};
      ::poll(&p, 0, kPollStepMs);
    }
    std::vector<std::uint8_t> buffer(1 << 20);
    while (WaitReady(fd, POLLIN, stopping)) {
      ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return;
      const std::size_t at = received.load();
      for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        if (buffer[i] != PatternByte(at + i)) intact.store(false);
      }
      received.store(at + static_cast<std::size_t>(n));
    }
  };
}

UdpEchoServer::UdpEchoServer(const char* address) {
  fd_ = LoopbackSocket(SOCK_DGRAM, address);
  if (fd_ < 0) return;
  port_ = BoundPort(fd_);
  thread_ = std::thread([this] {
    ServeDatagrams(fd_, stopping_, 65536, 2,
                   [](std::uint8_t* datagram, std::size_t size, const sockaddr_in& peer) {
                     std::memcpy(datagram + size, &peer.sin_port, 2);
                     return size + 2;
                   });
  });
}

UdpEchoServer::~UdpEchoServer() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

namespace {

constexpr std::size_t kDnsHeaderSize = 12;

// The name of a query's one question and where the question ends; false if malformed.
bool ParseQuestion(const std::uint8_t* packet, std::size_t size, std::string& name,
                   std::size_t& end) {
  std::size_t at = kDnsHeaderSize;
  name.clear();
  while (at < size && packet[at] != 0) {
    const std::size_t length = packet[at];
    if (length > 63 || at + 1 + length >= size) return false;
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(packet + at + 1), length);
    at += 1 + length;
  }
  end = at + 1 + 4;  // the root label, type and class
  return end <= size;
}

}  // namespace

LoopbackNameServer::LoopbackNameServer(Answerer answer) : answer_(std::move(answer)) {
  fd_ = LoopbackSocket(SOCK_DGRAM);
  if (fd_ < 0) return;
  // Room for a burst of a thousand questions, past the system's cap where allowed (root).
  const int room = 4 << 20;
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  }
  port_ = BoundPort(fd_);
  thread_ = std::thread([this] {
    ServeDatagrams(fd_, stopping_, 512, 16,
                   [this](std::uint8_t* packet, std::size_t size, const sockaddr_in&) {
                     std::string name;
                     std::size_t end = 0;
                     if (!ParseQuestion(packet, size, name, end)) return std::size_t{0};
                     questions_.fetch_add(1);
                     const std::optional<std::uint32_t> address = answer_(name);
                     if (!address) return std::size_t{0};
                     // The question back with one A record (a pointer to the question's name).
                     const std::uint8_t flags[] = {0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
                     std::memcpy(packet + 2, flags, sizeof flags);
                     const std::uint8_t record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
                     std::memcpy(packet + end, record, sizeof record);
                     std::memcpy(packet + end + sizeof record, &*address, 4);
                     return end + sizeof record + 4;
                   });
  });
}

LoopbackNameServer::~LoopbackNameServer() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

std::string LoopbackNameServer::address() const { return "127.0.0.1:" + std::to_string(port_); }

long ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace tarvo::test
