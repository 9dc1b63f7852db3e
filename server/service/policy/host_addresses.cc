#include "server/service/policy/host_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/fd.h"
#include "server/service/base/diagnostics.h"
#include "server/service/net/socket.h"

namespace tarvo {

namespace {

std::vector<std::uint32_t>& Addresses() {
  static std::vector<std::uint32_t> addresses;
  return addresses;
}

void Reread() REQUIRES(NetworkLock) {
  std::vector<std::uint32_t> addresses;
  // A failed listing keeps what was known: forgetting the host's addresses would open them.
  if (ReadHostAddresses(addresses)) Addresses().swap(addresses);
}

// The kernel's notices of IPv4 addresses coming and going. Their content is not parsed: any
// notice means the list is read again, whole.
class AddressNotices final : public Socket {
 public:
  explicit AddressNotices(int handle) : Socket(handle, nullptr) {}

  bool wantRead() const REQUIRES(NetworkLock) override { return true; }
  bool wantWrite() const REQUIRES(NetworkLock) override { return false; }
  bool wantExcept() const REQUIRES(NetworkLock) override { return false; }
  bool onWrite() REQUIRES(NetworkLock) override { return true; }
  bool onExcept() REQUIRES(NetworkLock) override { return true; }
  bool onRead() REQUIRES(NetworkLock) override {
    char buffer[8192];
    for (;;) {
      const ssize_t received = ::recv(handle(), buffer, sizeof buffer, 0);
      // ENOBUFS: notices were lost, which is one more reason to read the list again.
      if (received > 0 || (received < 0 && (errno == EINTR || errno == ENOBUFS))) continue;
      break;
    }
    Reread();
    return true;
  }
};

int OpenNoticeSocket() {
  const int handle = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (handle < 0) return kNoHandle;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR;
  if (::bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    CloseDescriptor(handle);
    errno = error;
    return kNoHandle;
  }
  return handle;
}

}  // namespace

bool ReadHostAddresses(std::vector<std::uint32_t>& addresses) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  addresses.clear();
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    addresses.push_back(ntohl(address->sin_addr.s_addr));
  }
  ::freeifaddrs(list);
  std::sort(addresses.begin(), addresses.end());
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
  return true;
}

const std::vector<std::uint32_t>& HostAddresses() { return Addresses(); }

void WatchHostAddresses() {
  // Subscribed before the first reading, so that no change falls between the two.
  const int handle = OpenNoticeSocket();
  if (handle == kNoHandle) {
    Diagnose("this host's addresses are read once: no address notices from the kernel (%s)",
             std::strerror(errno));
  } else {
    new AddressNotices(handle);  // owned by the socket list
  }
  Reread();
}

}  // namespace tarvo
