#include "tests/wire_tap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvo::test {

namespace {

int ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

WireTap::WireTap(std::uint16_t targetPort)
    : targetPort_(targetPort),
      server_(std::make_unique<LoopbackTcpServer>(
          [this](int fd, const std::atomic<bool>& stopping) { serve(fd, stopping); })) {}

std::vector<std::uint8_t> WireTap::sent(std::size_t connection) const {
  std::lock_guard lock(mutex_);
  return connection < sent_.size() ? *sent_[connection] : std::vector<std::uint8_t>{};
}

std::size_t WireTap::connections() const {
  std::lock_guard lock(mutex_);
  return sent_.size();
}

void WireTap::serve(int client, const std::atomic<bool>& stopping) {
  auto record = std::make_shared<std::vector<std::uint8_t>>();
  {
    std::lock_guard lock(mutex_);
    sent_.push_back(record);
  }
  const int target = ConnectLoopback(targetPort_);
  if (target < 0) return;
  std::uint8_t buffer[65536];
  while (!stopping) {
    pollfd fds[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
    if (::poll(fds, 2, 200) <= 0) continue;
    bool open = true;
    for (int i = 0; i < 2 && open; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        open = false;
        break;
      }
      const auto size = static_cast<std::size_t>(got);
      if (i == 0) {
        if (flip_.exchange(false)) buffer[size / 2] ^= 0x01;
        std::lock_guard lock(mutex_);
        record->insert(record->end(), buffer, buffer + size);
      }
      open = SendAll(i == 0 ? target : client, buffer, size);
    }
    if (!open) break;
  }
  ::close(target);
}

std::vector<std::uint8_t> ReplayTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> answer;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return answer;
  SendAll(fd, bytes.data(), bytes.size());
  std::uint8_t buffer[16384];
  for (int quiet = 0; quiet < 50;) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) {
      ++quiet;
      continue;
    }
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    answer.insert(answer.end(), buffer, buffer + got);
  }
  ::close(fd);
  return answer;
}

}  // namespace tarvo::test
