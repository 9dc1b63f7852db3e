// A soak of the real daemon: a couple of hundred clients log in, relay TCP and UDP to loopback
// echo servers, resolve "localhost", ask for TrafficInfo and disconnect at random (seeded), for
// TARVO_SOAK_SECONDS (default 60): a warm-up third, then two halves of the same load. A hundred
// idle sessions stay open throughout. No operation may fail; after each phase the daemon's
// descriptors are back where they started; its memory with the idle sessions grows by no more
// than 1 % from the first half to the second (10 % under the address sanitizer, whose allocator
// grows by itself); and it stops cleanly (under the sanitizers: no
// leak, no report).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/daemon_probe.h"
#include "tests/loopback_servers.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::LoginOutcome;
using client::ReceivedMessage;
using client::SessionClient;
using Clock = std::chrono::steady_clock;

const std::uint32_t kLoopback = ::inet_addr("127.0.0.1");
[[maybe_unused]] const bool kQuarantineLimited = LimitSanitizerQuarantine();
constexpr int kWorkers = 4;
constexpr int kClientsPerWorker = 50;
constexpr int kIdleSessions = 100;
constexpr int kUsers = 10;
constexpr auto kKeepAlive = std::chrono::seconds(10);

int SoakSeconds() {
  const char* text = std::getenv("TARVO_SOAK_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 60;
}

std::string UserName(unsigned i) { return "soak" + std::to_string(i % kUsers); }

// Reads messages until one of this type arrives (others, such as echoed datagrams, are
// dropped); false on time-out or error.
bool ReadUntil(SessionClient& session, std::uint32_t type, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int i = 0; i < 1000; ++i) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    ReceivedMessage message;
    if (session.readMessage(message, static_cast<int>(left)) != ClientStatus::kOk) return false;
    if (message.type == type) return true;
  }
  return false;
}

enum Kind { kLogin, kTcp, kUdp, kResolve, kTraffic, kKinds };
const char* const kKindNames[kKinds] = {"login", "tcp", "udp", "resolve", "traffic"};

struct Tally {
  // Counts a failure and keeps the first few reasons, for the report.
  void fail(Kind kind, std::string why) {
    ++failures;
    ++failuresOf[kind];
    std::lock_guard lock(mutex);
    if (reasons.size() < 10) reasons.push_back(std::string(kKindNames[kind]) + ": " + why);
  }

  std::atomic<long> operations{0};
  std::atomic<long> failures{0};
  std::atomic<long> failuresOf[kKinds] = {};
  std::mutex mutex;
  std::vector<std::string> reasons;
};

class Soak {
 public:
  Soak(const TestDaemon& daemon, std::uint16_t tcpEcho, std::uint16_t udpEcho)
      : daemon_(daemon), tcpEcho_(tcpEcho), udpEcho_(udpEcho) {}

