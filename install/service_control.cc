#include "install/service_control.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "install/admin_group.h"
#include "install/odbc_setup.h"
#include "install/program_directory.h"
#include "install/program_run.h"
#include "install/systemd_unit.h"

namespace tarvo::install {
namespace {

// Above the unit's TimeoutStartSec, so a start that systemd gives up on is seen as refused
// rather than cut short by us.
constexpr std::chrono::seconds kSystemctlTimeout{60};

bool Systemctl(const std::vector<std::string>& arguments) {
  const char* program = std::getenv(kSystemctlVariable);
  std::vector<std::string> command = {
      program != nullptr && *program != '\0' ? program : "systemctl", "--no-ask-password"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunProgram(command, kSystemctlTimeout);
}

bool UnitDirectoryWritable() {
  struct stat info {};
  std::string directory = UnitDirectory();
  return ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(directory.c_str(), W_OK) == 0;
}

}  // namespace

bool ServiceExists(const std::string& name) {
  struct stat info {};
  return UnitDirectoryWritable() && ::stat(UnitFilePath(name).c_str(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

bool StopService(const std::string& name) {
  return Systemctl({"stop", "--no-block", UnitName(name)});
}

bool StartInstalledService(const std::string& name) { return Systemctl({"start", UnitName(name)}); }

bool CreateInstalledService(const std::string& name, const std::string& programPath) {
  std::size_t slash = programPath.rfind('/');
  if (slash == std::string::npos || !UnitDirectoryWritable()) return false;
  std::string home = slash == 0 ? "/" : programPath.substr(0, slash);
  std::string unit = UnitText(name, programPath, home);
  if (unit.empty() || !EnsureAdminGroup() || !WriteFileAtomically(UnitFilePath(name), unit)) {
    return false;
  }
  Systemctl({"daemon-reload"});
  Systemctl({"enable", UnitName(name)});
  return true;
}

bool DeleteInstalledService(const std::string& name) {
  if (!UnitDirectoryWritable()) return false;
  bool deleted = false;
  if (ServiceExists(name)) {
    Systemctl({"disable", UnitName(name)});
    deleted = ::unlink(UnitFilePath(name).c_str()) == 0;
    Systemctl({"daemon-reload"});
  }
  SetUpDatabase(CallingProgramDirectory());
  return deleted;
}

bool SetServiceDescription(const std::string& name, const std::string& text) {
  std::string unit;
  if (!ReadWholeFile(UnitFilePath(name), unit) || !ReplaceDescription(unit, text) ||
      !WriteFileAtomically(UnitFilePath(name), unit)) {
    return false;
  }
  Systemctl({"daemon-reload"});
  return true;
}

}  // namespace tarvo::install
