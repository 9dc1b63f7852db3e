// Who is at the other end of a local socket, and the rule that says who may connect to a port.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// The group whose members may administer the daemon, where such a group exists.
inline constexpr char kDefaultAdminGroup[] = "tarvo";

// The peer's identity as the kernel recorded it when the connection was made.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

// Reads the peer's credentials of a connected local socket (SO_PEERCRED, SO_PEERGROUPS).
bool ReadPeerCredentials(int socket, PeerCredentials& peer, std::string* error = nullptr);

// Who may connect to a port: root always, one user, and optionally the members of one group.
// The port also sets its socket file's mode from the rule (see socketFileMode).
class PortAccessRule {
 public:
  // Root and the given user.
  static PortAccessRule UserAndRoot(uid_t user) { return PortAccessRule(user, std::nullopt); }
  // Root, the given user and the members of group (as primary or supplementary group).
  static PortAccessRule UserGroupAndRoot(uid_t user, gid_t group) {
    return PortAccessRule(user, group);
  }
  // The daemon's control port: root, this process's user, and the members of groupName when
  // that group exists and this process may give its socket to it (it is root or a member).
  static PortAccessRule ForControlPort(const std::string& groupName = kDefaultAdminGroup);

  bool admits(const PeerCredentials& peer) const;

  uid_t user() const { return user_; }
  std::optional<gid_t> group() const { return group_; }

  // Mode for the socket file of a port created by a process of effective user creator: 0666
  // when the rule admits a user other than the file's owner, root included (the credential
  // check at accept is then the gate); else 0660 given to the group, or 0600 without one.
  unsigned socketFileMode(uid_t creator) const;

 private:
  PortAccessRule(uid_t user, std::optional<gid_t> group) : user_(user), group_(group) {}

  uid_t user_;
  std::optional<gid_t> group_;
};

}  // namespace tarvo
