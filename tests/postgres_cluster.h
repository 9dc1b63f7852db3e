// A throw-away PostgreSQL server for tests: a new cluster in a temporary directory, trust
// authentication, listening on 127.0.0.1 only at a free port, stopped and removed at the end.
// Run as the "postgres" user when the tests run as root, as the server refuses root.
#pragma once

#include <memory>
#include <string>

#include "tests/daemon_process.h"

namespace tarvo::test {

class PostgresCluster {
 public:
  // The directory of initdb and pg_ctl of the newest installed server; empty when none is.
  static std::string BinaryDirectory();

  PostgresCluster() = default;
  ~PostgresCluster() { Stop(); }
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  // Creates and starts the cluster; false with error() describing what failed.
  bool Start();
  void Stop();
  // Starts a stopped cluster again with its data and port; false when it does not come up.
  bool Restart();

  int port() const { return port_; }
  const std::string& error() const { return error_; }
  // Runs one SQL command with psql as the superuser "postgres"; true on success.
  bool Psql(const std::string& database, const std::string& sql, std::string* output = nullptr);

 private:
  bool RunAsOwner(const std::vector<std::string>& argv, std::string* output = nullptr);
  bool Launch();

  std::unique_ptr<TempDir> dir_;
  std::string bin_;
  int port_ = 0;
  bool running_ = false;
  std::string error_;
};

}  // namespace tarvo::test
