#include "tests/stalled_relays.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

namespace tarvo::test {

namespace {

// Small buffers on the test's own side of each connection.
void ShrinkBuffers(int fd) {
  const int size = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

}  // namespace

long HostTcpMemoryPages() {
  std::ifstream sockstat("/proc/net/sockstat");
  std::string line;
  const std::regex memory(R"(^TCP:.* mem (\d+))");
  while (std::getline(sockstat, line)) {
    std::smatch found;
    if (std::regex_search(line, found, memory)) return std::stol(found[1]);
  }
  return -1;
}

long SocketMemory(pid_t pid) {
  std::unique_ptr<FILE, int (*)(FILE*)> ss(::popen("ss -tmnpO 2>/dev/null", "r"), ::pclose);
  if (!ss) return -1;
  const std::string owner = "pid=" + std::to_string(pid) + ",";
  const std::regex memory(R"(skmem:\(r(\d+),rb\d+,t\d+,tb\d+,f\d+,w(\d+))");
  long total = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, ss.get()) != nullptr) {
    const std::string text = line;
    std::smatch found;
    if (text.find(owner) == std::string::npos || !std::regex_search(text, found, memory)) continue;
    total += std::stol(found[1]) + std::stol(found[2]);
  }
  return total;
}

FloodingDestination::FloodingDestination() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ShrinkBuffers(listener_);  // inherited by the accepted connections
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 4096) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

FloodingDestination::~FloodingDestination() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

void FloodingDestination::run() {
  static const std::vector<char> block(64 << 10, 'f');
  std::vector<pollfd> watched{{listener_, POLLIN, 0}};
  while (!stopping_) {
    if (::poll(watched.data(), watched.size(), 200) <= 0) continue;
    for (std::size_t i = 1; i < watched.size(); ++i) {
      if ((watched[i].revents & (POLLERR | POLLHUP)) != 0) {
        ::close(watched[i].fd);
        watched[i].fd = -1;  // poll skips it
      } else if ((watched[i].revents & POLLOUT) != 0) {
        ::send(watched[i].fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      }
    }
    if ((watched[0].revents & POLLIN) != 0) {
      for (int fd;
           (fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        watched.push_back({fd, POLLOUT, 0});
      }
    }
  }
  for (std::size_t i = 1; i < watched.size(); ++i) {
    if (watched[i].fd >= 0) ::close(watched[i].fd);
  }
}

bool StallRelays(const client::SessionClient& session, std::uint16_t port, int count,
                 std::vector<client::DataConnection>& relays) {
  relays = std::vector<client::DataConnection>(static_cast<std::size_t>(count));
  std::vector<pollfd> watched;
  for (auto& relay : relays) {
    if (relay.open(session, ::inet_addr("127.0.0.1"), port, 5000) != client::ClientStatus::kOk) {
      return false;
    }
    ShrinkBuffers(relay.socket().fd());
    watched.push_back({relay.socket().fd(), POLLOUT, 0});
  }
  // Bytes the daemon deciphers into garbage for the destination, which never reads them.
  static const std::vector<char> block(64 << 10, 'c');
  for (int pass = 0; pass < 2000; ++pass) {
    if (::poll(watched.data(), watched.size(), 500) <= 0) break;  // none took more
    for (pollfd& entry : watched) {
      if ((entry.revents & (POLLERR | POLLHUP)) != 0) {
        entry.fd = -1;  // closed by the daemon: poll skips it
      } else if ((entry.revents & POLLOUT) != 0) {
        ::send(entry.fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      }
    }
  }
  return true;
}

long SettledSocketMemory(pid_t pid) {
  long held = SocketMemory(pid);
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long now = SocketMemory(pid);
    const bool settled = now > 0 && now - held < held / 100;
    held = now;
    if (settled) break;
  }
  return held;
}

}  // namespace tarvo::test
