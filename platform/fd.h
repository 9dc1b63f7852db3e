// An owned file descriptor, and the descriptor-related process settings the daemon needs.
#pragma once

#include <string>
#include <utility>

namespace tarvo {

// The value that means "no descriptor": 0 is a valid one (stdin).
inline constexpr int kNoDescriptor = -1;

// Owns one descriptor and closes it when it goes; movable, not copyable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ != kNoDescriptor; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, kNoDescriptor); }
  // Closes the current descriptor (if any) and owns fd instead.
  void reset(int fd = kNoDescriptor);

 private:
  int fd_ = kNoDescriptor;
};

// Closes fd, ignoring EINTR (on Linux the descriptor is gone either way).
void CloseDescriptor(int fd);

// Switches fd to non-blocking mode; false when fcntl fails.
bool SetNonBlocking(int fd);

// Raises the soft RLIMIT_NOFILE to the hard limit. False (with the reason in *error) when the
// limit cannot be read or set; the process then runs with what it has.
bool RaiseOpenFileLimit(std::string* error = nullptr);

// The last kReservedDescriptors below the open-file limit are kept for what must not fail for
// want of one (the store's connections, the log files, the control channel, accepting): a
// client's connection or a relay's socket that gets one of them is closed at once. Linux
// hands out the lowest free number, so a number among them means that few are left.
inline constexpr int kReservedDescriptors = 64;
// The limit is read once (and again by RaiseOpenFileLimit).
bool InDescriptorReserve(int fd);

}  // namespace tarvo
