#include "platform/fd.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvo {

void UniqueFd::reset(int fd) {
  int old = std::exchange(fd_, fd);
  if (old != kNoDescriptor) CloseDescriptor(old);
}

void CloseDescriptor(int fd) {
  // Linux releases the descriptor even when close reports EINTR: retrying could close a
  // descriptor another thread has just been given.
  if (fd != kNoDescriptor) ::close(fd);
}

bool SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  if (flags & O_NONBLOCK) return true;
  return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool RaiseOpenFileLimit(std::string* error) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (error) *error = std::string("getrlimit(RLIMIT_NOFILE): ") + std::strerror(errno);
    return false;
  }
  if (limit.rlim_cur == limit.rlim_max) return true;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (error) *error = std::string("setrlimit(RLIMIT_NOFILE): ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tarvo
