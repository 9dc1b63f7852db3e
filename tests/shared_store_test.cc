// Several processes sharing one user store: counter additions from two processes at once lose
// nothing (SQLite file and PostgreSQL), the installer prepares a PostgreSQL database that the
// store and the daemon work with, and two daemons relaying for one user store all its traffic.
// The PostgreSQL cases start their own server on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "external/reader.h"
#include "server/service/base/settings.h"
#include "tests/install_layout.h"
#include "tests/loopback_servers.h"
#include "tests/postgres_cluster.h"

namespace tarvo::test {
namespace {

constexpr int kProcesses = 2;
constexpr int kRounds = 200;
constexpr std::int64_t kDelta = 1000;

// Each child process opens the store with env and adds kDelta kRounds times; the counters it
// sees must only grow. True when every child succeeded.
bool AddFromTwoProcesses(const EnvList& env, const char* name) {
  pid_t children[kProcesses];
  for (pid_t& child : children) {
    child = ::fork();
    if (child == 0) {
      for (const auto& [key, value] : env) ::setenv(key.c_str(), value.c_str(), 1);
      std::int64_t last = -1;
      for (int round = 0; round < kRounds; ++round) {
        std::int64_t counter = 0;
        if (!AddUserCount(name, kDelta, &counter) || counter <= last) ::_exit(1);
        last = counter;
      }
      ::_exit(0);
    }
    if (child < 0) return false;
  }
  bool ok = true;
  for (pid_t child : children) {
    int status = 0;
    ok = ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         ok;
  }
  return ok;
}

std::string ExpectedLine(const char* name, long long limit, long long counter) {
  return std::string(name) + "\tlimit=" + std::to_string(limit) +
         "\tcounter=" + std::to_string(counter) + "\n";
}

TEST(SharedStoreTest, TwoProcessesAddToOneSqliteCounterWithoutLoss) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  ASSERT_EQ(layout.tarvostore({"add", "carol", "pw", "0"}).status, 0);
  ASSERT_TRUE(AddFromTwoProcesses(layout.environment(), "CAROL"));
  EXPECT_EQ(layout.tarvostore({"list"}).out,
            ExpectedLine("carol", 0, kProcesses * kRounds * kDelta));
}

class PostgresStoreTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (PostgresCluster::BinaryDirectory().empty()) return;
    cluster_ = new PostgresCluster();
    started_ = cluster_->Start();
  }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }
  void SetUp() override {
    if (cluster_ == nullptr) GTEST_SKIP() << "PostgreSQL server binaries are not installed";
    ASSERT_TRUE(started_) << cluster_->error();
  }

  // The installer's data source on this server, as an administrator would ask for it.
  static void UsePostgres(InstallLayout& layout) {
    layout.setEnv("TARVO_ODBC_DRIVER", "PostgreSQL Unicode");
    layout.setEnv(
        "TARVO_ODBC_ATTRIBUTES",
        "Servername=127.0.0.1;Port=" + std::to_string(cluster_->port()) + ";Username=postgres");
  }

  static PostgresCluster* cluster_;
  static bool started_;
};

PostgresCluster* PostgresStoreTest::cluster_ = nullptr;
bool PostgresStoreTest::started_ = false;

TEST_F(PostgresStoreTest, InstallCreatesVpndbAndTheStoreAndDaemonUseIt) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  UsePostgres(layout);
  ProgramResult installed = layout.tarvoctl({"-install"});
  EXPECT_EQ(installed.out, "Installation completed.\n");
  EXPECT_EQ(installed.err, "");
  std::string odbcIni = ReadText(layout.odbcIniPath());
  EXPECT_NE(odbcIni.find("Driver=PostgreSQL Unicode\n"), std::string::npos);
  EXPECT_NE(odbcIni.find("Database=VPNdb\n"), std::string::npos);
  std::string databases;
  ASSERT_TRUE(cluster_->Psql("postgres", "SELECT datname FROM pg_database WHERE datname = 'VPNdb'",
                             &databases));
  EXPECT_EQ(databases, "VPNdb\n");

  // The store, through the data source, on the new database.
  ASSERT_EQ(layout.tarvostore({"add", "Dave", "pw", "777"}).status, 0);
  ASSERT_EQ(layout.tarvostore({"lock", "DAVE"}).status, 0);
  EXPECT_EQ(layout.tarvostore({"list"}).out, "Dave\tlimit=777\tcounter=0\tlocked\n");
  std::string rows;
  ASSERT_TRUE(cluster_->Psql("VPNdb", "SELECT user_name, user_locked FROM UsersTable", &rows));
  EXPECT_EQ(rows, "Dave|1\n");

  // Installing again keeps the users; the daemon opens the store and reports ready.
  EXPECT_EQ(layout.tarvoctl({"-install"}).out, "Installation completed.\n");
  EXPECT_EQ(layout.tarvostore({"list"}).out, "Dave\tlimit=777\tcounter=0\tlocked\n");
  TempDir home;
  DaemonProcess daemon(home.path());
  ASSERT_TRUE(daemon.writeSettings(FreeLoopbackPort()));
  daemon.setEnv("ODBCSYSINI", layout.root() + "/odbc");
  const std::string leakOptions = OdbcLeakOptions();
  daemon.setEnv("LSAN_OPTIONS", leakOptions.substr(leakOptions.find('=') + 1));
  ASSERT_TRUE(daemon.start());
  EXPECT_TRUE(daemon.waitReady()) << daemon.stderrText();
  EXPECT_EQ(daemon.stop(SIGTERM), 0) << daemon.stderrText();
}

