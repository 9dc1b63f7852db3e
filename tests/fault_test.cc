// Faults around the real daemon: the user store goes away and comes back, the audit file and
// the message file cannot be written, a destination that never reads, a console killed in the
// middle of a request. The daemon keeps running, keeps serving what does not depend on the
// fault, and recovers once the fault is gone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "external/reader.h"
#include "server/service/relay/tcp_relay.h"
#include "tests/control_test_support.h"
#include "tests/daemon_probe.h"
#include "tests/install_layout.h"
#include "tests/loopback_servers.h"
#include "tests/postgres_cluster.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::LoginOutcome;
using client::SessionClient;

const std::uint32_t kLoopback = ::inet_addr("127.0.0.1");
[[maybe_unused]] const bool kQuarantineLimited = LimitSanitizerQuarantine();

LoginOutcome TryLogin(std::uint16_t port, const std::string& name, const std::string& password) {
  SessionClient session;
  if (session.open("127.0.0.1", port, "2.0.5", kIoTimeoutMs) != ClientStatus::kOk) {
    return LoginOutcome::kFailed;
  }
  return session.login(name, password, kIoTimeoutMs).outcome;
}

bool Served(TestDaemon& daemon, const std::string& name, const std::string& password) {
  SessionClient session;
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  return LoggedIn(session, daemon, name, password) &&
         session.trafficInfo(limit, counter, kIoTimeoutMs) == ClientStatus::kOk;
}

std::size_t CountRows(const std::vector<std::string>& rows, const std::string& part) {
  return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const auto& row) {
    return row.find(part) != std::string::npos;
  }));
}

TEST(FaultTest, LoginsAreRefusedWhileTheStoreIsDownAndAcceptedOnceItIsBack) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  PostgresCluster cluster;
  ASSERT_TRUE(cluster.Start()) << cluster.error();
  ASSERT_TRUE(cluster.Psql("postgres", "CREATE DATABASE \"VPNdb\""));
  const std::string store =
      "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(cluster.port()) +
      ";Database=VPNdb;Username=postgres";
  // The user is made through the store library in a child process, on the same database (the
  // ODBC driver keeps allocations to the end of a process, which a child ends without a leak
  // report); its password in plain text, as a sealed one opens only with the daemon's key.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("TARVO_STORE", store.c_str(), 1);
    char password[kUserPasswordSize] = {};
    std::int64_t limit = 0;
    std::int64_t counter = 0;
    std::uint8_t locked = 0;
    const bool made = InitReader() && SetUserInfo("alice", "secret", 0, 0) &&
                      GetUserInfo("alice", password, &limit, &counter, &locked);
    ::_exit(made ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string rows;
  ASSERT_TRUE(cluster.Psql("VPNdb", "SELECT user_name FROM UsersTable", &rows));
  ASSERT_EQ(rows, "alice\n");

  TempDir home;
  DaemonProcess daemon(home.path());
  const int port = FreeLoopbackPort();
  ASSERT_TRUE(daemon.writeSettings(port));
  daemon.setEnv("TARVO_STORE", store);
  const std::string leakOptions = OdbcLeakOptions();
  daemon.setEnv("LSAN_OPTIONS", leakOptions.substr(leakOptions.find('=') + 1));
  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(daemon.waitReady()) << daemon.stderrText();
  const auto p = static_cast<std::uint16_t>(port);
  ASSERT_EQ(TryLogin(p, "alice", "secret"), LoginOutcome::kAccepted) << daemon.stderrText();

  cluster.Stop();
  // A store that cannot answer knows no user: each login is refused, none hangs the daemon.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(TryLogin(p, "alice", "secret"), LoginOutcome::kUnknownUser);
  EXPECT_TRUE(daemon.running());

  ASSERT_TRUE(cluster.Restart()) << cluster.error();
  EXPECT_TRUE(
      WaitUntil([&] { return TryLogin(p, "alice", "secret") == LoginOutcome::kAccepted; }, 30000));
  EXPECT_EQ(daemon.stop(SIGTERM), 0) << daemon.stderrText();
}

class DaemonFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.started());
    ASSERT_TRUE(daemon_.addUser("alice", "secret"));
    ASSERT_TRUE(daemon_.addUser("bob", "good"));
  }
  std::string homeFile(const char* name) const { return daemon_.home() + "/" + name; }

  TestDaemon daemon_{AuditedSettings(/*multiConnect=*/true)};
};

