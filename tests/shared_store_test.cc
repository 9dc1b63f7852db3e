// Several processes sharing one user store: counter additions from two processes at once lose
// nothing (SQLite file and PostgreSQL), and the installer prepares a PostgreSQL database that
// the store and the daemon work with. The PostgreSQL cases start their own server on loopback.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "external/reader.h"
#include "tests/install_layout.h"
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

TEST_F(PostgresStoreTest, TwoDaemonsCountOneUsersTrafficWithoutLoss) {
  GTEST_SKIP() << "needs TCP relays in the daemon, which are not built yet: two daemons (two "
                  "homes, two ports) on this store, one user relaying through both, the stored "
                  "counter equal to the bytes relayed";
}

}  // namespace
}  // namespace tarvo::test