  // Runs the workers until deadline; every client they opened is closed on return.
  void run(Clock::time_point deadline, unsigned seed) {
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.emplace_back([this, deadline, seed, w] { work(deadline, seed * 131 + w); });
    }
    for (auto& worker : workers) worker.join();
  }

  Tally tally;

 private:
  bool login(SessionClient& session, unsigned index) {
    session = SessionClient();
    return OpenSession(session, daemon_) &&
           session.login(UserName(index), "pw", kIoTimeoutMs).outcome == LoginOutcome::kAccepted;
  }

  // Empty when the relay echoed its bytes, else what went wrong.
  std::string relayTcp(SessionClient& session, std::mt19937& random,
                       std::vector<std::unique_ptr<DataConnection>>& leftOpen) {
    auto relay = std::make_unique<DataConnection>();
    ClientStatus status = relay->open(session, kLoopback, tcpEcho_, kIoTimeoutMs);
    if (status != ClientStatus::kOk) return std::string("open ") + client::ToString(status);
    std::vector<std::uint8_t> bytes(1 + random() % 16384);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(i);
    status = relay->send(bytes);
    if (status != ClientStatus::kOk) return std::string("send ") + client::ToString(status);
    ByteBuffer back;
    for (int i = 0; i < 100 && back.size() < bytes.size(); ++i) {
      status = relay->receive(back, kIoTimeoutMs);
      if (status != ClientStatus::kOk) {
        return std::string("receive ") + client::ToString(status) + " after " + std::to_string(back.size()) + " of " +
               std::to_string(bytes.size());
      }
    }
    if (back.size() != bytes.size() || !std::equal(bytes.begin(), bytes.end(), back.data())) {
      return "echo of " + std::to_string(bytes.size()) + " bytes came back as " +
             std::to_string(back.size());
    }
    // Now and then a relay is left open for the session's end to take down.
    if (random() % 8 == 0) leftOpen.push_back(std::move(relay));
    return "";
  }

  bool relayUdp(SessionClient& session, std::mt19937& random) {
    std::vector<std::uint8_t> datagram(1 + random() % 1200, 0x33);
    const std::uint32_t channel = 1 + random() % 4;
    return session.sendUdpData(kLoopback, udpEcho_, channel, datagram) == ClientStatus::kOk &&
           ReadUntil(session, MessageType::UdpData, kIoTimeoutMs);
  }

  bool resolve(SessionClient& session) {
    const std::vector<std::string> names{"localhost"};
    return session.sendResolve(names) == ClientStatus::kOk &&
           ReadUntil(session, MessageType::Resolve, 10000);
  }

  bool trafficInfo(SessionClient& session) {
    return session.sendMessage(MessageType::TrafficInfo) == ClientStatus::kOk &&
           ReadUntil(session, MessageType::TrafficInfo, kIoTimeoutMs);
  }

  void work(Clock::time_point deadline, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<SessionClient> clients(kClientsPerWorker);
    std::vector<std::vector<std::unique_ptr<DataConnection>>> leftOpen(kClientsPerWorker);
    // When each session last sent a session message: a session that only relays TCP sends
    // TrafficInfo every 10 s, as the real client's keep-alive does, or the idle rule ends it.
    std::vector<Clock::time_point> lastMessage(kClientsPerWorker);
    while (Clock::now() < deadline) {
      for (int i = 0; i < kClientsPerWorker && Clock::now() < deadline; ++i) {
        SessionClient& session = clients[i];
        std::string failed;
        bool ok = true;
        Kind kind = kLogin;
        if (!session.loggedIn() || !session.socket().valid()) {
          leftOpen[i].clear();
          ok = login(session, random());
          lastMessage[i] = Clock::now();
        } else if (Clock::now() - lastMessage[i] > kKeepAlive) {
          kind = kTraffic;
          ok = trafficInfo(session);
          lastMessage[i] = Clock::now();
        } else {
          const unsigned pick = random() % 100;
          if (pick >= 40 && pick < 90) lastMessage[i] = Clock::now();
          if (pick < 40) {
            kind = kTcp;
            failed = relayTcp(session, random, leftOpen[i]);
            ok = failed.empty();
          } else if (pick < 70) {
            kind = kUdp;
            ok = relayUdp(session, random);
          } else if (pick < 75) {
            kind = kResolve;
            ok = resolve(session);
          } else if (pick < 90) {
            kind = kTraffic;
            ok = trafficInfo(session);
          } else {
            session.close();  // disconnect, possibly with relays open
            leftOpen[i].clear();
          }
        }
        ++tally.operations;
        if (!ok) {
          tally.fail(kind, failed);
          session.close();
          leftOpen[i].clear();
        }
      }
    }
  }

  const TestDaemon& daemon_;
  std::uint16_t tcpEcho_;
  std::uint16_t udpEcho_;
};

