// A session whose client never reads what its relays bring: the daemon's kernel buffers stay
// within the stated bound per relay, and its memory goes back to the system once the relays
// close. The copy between two other loopback programs is printed as a figure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/service/net/relay_io.h"
#include "tests/control_test_support.h"
#include "tests/daemon_probe.h"
#include "tests/loopback_servers.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::SessionClient;

[[maybe_unused]] const bool kQuarantineLimited = LimitSanitizerQuarantine();

// What a stalled relay may hold in the daemon's kernel: its destination's full receive buffer
// (booked at twice the value set), and toward the client what is not yet sent, one send past
// it, and the window the client last offered.
constexpr long kStalledRelayKernelBound = 2 * kRelayReceiveBuffer + kRelayUnsentLimit + (256 << 10);

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

// Bytes queued in the TCP sockets of process pid (received and not read, plus queued to
// send), as ss reports them.
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
  // Until the daemon's sockets stop filling: two readings a second apart that agree.
  long held = SocketMemory(pid);
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long now = SocketMemory(pid);
    if (now > 0 && now - held < held / 100) break;
    held = now;
  }
  held = SocketMemory(pid);
  const long copyDuring = CopyMicroseconds();
  const long residentKiB = ResidentKiB(pid);
  std::printf(
      "[ figures ] %d relays whose client never reads: daemon sockets hold %ld KiB (%ld KiB per "
      "relay, bound %ld), resident %ld -> %ld KiB; 1 MiB loopback copy %ld us before, %ld us "
      "during\n",
      kRelays, held >> 10, (held / kRelays) >> 10, kStalledRelayKernelBound >> 10, baselineKiB,
      residentKiB, copyBefore, copyDuring);
  EXPECT_GT(held, 0);
  EXPECT_LT(held, kRelays * kStalledRelayKernelBound);
  EXPECT_TRUE(Served(daemon));

  // Once they close, the queues' memory goes back to the system (the address sanitizer's
  // allocator keeps freed memory in its quarantine instead).
  for (auto& relay : relays) relay.close();
#ifndef __SANITIZE_ADDRESS__
  EXPECT_TRUE(WaitUntil([&] { return ResidentKiB(pid) < baselineKiB + 16 * 1024; }, 20000))
      << "resident " << ResidentKiB(pid) << " KiB, baseline " << baselineKiB << " KiB";
#endif
}

}  // namespace
}  // namespace tarvo::test
