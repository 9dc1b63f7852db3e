// One relay downloading a number of bytes from a source run here, through a logged-in session:
// the benchmarks' measure of relay throughput.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench/loopback_listener.h"
#include "client/tarvo_client_lib.h"

namespace tarvo::bench {

struct Download {
  std::size_t bytes = 0;
  std::chrono::steady_clock::duration took{};
  double megabytesPerSecond() const {
    return bytes / 1e6 / std::chrono::duration<double>(took).count();
  }
};

// The source writes as fast as the relay takes it; the time runs from the relay's opening to
// its last byte.
inline Download DownloadThrough(const client::SessionClient& session, std::size_t total) {
  static const std::vector<std::uint8_t> block(1 << 20, 0x5a);
  std::uint16_t port = 0;
  const int listener = ListenAny(port);
  std::thread source([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    for (std::size_t sent = 0; sent < total;) {
      const ssize_t n =
          ::send(fd, block.data(), std::min(block.size(), total - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  client::DataConnection relay;
  Download download;
  if (relay.open(session, ::inet_addr("127.0.0.1"), port, 5000) != client::ClientStatus::kOk) {
    ::shutdown(listener, SHUT_RDWR);  // ends the source's accept
    source.join();
    ::close(listener);
    return download;
  }
  const auto start = std::chrono::steady_clock::now();
  ByteBuffer plaintext;
  while (relay.receive(plaintext, 10'000) == client::ClientStatus::kOk) {
    download.bytes += plaintext.size();
    plaintext.clear();
  }
  download.took = std::chrono::steady_clock::now() - start;
  source.join();
  ::close(listener);
  return download;
}

}  // namespace tarvo::bench
