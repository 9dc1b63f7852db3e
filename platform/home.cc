#include "platform/home.h"

#include <unistd.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace tarvo {
namespace {

// Drops trailing '/' characters but keeps a lone root "/".
std::string WithoutTrailingSlashes(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

std::string EnvironmentDirectory(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return {};
  return WithoutTrailingSlashes(value);
}

// The executable's full path as the kernel knows it; empty when it cannot be read.
std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    // The link may have been cut to fit: try again with room to spare.
    buffer.resize(buffer.size() * 2);
  }
}

// The directory of the running executable; "." when /proc cannot tell.
std::string ExecutableDirectory() {
  std::string executable = ExecutablePath();
  std::size_t slash = executable.rfind('/');
  if (slash == std::string::npos) return ".";  // no /proc: fall back to the working directory
  if (slash == 0) return "/";
  return executable.substr(0, slash);
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

DefaultDirectories DefaultDirectoriesFor(const std::string& executableDirectory) {
  // Programs there are shared by the whole system and cannot keep files beside them; the
  // packaged unit's StateDirectory= and RuntimeDirectory= are the daemon's directories.
  static const char* const kSystemProgramDirectories[] = {"/usr/bin", "/usr/sbin", "/bin", "/sbin"};
  for (const char* system : kSystemProgramDirectories) {
    if (executableDirectory == system) {
      return {kPackagedHomeDirectory, kPackagedRuntimeDirectory};
    }
  }
  return {executableDirectory, executableDirectory};
}

std::string HomeDirectory() {
  std::string home = EnvironmentDirectory("TARVO_HOME");
  if (!home.empty()) return home;
  return DefaultDirectoriesFor(ExecutableDirectory()).home;
}

std::string RuntimeDirectory() {
  std::string runtime = EnvironmentDirectory("TARVO_RUNTIME_DIR");
  if (!runtime.empty()) return runtime;
  // A home named by the variable holds its own ports, as it always has.
  std::string home = EnvironmentDirectory("TARVO_HOME");
  if (!home.empty()) return home;
  return DefaultDirectoriesFor(ExecutableDirectory()).runtime;
}

bool JoinPath(const std::string& directory, const std::string& fileName, std::string& path,
              std::string* error) {
  if (directory.empty()) {
    SetError(error, "cannot build the path of \"" + fileName + "\": the directory is empty");
    return false;
  }
  if (fileName.empty() || fileName == "." || fileName == ".." ||
      fileName.find('/') != std::string::npos || fileName.find('\0') != std::string::npos) {
    SetError(error, "invalid file name \"" + fileName + "\": it must be a plain, non-empty name");
    return false;
  }
  std::string joined = directory;
  if (joined.back() != '/') joined += '/';
  joined += fileName;
  if (joined.size() > kMaxPathLength) {
    SetError(error, "the path of \"" + fileName + "\" in \"" + directory + "\" would be " +
                        std::to_string(joined.size()) + " characters long; the limit is " +
                        std::to_string(kMaxPathLength));
    return false;
  }
  path = std::move(joined);
  return true;
}

bool HomeFilePath(const std::string& fileName, std::string& path, std::string* error) {
  return JoinPath(HomeDirectory(), fileName, path, error);
}

bool RuntimeFilePath(const std::string& fileName, std::string& path, std::string* error) {
  return JoinPath(RuntimeDirectory(), fileName, path, error);
}

}  // namespace tarvo
