// Relay throughput of a running TarvoServer on loopback, the daemon alone (no SOCKS client in
// between): one relay downloads BYTES from a source server run here, then uploads BYTES to a
// sink run here, through the client library's data connection; prints MB/s of each. With
// IDLE and PID it then opens IDLE relays that carry nothing and prints the daemon's resident
// memory per idle relay (VmRSS of PID before and after).
//   relay_throughput PORT USER PASSWORD BYTES [IDLE PID]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_listener.h"
#include "bench/relay_download.h"
#include "client/tarvo_client_lib.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvo::ByteBuffer;
using tarvo::client::ClientStatus;

using tarvo::bench::ListenAny;

double MBps(std::size_t bytes, Clock::duration elapsed) {
  return bytes / 1e6 / std::chrono::duration<double>(elapsed).count();
}

long ResidentKiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Median time of a 1-byte round trip through a relay to an echo destination run here.
void RoundTrips(const tarvo::client::SessionClient& session, int count) {
  std::uint16_t port = 0;
  int listener = ListenAny(port);
  std::thread echo([&] {
    int fd = ::accept(listener, nullptr, nullptr);
    char byte;
    while (::recv(fd, &byte, 1, 0) == 1 && ::send(fd, &byte, 1, MSG_NOSIGNAL) == 1) {
    }
    ::close(fd);
  });
  tarvo::client::DataConnection relay;
  relay.open(session, ::inet_addr("127.0.0.1"), port, 5000);
  std::vector<double> micros;
  const std::uint8_t byte = 'x';
  for (int i = 0; i < count; ++i) {
    ByteBuffer back;
    const auto start = Clock::now();
    if (relay.send({&byte, 1}) != ClientStatus::kOk) break;
    while (back.empty()) {
      if (relay.receive(back, 5000) != ClientStatus::kOk) break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  relay.close();
  echo.join();
  ::close(listener);
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  std::printf("1-byte round trip: median %.1f us over %zu\n", micros[micros.size() / 2],
              micros.size());
}

// Opens count relays to a destination that accepts and holds them; prints the daemon's memory
// per relay once all are connected.
void IdleRelays(const tarvo::client::SessionClient& session, int count, const std::string& pid) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  std::uint16_t port = 0;
  int listener = ListenAny(port);
  std::vector<int> accepted;
  std::thread acceptor([&] {
    for (int i = 0; i < count; ++i) {
      int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) break;
      accepted.push_back(fd);
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long before = ResidentKiB(pid);
  std::vector<tarvo::client::DataConnection> relays(static_cast<std::size_t>(count));
  for (auto& relay : relays) relay.open(session, ::inet_addr("127.0.0.1"), port, 5000);
  acceptor.join();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long after = ResidentKiB(pid);
  std::printf("%d idle relays (%zu connected): daemon VmRSS %ld -> %ld KiB, %.2f KiB per relay\n",
              count, accepted.size(), before, after, static_cast<double>(after - before) / count);
  for (int fd : accepted) ::close(fd);
  ::close(listener);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 7) {
    std::fprintf(stderr, "usage: relay_throughput PORT USER PASSWORD BYTES [IDLE PID]\n");
    return 2;
  }
  const auto daemonPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const std::size_t total = std::strtoull(argv[4], nullptr, 10);
  tarvo::client::SessionClient session;
  if (session.open("127.0.0.1", daemonPort, "2.0.5", 5000) != ClientStatus::kOk ||
      session.login(argv[2], argv[3], 5000).outcome != tarvo::client::LoginOutcome::kAccepted) {
    std::fprintf(stderr, "login failed\n");
    return 1;
  }
  const std::uint32_t loopback = ::inet_addr("127.0.0.1");
  std::vector<std::uint8_t> block(1 << 20, 0x5a);

  const tarvo::bench::Download down = tarvo::bench::DownloadThrough(session, total);
  std::printf("download %zu MB: %.0f MB/s\n", down.bytes >> 20, down.megabytesPerSecond());

  // Upload: the sink reads as fast as the relay delivers.
  std::uint16_t port = 0;
  int listener = ListenAny(port);
  std::size_t sunk = 0;
  std::thread sink([&] {
    int fd = ::accept(listener, nullptr, nullptr);
    std::vector<std::uint8_t> buffer(1 << 20);
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) sunk += n;
    ::close(fd);
  });
  tarvo::client::DataConnection up;
  up.open(session, loopback, port, 5000);
  const auto upStart = Clock::now();
  for (std::size_t sent = 0; sent < total; sent += block.size()) {
    if (up.send({block.data(), std::min(block.size(), total - sent)}, 10'000) !=
        ClientStatus::kOk) {
      break;
    }
  }
  up.close();
  sink.join();
  const auto upTime = Clock::now() - upStart;
  ::close(listener);
  std::printf("upload %zu MB: %.0f MB/s\n", sunk >> 20, MBps(sunk, upTime));
  RoundTrips(session, 5000);
  if (argc == 7) IdleRelays(session, std::atoi(argv[5]), argv[6]);
  return 0;
}
