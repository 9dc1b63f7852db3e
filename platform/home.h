// Where Tarvo's programs find their files: the home directory (settings, logs, the default
// user store) and the runtime directory (control ports, presence lock).
#pragma once

#include <string>

namespace tarvo {

// Longest file path any program builds (the original programs used 1024-character buffers;
// here the limit is checked instead of silently cutting the path).
inline constexpr std::size_t kMaxPathLength = 1023;

// Where the packaged service keeps its files: systemd's state and runtime directories.
inline constexpr char kPackagedHomeDirectory[] = "/var/lib/tarvo";
inline constexpr char kPackagedRuntimeDirectory[] = "/run/tarvo";

// The home and runtime directories of a program in executableDirectory when no variable names
// them: the packaged service's for programs in the system's program directories (/usr/bin,
// /usr/sbin, /bin, /sbin), else the directory itself (a self-contained directory).
struct DefaultDirectories {
  std::string home;
  std::string runtime;
};
DefaultDirectories DefaultDirectoriesFor(const std::string& executableDirectory);

// TARVO_HOME when set and not empty, else the default home of the running executable.
// Never ends with a '/' unless it is the root directory.
std::string HomeDirectory();

// TARVO_RUNTIME_DIR when set and not empty, else TARVO_HOME when set, else the default runtime
// directory of the running executable.
std::string RuntimeDirectory();

// Joins a directory and a file name. Returns false and describes the problem in *error when
// the result would be longer than kMaxPathLength or the name is empty or holds a '/'.
bool JoinPath(const std::string& directory, const std::string& fileName, std::string& path,
              std::string* error = nullptr);

// HomeDirectory() joined with fileName, checked as JoinPath does.
bool HomeFilePath(const std::string& fileName, std::string& path, std::string* error = nullptr);

// RuntimeDirectory() joined with fileName, checked as JoinPath does.
bool RuntimeFilePath(const std::string& fileName, std::string& path,
                     std::string* error = nullptr);

}  // namespace tarvo
