// A man in the middle on loopback: forwards every connection to a target port and keeps the
// bytes the client sent on each, and can flip one bit in the next chunk it forwards toward
// the target. Tests replay what it kept and see what tampering does.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "tests/loopback_servers.h"

namespace tarvo::test {

class WireTap {
 public:
  explicit WireTap(std::uint16_t targetPort);

  std::uint16_t port() const { return server_->port(); }
  // What the client of connection i (in accept order) sent, as far as it was forwarded.
  std::vector<std::uint8_t> sent(std::size_t connection) const;
  std::size_t connections() const;
  // The next chunk toward the target has a bit flipped in its middle byte.
  void flipNextChunk() { flip_ = true; }

 private:
  void serve(int fd, const std::atomic<bool>& stopping);

  const std::uint16_t targetPort_;
  std::atomic<bool> flip_{false};
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<std::vector<std::uint8_t>>> sent_;
  std::unique_ptr<LoopbackTcpServer> server_;
};

// Sends bytes to 127.0.0.1:port on a new connection and reads until the peer closes (at most
// a few seconds); what came back.
std::vector<std::uint8_t> ReplayTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes);

}  // namespace tarvo::test
