// The running daemon's destination rules (access_rules.h): tarvo-access.conf in the home
// directory, read at start and again once it has changed, which is looked at no more than once
// a second, when a relay or datagram asks. No file: every destination is allowed. A file that
// is there but cannot be read (a symbolic link, which is not followed, something other than a
// regular file, no permission, too large) refuses every destination until it can be read:
// rules were meant, and allowing everything would be the wrong guess. Each reading reports its
// bad lines on stderr.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "server/service/policy/access_rules.h"
#include "server/service/net/network_loop.h"

namespace tarvo {

inline constexpr char kAccessFileName[] = "tarvo-access.conf";
// Larger than any list of rules a person writes; a bigger file is not read.
inline constexpr std::size_t kMaxAccessFileSize = 1 << 20;

class AccessFile {
 public:
  explicit AccessFile(std::string path) : path_(std::move(path)) {}

  // Reads the file now, whatever it was before.
  void load(NetworkTime now);
  // address in network order, port in host order; reads the file again first when it may
  // have changed.
  bool allows(std::uint32_t address, std::uint16_t port, NetworkTime now) REQUIRES(NetworkLock);

 private:
  enum class State { kMissing, kUnreadable, kLoaded };
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Identity& other) const;
  };
  static Identity IdentityOf(const struct stat& status);
  void refreshIfChanged(NetworkTime now);
  void read();
  void enter(State state, const std::string& why = {});

  std::string path_;
  State state_ = State::kMissing;
  std::optional<Identity> seen_;  // of the file last read, or nothing when it was missing
  AccessRules rules_;
  std::optional<NetworkTime> lookedAt_;
};

// The home directory's file, read now: at start, before the network thread runs.
void LoadAccessRules();
// Reads it again now, whether or not it looks changed (a reload).
void ReloadAccessRules() REQUIRES(NetworkLock);
// For a relay or datagram to address (network order) and port (host order). Network thread.
bool DestinationAllowed(std::uint32_t address, std::uint16_t port) REQUIRES(NetworkLock);

}  // namespace tarvo
