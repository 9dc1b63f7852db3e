#include "install/admin_group.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/program_run.h"
#include "install/systemd_unit.h"

namespace tarvo::install {
namespace {

constexpr std::chrono::seconds kGroupaddTimeout{30};

bool GroupInFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  bool found = false;
  while (const group* entry = ::fgetgrent(file)) {
    if (std::strcmp(entry->gr_name, kAdminGroup) == 0) {
      found = true;
      break;
    }
  }
  std::fclose(file);
  return found;
}

}  // namespace

bool EnsureAdminGroup() {
  const char* prefix = std::getenv(kGroupPrefixVariable);
  bool redirected = prefix != nullptr && *prefix != '\0';
  auto exists = [&] {
    return redirected ? GroupInFile(std::string(prefix) + "/etc/group")
                      : ::getgrnam(kAdminGroup) != nullptr;
  };
  if (exists()) return true;
  std::string groupadd =
      ::access("/usr/sbin/groupadd", X_OK) == 0 ? "/usr/sbin/groupadd" : "groupadd";
  std::vector<std::string> command = {groupadd, "--system"};
  if (redirected) {
    command.push_back("--prefix");
    command.push_back(prefix);
  }
  command.push_back(kAdminGroup);
  RunProgram(command, kGroupaddTimeout);
  // Another installer may have created it meanwhile; what counts is that it is there.
  return exists();
}

}  // namespace tarvo::install
