#include "platform/presence_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/home.h"

namespace tarvo {

namespace {

int LockNonBlocking(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

PresenceLock::Result PresenceLock::acquire(std::string* error) {
  if (held()) return Result::Acquired;
  if (!RuntimeFilePath(kPresenceLockFileName, path_, error)) return Result::Failed;
  UniqueFd file(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file) {
    if (error) *error = "cannot open " + path_ + ": " + std::strerror(errno);
    return Result::Failed;
  }
  if (LockNonBlocking(file.get(), LOCK_EX) != 0) {
    if (errno == EWOULDBLOCK) return Result::HeldByOther;
    if (error) *error = "cannot lock " + path_ + ": " + std::strerror(errno);
    return Result::Failed;
  }
  // The process id is for people looking at the file; the lock is what counts.
  char text[32];
  int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(file.get(), 0) == 0) {
    [[maybe_unused]] ssize_t written = ::pwrite(file.get(), text, static_cast<size_t>(length), 0);
  }
  file_ = std::move(file);
  return Result::Acquired;
}

bool IsDaemonRunning() {
  std::string path;
  if (!RuntimeFilePath(kPresenceLockFileName, path)) return false;
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return false;  // never created: no daemon has run here
  if (LockNonBlocking(file.get(), LOCK_SH) != 0) return errno == EWOULDBLOCK;
  ::flock(file.get(), LOCK_UN);
  return false;
}

}  // namespace tarvo
