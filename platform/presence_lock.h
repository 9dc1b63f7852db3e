// Proof that a daemon runs: a lock file in the runtime directory, held with flock for the
// daemon's whole life. The kernel drops the lock when the process ends, however it ends.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/fd.h"

namespace tarvo {

inline constexpr char kPresenceLockFileName[] = "tarvo-server.lock";

class PresenceLock {
 public:
  enum class Result { Acquired, HeldByOther, Failed };

  // Creates (if needed) and locks the lock file of the runtime directory. HeldByOther when
  // another daemon holds it; a file that others only hold shared locks on is replaced. Failed,
  // with the reason in *error, when the file cannot be made, is a symbolic link, or belongs to
  // another user.
  Result acquire(std::string* error = nullptr);
  // Gives the held file to group (mode 0640), so that its members' consoles can look at it.
  void shareWith(gid_t group);
  bool held() const { return file_.valid(); }
  const std::string& path() const { return path_; }

 private:
  Result replace(const struct stat& old, std::string* error);

  UniqueFd file_;
  std::string path_;
};

// For the consoles: true when a daemon holds the lock file of the runtime directory. Takes a
// shared lock for a moment; a daemon starting then replaces the file rather than give up.
bool IsDaemonRunning();

}  // namespace tarvo
