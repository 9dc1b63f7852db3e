#include "server/service/policy/own_listener.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <vector>

#include "server/service/net/socket.h"

namespace tarvo {

const TcpServerSocket* ServerListener = nullptr;
namespace {

// The IPv4 addresses of the host's interfaces, read afresh: addresses come and go while the
// daemon runs, and only relays to the daemon's own port ask. False when they cannot be read.
bool InterfaceAddresses(std::vector<std::uint32_t>& addresses) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  for (const ifaddrs* each = list; each != nullptr; each = each->ifa_next) {
    if (each->ifa_addr == nullptr || each->ifa_addr->sa_family != AF_INET) continue;
    addresses.push_back(reinterpret_cast<const sockaddr_in*>(each->ifa_addr)->sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return true;
}

// An address that reaches this host: 127.0.0.0/8, 0.0.0.0/8 (connect takes 0.0.0.0 for this
// host) and the addresses of its interfaces.
bool IsLocalAddress(std::uint32_t address, const std::vector<std::uint32_t>& interfaces) {
  const std::uint32_t first = ntohl(address) >> 24;
  if (first == 127 || first == 0) return true;
  return std::find(interfaces.begin(), interfaces.end(), address) != interfaces.end();
}

}  // namespace

bool IsOwnListener(std::uint32_t address, std::uint16_t port) {
  const std::uint16_t own = ServerListener != nullptr ? ServerListener->port() : 0;
  if (own == 0 || port != own) return false;
  std::vector<std::uint32_t> interfaces;
  // Interfaces that cannot be read could include this address: refused rather than let through.
  if (!InterfaceAddresses(interfaces)) return true;
  return IsLocalAddress(address, interfaces);
}

}  // namespace tarvo
