#include "tests/daemon_probe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

namespace tarvo::test {

long ThreadCount(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

long OpenDescriptors(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

long RaiseDescriptorLimit(long wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < static_cast<rlim_t>(wanted)) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(wanted));
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

bool LimitSanitizerQuarantine() {
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string options = asan != nullptr ? asan : "";
  if (!options.empty()) options += ':';
  options += "quarantine_size_mb=16";
  return ::setenv("ASAN_OPTIONS", options.c_str(), 1) == 0;
}

int ConnectFrom(const std::string& source, std::uint16_t port, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ::inet_addr(source.c_str());
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  remote.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);  // as client::Socket expects
  return fd;
}

std::string LoopbackSource(int index) {
  const int host = index + 2;  // 127.0.0.2 upwards
  return "127.0." + std::to_string(host / 250) + "." + std::to_string(host % 250 + 1);
}

bool PeerClosed(int fd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char bytes[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::max<long>(0, left.count())));
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0 && left.count() <= 0) return false;
    if (ready <= 0) continue;
    ssize_t received = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (received == 0) return true;
    if (received < 0 && errno != EAGAIN && errno != EINTR) return errno == ECONNRESET;
  }
}

}  // namespace tarvo::test
