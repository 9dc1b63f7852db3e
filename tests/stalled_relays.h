// One user's relays stalled both ways, and what the host's TCP memory shows of it. A test and
// a benchmark share it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "client/tarvo_client_lib.h"

namespace tarvo::test {

// The host's TCP memory in pages: "TCP: ... mem N" of /proc/net/sockstat (the figure
// net.ipv4.tcp_mem limits), or -1.
long HostTcpMemoryPages();

// Bytes held in the TCP sockets of process pid (received and not read, plus queued to send),
// as ss reports them, or -1.
long SocketMemory(pid_t pid);

// A destination that writes to every connection without end and never reads, on one thread.
// Its own buffers are small, so the host's TCP memory it shows is the daemon's.
class FloodingDestination {
 public:
  FloodingDestination();
  ~FloodingDestination();
  FloodingDestination(const FloodingDestination&) = delete;
  FloodingDestination& operator=(const FloodingDestination&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  void run();

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Opens count relays of session to 127.0.0.1:port whose client never reads, then pushes bytes
// into all of them until none takes more for a while: stalled both ways against a
// FloodingDestination. False when a relay could not be opened.
bool StallRelays(const client::SessionClient& session, std::uint16_t port, int count,
                 std::vector<client::DataConnection>& relays);

// Until the daemon's sockets stop filling: two readings a second apart within 1 %, at most
// 30 s. The last reading.
long SettledSocketMemory(pid_t pid);

}  // namespace tarvo::test
