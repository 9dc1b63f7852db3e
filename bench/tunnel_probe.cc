// Helpers for bench/tunnel_compare.sh: a fast HTTP sender, a TCP echo server, and clients that
// measure through a SOCKS5 proxy (or directly): one-byte round trips, short downloads per
// second, and many idle relays held open.
//   tunnel_probe http PORT                  serves GET /BYTES with BYTES bytes
//   tunnel_probe echo PORT                  echoes every byte back
//   tunnel_probe rtt SOCKS|0 PORT COUNT     median one-byte round trip in microseconds
//   tunnel_probe rtt-for SOCKS|0 PORT MS    round trips for MS milliseconds: median, p99, max
//   tunnel_probe relays SOCKS PORT TOTAL INFLIGHT BYTES   short downloads per second
//   tunnel_probe idle SOCKS PORT COUNT      opens COUNT relays, prints "ready", holds them until
//                                            standard input closes
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/blocking_io.h"

using tarvo::bench::RecvAll;
using tarvo::bench::SendAll;

namespace {

using Clock = std::chrono::steady_clock;

int Listen(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4096) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  return fd;
}

void ServeHttpConnection(int fd) {
  static const std::vector<char> block(1 << 20, 'x');
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  unsigned long long size = 0;
  if (auto slash = request.find(' '); slash != std::string::npos) {
    size = std::strtoull(request.c_str() + slash + 2, nullptr, 10);
  }
  std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(size) + "\r\nConnection: close\r\n\r\n";
  bool ok = SendAll(fd, head.data(), head.size());
  while (ok && size > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<unsigned long long>(size, block.size()));
    ok = SendAll(fd, block.data(), n);
    size -= n;
  }
  ::shutdown(fd, SHUT_WR);
  while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  ::close(fd);
}

// A fixed pool of threads, each accepting and serving one connection at a time: what the
// server costs per download does not depend on how many a tunnel opens at once (a thread per
// connection would make the faster-opening tunnel pay for thread stacks).
void ServeHttp(int port) {
  constexpr int kServers = 256;
  int listener = Listen(port);
  std::vector<std::thread> servers;
  for (int i = 0; i < kServers; ++i) {
    servers.emplace_back([listener] {
      for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) ServeHttpConnection(fd);
      }
    });
  }
  for (std::thread& server : servers) server.join();
}

void ServeEcho(int port) {
  int listener = Listen(port);
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread([fd] {
      int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      char buffer[16384];
      for (;;) {
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0 || !SendAll(fd, buffer, static_cast<std::size_t>(got))) break;
      }
      ::close(fd);
    }).detach();
  }
}

// Connects to 127.0.0.1:port, through the SOCKS5 proxy on socksPort unless it is 0.
int Open(int socksPort, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(socksPort != 0 ? socksPort : port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  if (socksPort == 0) return fd;
  const unsigned char request[] = {5,
                                   1,
                                   0,
                                   5,
                                   1,
                                   0,
                                   1,
                                   127,
                                   0,
                                   0,
                                   1,
                                   static_cast<unsigned char>(port >> 8),
                                   static_cast<unsigned char>(port & 0xff)};
  unsigned char reply[12];
  if (!SendAll(fd, request, sizeof request) || !RecvAll(fd, reply, sizeof reply) || reply[1] != 0 ||
      reply[3] != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int RoundTrip(int socksPort, int port, int count) {
  int fd = Open(socksPort, port);
  if (fd < 0) return 1;
  std::vector<double> samples;
  char byte = 'p';
  for (int i = 0; i < count + 100; ++i) {
    auto start = Clock::now();
    if (!SendAll(fd, &byte, 1) || !RecvAll(fd, &byte, 1)) return 1;
    if (i >= 100) {  // the first round trips warm caches and the relay's buffers
      samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  std::sort(samples.begin(), samples.end());
  std::printf("%.1f\n", samples[samples.size() / 2]);
  return 0;
}

// One-byte round trips back to back for a while (what something else does meanwhile shows in
// the spread); prints "median X us, p99 Y us, max Z us, N round trips".
int RoundTripsFor(int socksPort, int port, int milliseconds) {
  int fd = Open(socksPort, port);
  if (fd < 0) return 1;
  std::vector<double> samples;
  char byte = 'p';
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (Clock::now() < end) {
    auto start = Clock::now();
    if (!SendAll(fd, &byte, 1) || !RecvAll(fd, &byte, 1)) return 1;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (samples.empty()) return 1;
  std::sort(samples.begin(), samples.end());
  std::printf("median %.1f us, p99 %.1f us, max %.1f us, %zu round trips\n",
              samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back(),
              samples.size());
  return 0;
}

int Relays(int socksPort, int port, int total, int inflight, long bytes) {
  std::atomic<int> next{0}, failed{0};
  const std::string request = "GET /" + std::to_string(bytes) + " HTTP/1.1\r\nHost: x\r\n\r\n";
  auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < inflight; ++w) {
    workers.emplace_back([&] {
      std::vector<char> buffer(65536);
      while (next.fetch_add(1) < total) {
        int fd = Open(socksPort, port);
        bool ok = fd >= 0 && SendAll(fd, request.data(), request.size());
        long got = 0;
        while (ok) {
          ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
          if (n <= 0) break;
          got += n;
        }
        if (fd >= 0) ::close(fd);
        if (!ok || got < bytes) ++failed;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%.0f\n", total / seconds);
  if (failed != 0) std::fprintf(stderr, "%d of %d downloads failed\n", failed.load(), total);
  return failed != 0;
}

int Idle(int socksPort, int port, int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    int fd = Open(socksPort, port);
    if (fd < 0) {
      std::fprintf(stderr, "relay %d failed\n", i);
      return 1;
    }
    // One byte each way: the relay is connected end to end before it is counted.
    char byte = 'i';
    if (!SendAll(fd, &byte, 1) || !RecvAll(fd, &byte, 1)) return 1;
    fds.push_back(fd);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[64];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  for (int fd : fds) ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  auto number = [&](std::size_t i) { return std::atol(args.at(i).c_str()); };
  if (args.size() == 2 && args[0] == "http") ServeHttp(number(1));
  if (args.size() == 2 && args[0] == "echo") ServeEcho(number(1));
  if (args.size() == 4 && args[0] == "rtt") return RoundTrip(number(1), number(2), number(3));
  if (args.size() == 4 && args[0] == "rtt-for") {
    return RoundTripsFor(number(1), number(2), number(3));
  }
  if (args.size() == 6 && args[0] == "relays") {
    return Relays(number(1), number(2), number(3), number(4), number(5));
  }
  if (args.size() == 4 && args[0] == "idle") return Idle(number(1), number(2), number(3));
  std::fputs("usage: see the comment atop tunnel_probe.cc\n", stderr);
  return 2;
}
