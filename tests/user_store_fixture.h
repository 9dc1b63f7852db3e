// The user store tests' fixtures: a temporary home with the SQLite store and an empty user ODBC
// ini, a throw-away PostgreSQL cluster, and children forked to use the store afresh. The
// store's state is per process (InitReader once, first), so every test expects a process of
// its own, as CTest gives each discovered test; a second test in the same process is skipped.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/postgres_cluster.h"
#include "tests/raw_sql.h"

// The SQLite3 ODBC driver leaks what it reads of a data source's settings when it connects by
// DSN; that is not ours to fix. Full unwinding lets the suppression see the driver's frame.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libsqlite3odbc.so\n";
}
extern "C" __attribute__((used)) const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}

namespace tarvo::test {

inline bool gStoreUsedInThisProcess = false;

class UserStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (gStoreUsedInThisProcess) GTEST_SKIP() << "needs a process of its own (run under ctest)";
    gStoreUsedInThisProcess = true;
    char pattern[] = "/tmp/tarvo-userstore-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    setenv("TARVO_HOME", home_.c_str(), 1);
    unsetenv("TARVO_STORE");
    // Keep the user's own data sources out of the test: an empty user ODBC ini.
    odbcIni_ = home_ + "/odbc.ini";
    std::ofstream(odbcIni_).flush();
    setenv("ODBCINI", odbcIni_.c_str(), 1);
  }
  void TearDown() override {
    if (!home_.empty()) std::filesystem::remove_all(home_);
  }

  std::string DatabasePath() const { return home_ + "/VPNdb.sqlite3"; }
  std::string KeyPath() const { return home_ + "/tarvostore.key"; }

  // True when some file of the home directory (database, WAL, key...) holds text.
  bool HomeFilesContain(const std::string& text) const {
    for (const auto& entry : std::filesystem::directory_iterator(home_)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (bytes.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // Runs one SQL statement on the store's database file beside the library, as an intruder
  // with write access to the file would.
  void RawExecute(const std::string& sql) {
    EXPECT_EQ(tarvo::test::RunSqlOnFile(DatabasePath(), sql), "");
  }

  std::string home_;
  std::string odbcIni_;
};

// Runs body in a child process that has not touched the store; returns its exit status.
template <typename Body>
pid_t StartChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

inline int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A cluster with the database VPNdb, and TARVO_STORE naming it in children forked later.
class PostgresUserStoreTest : public UserStoreTest {
 protected:
  void SetUp() override {
    UserStoreTest::SetUp();
    if (IsSkipped()) return;
    if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
    ASSERT_TRUE(cluster_.Start()) << cluster_.error();
    ASSERT_TRUE(cluster_.Psql("postgres", "CREATE DATABASE \"VPNdb\""));
    setenv("TARVO_STORE",
           ("Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(cluster_.port()) +
            ";Database=VPNdb;Username=postgres")
               .c_str(),
           1);
  }

  // Runs body in a child process and expects it to pass there: the PostgreSQL driver keeps
  // allocations to the end of a process, which a child ends without a leak report.
  template <typename Body>
  void ExpectPassesInChild(Body body) {
    pid_t child = StartChild([&] {
      body();
      std::fflush(stdout);
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(WaitChild(child), 0);
  }

  std::string Query(const std::string& sql) {
    std::string output;
    EXPECT_TRUE(cluster_.Psql("VPNdb", sql, &output)) << sql;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
  }

  PostgresCluster cluster_;
};

}  // namespace tarvo::test
