#include "server/service/policy/access_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/fd.h"
#include "platform/home.h"
#include "server/service/base/diagnostics.h"
#include "server/service/policy/host_addresses.h"

namespace tarvo {
namespace {

constexpr std::chrono::seconds kLookInterval{1};

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The whole file, or false with the reason.
bool ReadWhole(int fd, std::string& text, std::string& reason) {
  char chunk[4096];
  while (true) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      reason = std::strerror(errno);
      return false;
    }
    if (got == 0) return true;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > kMaxAccessFileSize) {
      reason = "larger than " + std::to_string(kMaxAccessFileSize) + " bytes";
      return false;
    }
  }
}

}  // namespace

bool AccessFile::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

AccessFile::Identity AccessFile::IdentityOf(const struct stat& status) {
  return Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

void AccessFile::load(NetworkTime now) {
  lookedAt_ = now;
  read();
}

bool AccessFile::allows(std::uint32_t address, std::uint16_t port, NetworkTime now) {
  refreshIfChanged(now);
  switch (state_) {
    case State::kMissing:
      return true;
    case State::kUnreadable:
      return false;
    case State::kLoaded:
      return rules_.allows(address, port, HostAddresses());
  }
  return false;
}

void AccessFile::refreshIfChanged(NetworkTime now) {
  if (lookedAt_ && now - *lookedAt_ < kLookInterval) return;
  lookedAt_ = now;
  struct stat status {};
  if (::lstat(path_.c_str(), &status) != 0) {
    if (errno == ENOENT) {
      seen_.reset();
      enter(State::kMissing);
    } else if (state_ != State::kUnreadable) {
      enter(State::kUnreadable, std::strerror(errno));
    }
    return;
  }
  if (seen_ && *seen_ == IdentityOf(status)) return;
  read();
}

void AccessFile::read() {
  struct stat status {};
  if (::lstat(path_.c_str(), &status) != 0) {
    seen_.reset();
    if (errno == ENOENT) {
      enter(State::kMissing);
    } else {
      enter(State::kUnreadable, std::strerror(errno));
    }
    return;
  }
  seen_ = IdentityOf(status);
  if (S_ISLNK(status.st_mode)) {
    enter(State::kUnreadable, "it is a symbolic link, which is not followed");
    return;
  }
  // Non-blocking, so that a FIFO in the file's place cannot hold the network thread.
  int handle;
  do {
    handle = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (handle < 0 && errno == EINTR);
  UniqueFd file(handle);
  if (!file) {
    enter(State::kUnreadable, errno == ELOOP ? "it is a symbolic link, which is not followed"
                                             : std::strerror(errno));
    return;
  }
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    enter(State::kUnreadable, "it is not a regular file");
    return;
  }
  seen_ = IdentityOf(status);  // what was read, should the name have moved meanwhile
  std::string text;
  std::string reason;
  if (!ReadWhole(file.get(), text, reason)) {
    enter(State::kUnreadable, reason);
    return;
  }
  std::vector<AccessRuleError> errors;
  rules_ = AccessRules::Parse(text, errors);
  for (const AccessRuleError& error : errors) {
    Diagnose("%s line %zu: %s; the line is ignored", path_.c_str(), error.line,
             error.reason.c_str());
  }
  enter(State::kLoaded);
}

void AccessFile::enter(State state, const std::string& why) {
  const State before = state_;
  state_ = state;
  switch (state) {
    case State::kMissing:
      if (before != State::kMissing) {
        Diagnose("%s is gone: every destination is allowed", path_.c_str());
      }
      break;
    case State::kUnreadable:
      Diagnose("%s cannot be read (%s): every relay and datagram is refused until it can",
               path_.c_str(), why.c_str());
      break;
    case State::kLoaded:
      Diagnose("destination rules from %s: %zu in force", path_.c_str(), rules_.size());
      break;
  }
}

namespace {

std::unique_ptr<AccessFile>& TheAccessFile() {
  static std::unique_ptr<AccessFile> file;
  return file;
}

}  // namespace

void LoadAccessRules() {
  std::string path;
  std::string error;
  if (!HomeFilePath(kAccessFileName, path, &error)) {
    // The home path is too long for any file; the settings and logs fail the same way.
    Diagnose("destination rules: %s", error.c_str());
    return;
  }
  TheAccessFile() = std::make_unique<AccessFile>(path);
  TheAccessFile()->load(NetworkNow());
}

void ReloadAccessRules() {
  if (TheAccessFile() == nullptr) {
    LoadAccessRules();
  } else {
    TheAccessFile()->load(NetworkNow());
  }
}

bool DestinationAllowed(std::uint32_t address, std::uint16_t port) {
  AccessFile* file = TheAccessFile().get();
  return file == nullptr || file->allows(address, port, NetworkNow());
}

}  // namespace tarvo
