// A session whose client never reads what its relays bring: the daemon's kernel buffers stay
// within the user's stated bound, and its memory goes back to the system once the relays
// close. The copy between two other loopback programs is printed as a figure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "server/service/net/relay_io.h"
#include "server/service/relay/relay_buffers.h"
#include "tests/control_test_support.h"
#include "tests/daemon_probe.h"
#include "tests/loopback_servers.h"
#include "tests/relay_probes.h"
#include "tests/stalled_relays.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::SessionClient;

[[maybe_unused]] const bool kQuarantineLimited = LimitSanitizerQuarantine();

// What one user's stalled relays may hold in the daemon's kernel: the user's wide relays, and
// every other relay narrow.
constexpr long UserKernelBound(int relays) {
  return kUserWideKernelBound + relays * kNarrowRelayKernelBound;
}

// A destination that writes without end. Its own send buffer is capped, so that the host's
// TCP memory goes to the daemon's sockets rather than to this test's.
void Flood(int fd, const std::atomic<bool>& stopping) {
  const int buffer = 128 << 10;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  const std::vector<char> block(64 << 10, 'x');
  while (!stopping) {
    pollfd ready{fd, POLLOUT, 0};
    if (::poll(&ready, 1, 200) <= 0) continue;
    if (::send(fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
        errno != EAGAIN) {
      return;
    }
  }
}

void Discard(int fd, const std::atomic<bool>& stopping) {
  char buffer[64 << 10];
  while (!stopping) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 200) <= 0) continue;
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

// Microseconds that 1 MiB takes from one loopback socket to another program's.
long CopyMicroseconds() {
  std::atomic<bool> stop{false};
  LoopbackTcpServer sink(Discard);
  const int fd = ConnectFrom("127.0.0.2", sink.port());
  if (fd < 0) return -1;
  const std::vector<char> block(1 << 20, 'c');
  const auto started = std::chrono::steady_clock::now();
  std::size_t done = 0;
  while (done < block.size()) {
    pollfd ready{fd, POLLOUT, 0};
    if (::poll(&ready, 1, 5000) <= 0) break;
    const ssize_t n = ::send(fd, block.data() + done, block.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const auto took = std::chrono::steady_clock::now() - started;
  ::close(fd);
  return std::chrono::duration_cast<std::chrono::microseconds>(took).count();
}

bool Served(const TestDaemon& daemon) {
  SessionClient other;
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  return LoggedIn(other, daemon, "bob", "good") &&
         other.trafficInfo(limit, counter, kIoTimeoutMs) == ClientStatus::kOk;
}

TEST(RelayMemoryTest, AClientThatNeverReadsHoldsTheStatedKernelMemoryPerRelay) {
  constexpr int kRelays = 500;
  if (RaiseDescriptorLimit(4096) < kRelays + 256) GTEST_SKIP() << "descriptor limit too low";
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  ASSERT_TRUE(daemon.addUser("bob", "good"));
  const pid_t pid = daemon.process().pid();
  LoopbackTcpServer source(Flood);
  const long baselineKiB = ResidentKiB(pid);
  const long copyBefore = CopyMicroseconds();

  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "alice", "secret"));
  std::vector<DataConnection> relays(kRelays);
  for (auto& relay : relays) {
    ASSERT_EQ(relay.open(session, Loopback(), source.port(), kIoTimeoutMs), ClientStatus::kOk);
  }
  const long held = SettledSocketMemory(pid);
  const long copyDuring = CopyMicroseconds();
  const long residentKiB = ResidentKiB(pid);
  std::printf(
      "[ figures ] %d relays whose client never reads: daemon sockets hold %ld KiB (bound %ld), "
      "resident %ld -> %ld KiB; 1 MiB loopback copy %ld us before, %ld us during\n",
      kRelays, held >> 10, UserKernelBound(kRelays) >> 10, baselineKiB, residentKiB, copyBefore,
      copyDuring);
  EXPECT_GT(held, 0);
  EXPECT_LT(held, UserKernelBound(kRelays));
  EXPECT_TRUE(Served(daemon));

  // Once they close, the queues' memory goes back to the system (the address sanitizer's
  // allocator keeps freed memory in its quarantine instead).
  for (auto& relay : relays) relay.close();
#ifndef __SANITIZE_ADDRESS__
  EXPECT_TRUE(WaitUntil([&] { return ResidentKiB(pid) < baselineKiB + 16 * 1024; }, 20000))
      << "resident " << ResidentKiB(pid) << " KiB, baseline " << baselineKiB << " KiB";
#endif
}

// One user's 1,024 relays stalled both ways (the client reads nothing and sends without end,
// the destinations write without end and read nothing) pin no more than that user's bound in
// the daemon's kernel, and another user's 1 MiB still goes through. The host's TCP memory is
// printed before and during.
TEST(RelayMemoryTest, OneUsersStalledRelaysPinOnlyItsBudget) {
  constexpr int kRelays = 1024;
  if (RaiseDescriptorLimit(8192) < 4 * kRelays + 256) GTEST_SKIP() << "descriptor limit too low";
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  ASSERT_TRUE(daemon.addUser("bob", "good"));
  const pid_t pid = daemon.process().pid();
  FloodingDestination destination;
  LoopbackTcpServer echo(EchoHandler);
  SessionClient attacker, other;
  ASSERT_TRUE(LoggedIn(attacker, daemon, "alice", "secret"));
  ASSERT_TRUE(LoggedIn(other, daemon, "bob", "good"));
  const long pagesBefore = HostTcpMemoryPages();

  std::vector<DataConnection> relays;
  ASSERT_TRUE(StallRelays(attacker, destination.port(), kRelays, relays));
  const long held = SettledSocketMemory(pid);
  const long pagesDuring = HostTcpMemoryPages();
  EXPECT_TRUE(EchoesThrough(other, Loopback(), echo.port(), 1 << 20));
  std::printf(
      "[ figures ] %d relays stalled both ways: daemon sockets hold %ld KiB (bound %ld KiB); "
      "host TCP memory %ld -> %ld pages\n",
      kRelays, held >> 10, (UserKernelBound(kRelays) + kWideRelayKernelBound) >> 10, pagesBefore,
      pagesDuring);
  EXPECT_GT(held, 0);
  // And the two sessions' own connections.
  EXPECT_LT(held, UserKernelBound(kRelays) + kWideRelayKernelBound);
}

}  // namespace
}  // namespace tarvo::test
