#include "platform/fd.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

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

namespace {

// The soft open-file limit as last read; 0 before the first read.
std::atomic<long> openFileLimit{0};

long ReadOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<int>::max();
  }
  const long value = static_cast<long>(limit.rlim_cur);
  openFileLimit.store(value);
  return value;
}

}  // namespace

bool InDescriptorReserve(int fd) {
  long limit = openFileLimit.load();
  if (limit == 0) limit = ReadOpenFileLimit();
  return fd >= 0 && fd >= limit - kReservedDescriptors;
}

bool RaiseOpenFileLimit(std::string* error) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (error) *error = std::string("getrlimit(RLIMIT_NOFILE): ") + std::strerror(errno);
    return false;
  }
  if (limit.rlim_cur == limit.rlim_max) {
    ReadOpenFileLimit();
    return true;
  }
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (error) *error = std::string("setrlimit(RLIMIT_NOFILE): ") + std::strerror(errno);
    return false;
  }
  ReadOpenFileLimit();
  return true;
}

}  // namespace tarvo
