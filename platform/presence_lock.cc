#include "platform/presence_lock.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/home.h"
#include "platform/own_file.h"

namespace tarvo {

namespace {

// Rounds of open-and-lock lost to another daemon replacing the file at the same moment.
constexpr int kLockRounds = 8;

int LockNonBlocking(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the name path still leads to the file open on fd.
bool StillNamed(int fd, const std::string& path) {
  struct stat opened {
  }, named{};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && SameFile(opened, named);
}

void WriteProcessId(int fd) {
  // The process id is for people looking at the file; the lock is what counts.
  char text[32];
  int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] ssize_t written = ::pwrite(fd, text, static_cast<size_t>(length), 0);
  }
}

}  // namespace

PresenceLock::Result PresenceLock::acquire(std::string* error) {
  if (held()) return Result::Acquired;
  if (!RuntimeFilePath(kPresenceLockFileName, path_, error)) return Result::Failed;
  for (int round = 0; round < kLockRounds; ++round) {
    UniqueFd file = OpenOwnFile(path_, O_RDWR, kLockFileMode, error);
    if (!file) return Result::Failed;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
      if (error) *error = "cannot read " + path_ + ": " + std::strerror(errno);
      return Result::Failed;
    }
    // Whoever owns it may have left it open with a lock of their own, or may change it.
    if (status.st_uid != ::geteuid()) {
      if (error) {
        *error = path_ + " belongs to uid " + std::to_string(status.st_uid) +
                 ", not to the daemon's user (uid " + std::to_string(::geteuid()) + ")";
      }
      return Result::Failed;
    }
    if (LockNonBlocking(file.get(), LOCK_EX) == 0) {
      // Another daemon may have replaced the file between the open and the lock.
      if (!StillNamed(file.get(), path_)) continue;
      WriteProcessId(file.get());
      file_ = std::move(file);
      return Result::Acquired;
    }
    if (errno != EWOULDBLOCK) {
      if (error) *error = "cannot lock " + path_ + ": " + std::strerror(errno);
      return Result::Failed;
    }
    // A daemon holds the lock exclusively. Shared locks are consoles looking, or a process
    // that kept the file open to hold it: no daemon, so the file is replaced.
    if (LockNonBlocking(file.get(), LOCK_SH) != 0) {
      if (errno == EWOULDBLOCK) return Result::HeldByOther;
      if (error) *error = "cannot lock " + path_ + ": " + std::strerror(errno);
      return Result::Failed;
    }
    switch (replace(status, error)) {
      case Result::Acquired:
        return Result::Acquired;
      case Result::Failed:
        return Result::Failed;
      case Result::HeldByOther:
        continue;  // the name changed meanwhile: look again
    }
  }
  return Result::HeldByOther;
}

// The caller keeps the old file share-locked throughout, so no daemon can lock it
// exclusively meanwhile; the new file is locked before it takes the name, in one exchange.
// HeldByOther here means "the name changed under us, try again".
PresenceLock::Result PresenceLock::replace(const struct stat& old, std::string* error) {
  const std::string fresh = path_ + "." + std::to_string(::getpid());
  ::unlink(fresh.c_str());  // left by an earlier process of this id
  UniqueFd file = CreateOwnFile(fresh, O_RDWR, kLockFileMode, error);
  if (!file) return Result::Failed;
  if (LockNonBlocking(file.get(), LOCK_EX) != 0) {
    if (error) *error = "cannot lock " + fresh + ": " + std::strerror(errno);
    ::unlink(fresh.c_str());
    return Result::Failed;
  }
  if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) != 0) {
    // A file system without the exchange: a plain rename, which cannot tell what it replaced.
    if (errno == EINVAL && ::rename(fresh.c_str(), path_.c_str()) == 0) {
      WriteProcessId(file.get());
      file_ = std::move(file);
      return Result::Acquired;
    }
    if (error) *error = "cannot replace " + path_ + ": " + std::strerror(errno);
    ::unlink(fresh.c_str());
    return Result::Failed;
  }
  struct stat displaced {};
  if (::lstat(fresh.c_str(), &displaced) != 0 || !SameFile(displaced, old)) {
    // Someone else's file had taken the name: give it back.
    ::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE);
    ::unlink(fresh.c_str());
    return Result::HeldByOther;
  }
  ::unlink(fresh.c_str());
  WriteProcessId(file.get());
  file_ = std::move(file);
  return Result::Acquired;
}

void PresenceLock::shareWith(gid_t group) {
  if (!held()) return;
  if (::fchown(file_.get(), static_cast<uid_t>(-1), group) != 0) {
    // The file stays with this process's group; the daemon runs all the same.
  }
}

bool IsDaemonRunning() {
  std::string path;
  if (!RuntimeFilePath(kPresenceLockFileName, path)) return false;
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) return false;  // never created: no daemon has run here
  if (LockNonBlocking(file.get(), LOCK_SH) != 0) return errno == EWOULDBLOCK;
  ::flock(file.get(), LOCK_UN);
  return false;
}

}  // namespace tarvo