TEST(SoakTest, ClientsComeAndGoWithoutLeaksOrGrowth) {
  RaiseDescriptorLimit(8192);
  TestDaemon daemon(AuditedSettings(/*multiConnect=*/true));
  ASSERT_TRUE(daemon.started());
  for (int u = 0; u < kUsers; ++u) ASSERT_TRUE(daemon.addUser(UserName(u), "pw"));
  const pid_t pid = daemon.process().pid();
  const long baselineFds = OpenDescriptors(pid);
  ASSERT_GT(baselineFds, 0);

  LoopbackTcpServer tcpEcho(EchoHandler);
  UdpEchoServer udpEcho;
  std::vector<SessionClient> idle(kIdleSessions);
  for (int i = 0; i < kIdleSessions; ++i) {
    ASSERT_TRUE(OpenSession(idle[i], daemon));
    ASSERT_EQ(idle[i].login(UserName(i), "pw", kIoTimeoutMs).outcome, LoginOutcome::kAccepted);
  }

  const int seconds = SoakSeconds();
  Soak soak(daemon, tcpEcho.port(), udpEcho.port());
  // A warm-up third brings the allocator's caches to their working size; then two halves of
  // the same load, memory measured after each.
  long checkpointKiB[3] = {0, 0, 0};
  for (int phase = 0; phase < 3; ++phase) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds / 3);
    // The same seed: the second half replays the first half's load.
    std::thread load([&] { soak.run(deadline, 20261207u); });
    // The idle sessions say something now and then so that the idle rule leaves them.
    while (Clock::now() < deadline) {
      for (auto& session : idle) {
        std::int64_t limit = 0;
        std::int64_t counter = 0;
        ASSERT_EQ(session.trafficInfo(limit, counter, 10000), ClientStatus::kOk);
      }
      const auto pause =
          std::min<Clock::duration>(std::chrono::seconds(10), deadline - Clock::now());
      if (pause > Clock::duration::zero()) std::this_thread::sleep_for(pause);
    }
    load.join();
    // Only the idle sessions remain.
    EXPECT_TRUE(
        WaitUntil([&] { return OpenDescriptors(pid) <= baselineFds + kIdleSessions + 2; }, 30000))
        << OpenDescriptors(pid) << " descriptors, " << baselineFds << " at start";
    checkpointKiB[phase] = ResidentKiB(pid);
  }
  const long operations = soak.tally.operations.load();
  const long failures = soak.tally.failures.load();
  std::printf(
      "[ figures ] soak of %d s: %ld operations, %ld failed; daemon %ld KiB after the warm-up, "
      "%ld KiB after the first half, %ld KiB after the second (%d idle sessions)\n",
      seconds, operations, failures, checkpointKiB[0], checkpointKiB[1], checkpointKiB[2],
      kIdleSessions);
  for (int k = 0; k < kKinds; ++k) {
    if (soak.tally.failuresOf[k] != 0) {
      std::printf("[ figures ] failed %s: %ld\n", kKindNames[k], soak.tally.failuresOf[k].load());
    }
  }
  for (const std::string& reason : soak.tally.reasons) std::printf("[ failure ] %s\n", reason.c_str());
  for (const std::string& row : daemon.auditRows()) {
    if (row.find("\"fail\"") != std::string::npos) std::printf("[ audit ] %s\n", row.c_str());
  }
  EXPECT_GT(operations, 1000);
  // Every operation is well-formed and every client behaves: none may fail.
  EXPECT_EQ(failures, 0);
  // The second half ran the same load as the first: memory with the same idle sessions grows
  // by no more than 1 %.
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer's allocator keeps growing its per-size caches for minutes whatever the
  // program does (about 2 % per minute of this load at first): here only a gross growth tells.
  constexpr long kMostGrowthPercent = 10;
#else
  constexpr long kMostGrowthPercent = 1;
#endif
  EXPECT_LE((checkpointKiB[2] - checkpointKiB[1]) * 100, checkpointKiB[1] * kMostGrowthPercent)
      << "memory grew from the first half to the second";

  idle.clear();
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(pid) <= baselineFds + 2; }, 30000));
  EXPECT_EQ(daemon.process().stop(SIGTERM, 60000), 0) << daemon.process().stderrText();
  const std::string errors = daemon.process().stderrText();
  for (const char* report : {"LeakSanitizer", "AddressSanitizer", "runtime error"}) {
    EXPECT_EQ(errors.find(report), std::string::npos) << errors;
  }
}

}  // namespace
}  // namespace tarvo::test
