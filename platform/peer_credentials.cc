#include "platform/peer_credentials.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59  // Linux 4.13; older C libraries lack the name
#endif

namespace tarvo {

bool ReadPeerCredentials(int socket, PeerCredentials& peer, std::string* error) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    if (error) *error = std::string("getsockopt(SO_PEERCRED): ") + std::strerror(errno);
    return false;
  }
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  peer.groups.assign(16, 0);
  for (;;) {
    length = static_cast<socklen_t>(peer.groups.size() * sizeof(gid_t));
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, peer.groups.data(), &length) == 0) {
      peer.groups.resize(length / sizeof(gid_t));
      return true;
    }
    // ERANGE reports the size needed in length.
    if (errno != ERANGE || length <= peer.groups.size() * sizeof(gid_t)) {
      if (error) *error = std::string("getsockopt(SO_PEERGROUPS): ") + std::strerror(errno);
      return false;
    }
    peer.groups.assign(length / sizeof(gid_t), 0);
  }
}

PortAccessRule PortAccessRule::ForControlPort(const std::string& groupName) {
  const uid_t self = ::geteuid();
  struct group buffer {};
  struct group* found = nullptr;
  std::vector<char> text(4096);
  int result;
  while ((result = ::getgrnam_r(groupName.c_str(), &buffer, text.data(), text.size(), &found)) ==
             ERANGE &&
         text.size() < (1u << 20)) {
    text.resize(text.size() * 2);
  }
  if (result != 0 || found == nullptr) return UserAndRoot(self);
  const gid_t admins = found->gr_gid;
  bool member = self == 0 || ::getegid() == admins;
  if (!member) {
    int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
      member = std::find(groups.begin(), groups.end(), admins) != groups.end();
    }
  }
  return member ? UserGroupAndRoot(self, admins) : UserAndRoot(self);
}

bool PortAccessRule::admits(const PeerCredentials& peer) const {
  if (peer.uid == 0 || peer.uid == user_) return true;
  if (!group_) return false;
  return peer.gid == *group_ ||
         std::find(peer.groups.begin(), peer.groups.end(), *group_) != peer.groups.end();
}

unsigned PortAccessRule::socketFileMode(uid_t creator) const {
  // Root counts as another user too: a daemon run as root by a unit that keeps only
  // CAP_NET_BIND_SERVICE is held to file modes like anyone else.
  if (user_ != creator) return 0666;
  return group_ ? 0660 : 0600;
}

}  // namespace tarvo
