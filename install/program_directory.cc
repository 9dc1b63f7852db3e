#include "install/program_directory.h"

#include <unistd.h>

namespace tarvo::install {

namespace {
constexpr std::size_t kMaxPathLength = 1023;
}

std::string CallingProgramDirectory() {
  char path[kMaxPathLength + 1];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  std::string directory(path, static_cast<std::size_t>(length));
  std::size_t slash = directory.rfind('/');
  if (slash == std::string::npos) return {};
  directory.resize(slash + 1);
  return directory;
}

}  // namespace tarvo::install