TEST_F(DaemonFaultTest, AnAuditFileThatCannotBeWrittenLosesRowsAndNothingElse) {
  LoopbackTcpServer echo(EchoHandler);
  ASSERT_TRUE(Served(daemon_, "alice", "secret"));
  ASSERT_TRUE(WaitUntil([&] { return CountRows(daemon_.auditRows(), "alice") >= 2; }));
  auto console = ConnectTo(daemon_);
  ASSERT_TRUE(console);
  const long baselineFds = OpenDescriptors(daemon_.process().pid());
  // Root writes into read-only directories, so the file's place is taken by a directory.
  const std::string audit = homeFile("vpn_log.csv");
  const std::string kept = homeFile("vpn_log.kept");
  ASSERT_EQ(std::rename(audit.c_str(), kept.c_str()), 0);
  ASSERT_EQ(::mkdir(audit.c_str(), 0700), 0);

  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon_, "bob", "good"));
  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  const std::vector<std::uint8_t> ping{9, 8, 7};
  ASSERT_EQ(relay.send(ping), ClientStatus::kOk);
  ByteBuffer back;
  for (int i = 0; i < 10 && back.size() < ping.size(); ++i) {
    if (relay.receive(back, kIoTimeoutMs) != ClientStatus::kOk) break;
  }
  EXPECT_EQ(back.size(), ping.size());
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  EXPECT_EQ(session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  relay.close();
  session.close();
  EXPECT_TRUE(daemon_.process().running());
  // bob's session has ended in the daemon (its close rows lost too) before the file returns:
  // the daemon writes a session's last rows before it leaves the session list.
  std::vector<UserInfo> sessions;
  ASSERT_TRUE(WaitUntil([&] { return console->CtlListSessions(sessions) == 0; }));
  const pid_t pid = daemon_.process().pid();
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(pid) <= baselineFds; }));

  // Once the file can be written again the rows go on; bob's were lost.
  ASSERT_EQ(::rmdir(audit.c_str()), 0);
  ASSERT_EQ(std::rename(kept.c_str(), audit.c_str()), 0);
  ASSERT_TRUE(Served(daemon_, "alice", "secret"));
  EXPECT_TRUE(WaitUntil([&] { return CountRows(daemon_.auditRows(), "alice") >= 3; }));
  EXPECT_EQ(CountRows(daemon_.auditRows(), "bob"), 0u);
}

TEST_F(DaemonFaultTest, AMessageFileThatCannotBeOpenedClosesOnlyTheSendingSession) {
  SessionClient sender;
  SessionClient bystander;
  ASSERT_TRUE(LoggedIn(sender, daemon_, "alice", "secret"));
  ASSERT_TRUE(LoggedIn(bystander, daemon_, "bob", "good"));
  const std::string messages = homeFile("messages.txt");
  ASSERT_EQ(::mkdir(messages.c_str(), 0700), 0);

  ASSERT_EQ(sender.sendTextMessage("hello"), ClientStatus::kOk);
  EXPECT_TRUE(ClosedByPeer(sender.socket()));
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  EXPECT_EQ(bystander.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);

  ASSERT_EQ(::rmdir(messages.c_str()), 0);
  ASSERT_EQ(bystander.sendTextMessage("after"), ClientStatus::kOk);
  EXPECT_TRUE(WaitUntil([&] { return daemon_.messageLines().size() == 1; }));
  EXPECT_EQ(bystander.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);

  // A symbolic link in the file's place is not followed: the file cannot be opened, and what
  // the link leads to stays as it was.
  const std::string target = homeFile("elsewhere.txt");
  { std::ofstream(target) << "untouched\n"; }
  ASSERT_EQ(::rename(messages.c_str(), (messages + ".old").c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), messages.c_str()), 0);
  ASSERT_EQ(bystander.sendTextMessage("through a link"), ClientStatus::kOk);
  EXPECT_TRUE(ClosedByPeer(bystander.socket()));
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            "untouched\n");
}

