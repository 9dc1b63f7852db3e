#include "platform/own_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvo {
namespace {

void SetError(std::string* error, const std::string& what, const std::string& path) {
  const int saved = errno;
  if (error) {
    *error = errno == ELOOP ? path + " is a symbolic link; it is not followed"
                            : "cannot " + what + " " + path + ": " + std::strerror(errno);
  }
  errno = saved;
}

}  // namespace

UniqueFd CreateOwnFile(const std::string& path, int flags, mode_t mode, std::string* error) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  UniqueFd file(fd);
  if (!file) {
    SetError(error, "create", path);
    return file;
  }
  // The umask took bits away at creation; the mode is ours to choose.
  if (::fchmod(file.get(), mode) != 0) {
    SetError(error, "set the mode of", path);
    ::unlink(path.c_str());
    return {};
  }
  return file;
}

UniqueFd OpenOwnFile(const std::string& path, int flags, mode_t mode, std::string* error,
                     bool* created) {
  // Bounded: each round loses only to another process creating or removing the file.
  for (int round = 0; round < 8; ++round) {
    UniqueFd file = CreateOwnFile(path, flags, mode, error);
    if (file) {
      if (created) *created = true;
      return file;
    }
    if (errno != EEXIST) return {};
    // Non-blocking so that a FIFO put in the file's place cannot hold the open.
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    file.reset(fd);
    if (!file) {
      if (errno == ENOENT) continue;  // removed since: create it after all
      SetError(error, "open", path);
      return {};
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      if (error) *error = path + " is not a regular file";
      errno = EINVAL;
      return {};
    }
    if ((flags & O_NONBLOCK) == 0) {
      const int now = ::fcntl(file.get(), F_GETFL);
      if (now >= 0) ::fcntl(file.get(), F_SETFL, now & ~O_NONBLOCK);
    }
    CloseToOthers(file.get(), mode);
    if (created) *created = false;
    return file;
  }
  if (error) *error = "cannot open " + path + ": it keeps being created and removed";
  errno = EAGAIN;
  return {};
}

void CloseToOthers(int fd, mode_t mode) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid()) return;
  const mode_t now = status.st_mode & 07777;
  const mode_t kept = now & ~(S_IRWXO & ~mode);
  if (kept != now) ::fchmod(fd, kept);
}

}  // namespace tarvo
