#include "tests/postgres_cluster.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "tests/install_layout.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
}

std::string PostgresCluster::BinaryDirectory() {
  std::string best;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
    std::string bin = entry.path().string() + "/bin";
    if (fs::exists(bin + "/initdb") && fs::exists(bin + "/pg_ctl") && bin > best) best = bin;
  }
  return best;
}

bool PostgresCluster::RunAsOwner(const std::vector<std::string>& argv, std::string* output) {
  std::vector<std::string> command;
  if (::geteuid() == 0) command = {"/usr/sbin/runuser", "-u", "postgres", "--"};
  command.insert(command.end(), argv.begin(), argv.end());
  ProgramResult result = RunWithEnv(command, {{"LC_ALL", "C"}}, "/tmp");
  if (output != nullptr) *output = result.out;
  if (result.status != 0) error_ = argv[0] + ": " + result.err + result.out;
  return result.status == 0;
}

bool PostgresCluster::Start() {
  bin_ = BinaryDirectory();
  if (bin_.empty()) {
    error_ = "no PostgreSQL server installed";
    return false;
  }
  dir_ = std::make_unique<TempDir>();
  if (::geteuid() == 0) {
    passwd* owner = ::getpwnam("postgres");
    if (owner == nullptr || ::chown(dir_->path().c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      error_ = "cannot give the cluster directory to the postgres user";
      return false;
    }
  }
  const std::string data = dir_->path() + "/data";
  if (!RunAsOwner({bin_ + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "--no-sync",
                   "--no-locale", "-E", "UTF8"})) {
    return false;
  }
  port_ = FreeLoopbackPort();
  return Launch();
}

bool PostgresCluster::Restart() { return dir_ != nullptr && !running_ && Launch(); }

bool PostgresCluster::Launch() {
  const std::string data = dir_->path() + "/data";
  const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " +
                              dir_->path() + " -c fsync=off";
  running_ = RunAsOwner({bin_ + "/pg_ctl", "-D", data, "-l", dir_->path() + "/server.log", "-w",
                         "-t", "60", "-o", options, "start"});
  if (!running_) error_ += ReadText(dir_->path() + "/server.log");
  return running_;
}

void PostgresCluster::Stop() {
  if (!running_) return;
  RunAsOwner(
      {bin_ + "/pg_ctl", "-D", dir_->path() + "/data", "-m", "fast", "-w", "-t", "60", "stop"});
  running_ = false;
}

bool PostgresCluster::Psql(const std::string& database, const std::string& sql,
                           std::string* output) {
  ProgramResult result = RunWithEnv(
      {bin_ + "/psql", "-X", "-q", "-t", "-A", "-h", "127.0.0.1", "-p", std::to_string(port_), "-U",
       "postgres", "-d", database, "-v", "ON_ERROR_STOP=1", "-c", sql},
      {}, "/tmp");
  if (output != nullptr) *output = result.out;
  return result.status == 0;
}

}  // namespace tarvo::test
