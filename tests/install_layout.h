// A product directory for installer tests: copies of tarvoctl and the installer library beside
// the built daemon and user store, with the unit directory, the ODBC data-source files and the
// group files redirected into the same temporary tree, so the machine is never touched.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/service/base/settings.h"
#include "tests/daemon_process.h"

namespace tarvo::test {

struct ProgramResult {
  int status = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

class InstallLayout {
 public:
  // directoryName: the product directory's name under the temporary root.
  explicit InstallLayout(const std::string& directoryName = "tarvo");

  bool ready() const { return ready_; }
  const std::string& root() const { return root_.path(); }
  const std::string& bin() const { return bin_; }  // without the final '/'
  std::string unitPath() const;
  std::string odbcIniPath() const;
  std::string groupFilePath() const;
  // Extra environment for every program run here (driver choice, attributes).
  void setEnv(std::string name, std::string value) {
    env_.emplace_back(std::move(name), std::move(value));
  }

  // Runs the layout's tarvoctl / the built tarvostore (against the layout's home).
  ProgramResult tarvoctl(const std::vector<std::string>& arguments) const;
  ProgramResult tarvostore(const std::vector<std::string>& arguments) const;
  // The environment of both: every redirection set, the caller's Tarvo variables left out.
  EnvList environment() const;

 private:
  TempDir root_;
  std::string bin_;
  EnvList env_;
  bool ready_ = false;
};

// Runs argv with exactly env as its environment (plus PATH), output collected through files
// in scratch.
ProgramResult RunWithEnv(const std::vector<std::string>& argv, const EnvList& env,
                         const std::string& scratch);
// "LSAN_OPTIONS=..." for programs that open the store through an ODBC data source, whose
// drivers leak what they read for it.
std::string OdbcLeakOptions();
std::string ReadText(const std::string& path);
bool WriteText(const std::string& path, const std::string& text);

// A daemon with its own home and a free port, MultiConnect and the audit file on, whose store is the ODBC
// connection string store (a PostgreSQL server the test started).
class StoreDaemon {
 public:
  explicit StoreDaemon(const std::string& store, const std::string& leakOptions = OdbcLeakOptions());
  // With these settings instead (the port is chosen here).
  StoreDaemon(const std::string& store, ServerSettingsRecord settings,
              const std::string& leakOptions = OdbcLeakOptions());
  bool started() const { return started_; }
  std::uint16_t port() const { return static_cast<std::uint16_t>(port_); }
  DaemonProcess& process() { return process_; }

 private:
  TempDir home_;
  DaemonProcess process_;
  int port_ = 0;
  bool started_ = false;
};

}  // namespace tarvo::test
