// Proof that a daemon runs: a lock file in the runtime directory, held with flock for the
// daemon's whole life. The kernel drops the lock when the process ends, however it ends.
#pragma once

#include <string>

#include "platform/fd.h"

namespace tarvo {

inline constexpr char kPresenceLockFileName[] = "tarvo-server.lock";

class PresenceLock {
 public:
  enum class Result { Acquired, HeldByOther, Failed };

  // Creates (if needed) and locks the lock file of the runtime directory. HeldByOther when
  // another process holds it; Failed, with the reason in *error, when the file cannot be made.
  Result acquire(std::string* error = nullptr);
  bool held() const { return file_.valid(); }
  const std::string& path() const { return path_; }

 private:
  UniqueFd file_;
  std::string path_;
};

// For the consoles: true when a daemon holds the lock file of the runtime directory.
bool IsDaemonRunning();

}  // namespace tarvo