TEST_F(PostgresStoreTest, TwoProcessesAddToOneCounterWithoutLoss) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  UsePostgres(layout);
  ASSERT_EQ(layout.tarvoctl({"-install"}).out, "Installation completed.\n");
  ASSERT_EQ(layout.tarvostore({"add", "erin", "pw", "0"}).status, 0);
  ASSERT_TRUE(AddFromTwoProcesses(layout.environment(), "Erin"));
  EXPECT_EQ(layout.tarvostore({"list"}).out,
            ExpectedLine("erin", 0, kProcesses * kRounds * kDelta));

  // The same store named by a connection string rather than the data source.
  EnvList direct = {{"TARVO_STORE", "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" +
                                        std::to_string(cluster_->port()) +
                                        ";Database=VPNdb;Uid=postgres;"}};
  ASSERT_TRUE(AddFromTwoProcesses(direct, "erin"));
  EXPECT_EQ(layout.tarvostore({"list"}).out,
            ExpectedLine("erin", 0, 2 * kProcesses * kRounds * kDelta));
}

constexpr int kIoTimeoutMs = 5000;

// Logs in on daemonPort, relays count pattern bytes to a sink through one data connection and
// waits until the sink has them all. Empty on success, else what failed.
std::string RelayToSink(client::SessionClient& session, client::DataConnection& relay,
                        std::uint16_t daemonPort, std::size_t count) {
  using client::ClientStatus;
  std::atomic<bool> release{true};
  std::atomic<std::size_t> received{0};
  std::atomic<bool> intact{true};
  LoopbackTcpServer sink(SinkHandler(release, received, intact));

  if (session.open("127.0.0.1", daemonPort, "2.0.5", kIoTimeoutMs) != ClientStatus::kOk) {
    return "no session";
  }
  if (session.login("Frank", "pw", kIoTimeoutMs).outcome != client::LoginOutcome::kAccepted) {
    return "login refused";
  }
  if (relay.open(session, ::inet_addr("127.0.0.1"), sink.port(), kIoTimeoutMs) !=
      ClientStatus::kOk) {
    return "no relay";
  }
  // Odd piece sizes, so records never line up with the daemon's reads.
  for (std::size_t at = 0; at < count;) {
    const std::size_t piece = std::min<std::size_t>(count - at, 70'001);
    std::vector<std::uint8_t> bytes(piece);
    for (std::size_t i = 0; i < piece; ++i) bytes[i] = PatternByte(at + i);
    if (relay.send(bytes, 10'000) != ClientStatus::kOk) {
      return "send failed at " + std::to_string(at);
    }
    at += piece;
  }
  // Everything the sink read went through the daemon's counting first.
  for (int waited = 0; received.load() < count && waited < 20'000; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (received.load() != count || !intact.load()) {
    return "sink got " + std::to_string(received.load()) + (intact.load() ? "" : ", altered");
  }
  return {};
}

// RelayToSink, then, once every other caller has got that far too, ends the session, so that the
// daemons store at about the same moment.
std::string RelayThenEndSession(std::uint16_t daemonPort, std::size_t count, std::latch& relayed) {
  client::SessionClient session;
  client::DataConnection relay;
  const std::string failure = RelayToSink(session, relay, daemonPort, count);
  relayed.arrive_and_wait();
  // The session's end stores what it counted.
  relay.close();
  session.close();
  return failure;
}

TEST_F(PostgresStoreTest, TwoDaemonsCountOneUsersTrafficWithoutLoss) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  UsePostgres(layout);
  ASSERT_EQ(layout.tarvoctl({"-install"}).out, "Installation completed.\n");
  ASSERT_EQ(layout.tarvostore({"add", "frank", "pw", "0"}).status, 0);

  const std::string store =
      "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(cluster_->port()) +
      ";Database=VPNdb;Uid=postgres;";
  const std::string leakOptions = OdbcLeakOptions();
  StoreDaemon first(store, leakOptions), second(store, leakOptions);
  ASSERT_TRUE(first.started()) << first.process().stderrText();
  ASSERT_TRUE(second.started()) << second.process().stderrText();

  // A relay counts the plaintext it carries each way; a sink sends nothing back, so each
  // daemon counts exactly what its client sent.
  constexpr std::size_t kBytes = 3 << 20;
  std::string firstResult, secondResult;
  std::latch relayed(2);
  std::thread other([&] { secondResult = RelayThenEndSession(second.port(), kBytes, relayed); });
  firstResult = RelayThenEndSession(first.port(), kBytes, relayed);
  other.join();
  EXPECT_EQ(firstResult, "");
  EXPECT_EQ(secondResult, "");

  const std::string expected = ExpectedLine("frank", 0, 2 * kBytes);
  std::string listed;
  for (int waited = 0; waited < 15'000; waited += 100) {
    listed = layout.tarvostore({"list"}).out;
    if (listed == expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(first.process().stop(SIGTERM), 0) << first.process().stderrText();
  EXPECT_EQ(second.process().stop(SIGTERM), 0) << second.process().stderrText();
}

}  // namespace
}  // namespace tarvo::test
