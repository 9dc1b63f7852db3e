#include "install/required_files.h"

#include <fcntl.h>
#include <unistd.h>

#include "install/operator_messages.h"

namespace tarvo::install {

bool CheckRequiredFiles(const std::string& directory) {
  std::string missing;
  for (const std::string& name : RequiredFileNames()) {
    int fd = ::open((directory + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
    } else {
      missing += '\n';
      missing += name;
    }
  }
  if (missing.empty()) return true;
  ShowError(kMissingFilesText + missing);
  return false;
}

}  // namespace tarvo::install