// Only a file that cannot be opened ends the session; a write the open file refuses loses the
// line. The answer to TrafficInfo comes after the message before it was handled.
TEST_F(DaemonFaultTest, AMessageTheOpenFileRefusesIsLostAndTheSessionGoesOn) {
  SessionClient sender;
  ASSERT_TRUE(LoggedIn(sender, daemon_, "alice", "secret"));
  const std::string messages = homeFile("messages.txt");
  std::int64_t limit = 0;
  std::int64_t counter = 0;

  // A file-size limit (as a full disk would): the write fails with EFBIG, and SIGXFSZ must not end
  // the daemon. The limit is well above the store's file, whose writes go on.
  constexpr rlim_t kFileLimit = 1 << 20;
  {
    std::ofstream filler(messages, std::ios::binary);
    filler << std::string(kFileLimit - 1, 'f') << '\n';
  }
  const pid_t pid = daemon_.process().pid();
  rlimit original{};
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, nullptr, &original), 0);
  const rlimit small{kFileLimit, original.rlim_max};
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &small, nullptr), 0);
  ASSERT_EQ(sender.sendTextMessage("lost at the size limit"), ClientStatus::kOk);
  EXPECT_EQ(sender.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &original, nullptr), 0);
  EXPECT_EQ(daemon_.messageLines().size(), 1u);

  ASSERT_EQ(sender.sendTextMessage("kept"), ClientStatus::kOk);
  EXPECT_EQ(sender.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  const auto lines = daemon_.messageLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(" :kept"), std::string::npos) << lines[1];
}

TEST_F(DaemonFaultTest, DestinationsThatNeverReadHoldMemoryAtTheQueueLimits) {
  std::atomic<bool> release{false};
  std::atomic<std::size_t> received{0};
  std::atomic<bool> intact{true};
  LoopbackTcpServer sink(SinkHandler(release, received, intact));
  const pid_t pid = daemon_.process().pid();
  const long baselineKiB = ResidentKiB(pid);

  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon_, "alice", "secret"));
  constexpr int kRelays = 16;
  std::vector<DataConnection> relays(kRelays);
  std::vector<std::size_t> sent(kRelays, 0);
  std::vector<std::uint8_t> piece(64 << 10);
  for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = PatternByte(i);
  for (int r = 0; r < kRelays; ++r) {
    ASSERT_EQ(relays[r].open(session, kLoopback, sink.port(), kIoTimeoutMs), ClientStatus::kOk);
  }
  // Each relay is pushed until a send waits a whole second; all at once, so that those
  // seconds overlap.
  constexpr std::size_t kMost = std::size_t{64} << 20;
  {
    std::vector<std::thread> pushers;
    for (int r = 0; r < kRelays; ++r) {
      pushers.emplace_back([&, r] {
        while (sent[r] < kMost && relays[r].send(piece, 1000) == ClientStatus::kOk) {
          sent[r] += piece.size();
        }
      });
    }
    for (auto& pusher : pushers) pusher.join();
  }
  for (int r = 0; r < kRelays; ++r) {
    ASSERT_LT(sent[r], kMost) << "relay " << r << " never pushed back";
  }
  // Kernel buffers take most of it; the daemon holds at most a queue per side.
  const long growth = ResidentKiB(pid) - baselineKiB;
  const long bound = kRelays * 2 * static_cast<long>(kRelayQueueMost / 1024 + 1) + 64 * 1024;
  std::printf(
      "[ figures ] %d relays to destinations that never read: daemon grew by %ld KiB "
      "(bound %ld KiB)\n",
      kRelays, growth, bound);
  EXPECT_LT(growth, bound);
  EXPECT_TRUE(Served(daemon_, "bob", "good"));
  for (auto& relay : relays) relay.close();
  session.close();
  release = true;
}

TEST_F(DaemonFaultTest, AConsoleKilledInTheMiddleOfRequestsLeavesTheDaemonServing) {
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      auto console = ConnectTo(daemon_);
      if (!console) ::_exit(1);
      const char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
      // Requests without end, until the parent kills this process in the middle of one.
      for (;;) {
        std::vector<UserInfo> users;
        console->CtlEnumUsers(users);
        console->CtlAttach();
      }
    }
    ::close(ready[1]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    // Another console is served (once the daemon has seen the dead one go), and so are
    // clients.
    std::unique_ptr<ControlClient> console;
    ASSERT_TRUE(WaitUntil([&] { return (console = ConnectTo(daemon_)) != nullptr; }))
        << "round " << round;
    std::vector<UserInfo> users;
    EXPECT_EQ(console->CtlEnumUsers(users), CTL_OK);
    EXPECT_EQ(users.size(), 2u);
    EXPECT_TRUE(Served(daemon_, "alice", "secret"));
  }
  EXPECT_TRUE(daemon_.process().running());
  EXPECT_EQ(daemon_.process().stop(SIGTERM), 0) << daemon_.process().stderrText();
}

}  // namespace
}  // namespace tarvo::test
