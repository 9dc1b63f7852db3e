// The IPv4 addresses of this host's interfaces, for the destination rules' "this-host". Read at
// start and again whenever the kernel announces an address added or removed (a netlink socket
// the network loop watches), so that a relay never reaches an address the host has just taken.
#pragma once

#include <cstdint>
#include <vector>

#include "server/service/net/network_loop.h"

namespace tarvo {

// Host order, sorted, without duplicates. Network lock held.
const std::vector<std::uint32_t>& HostAddresses() REQUIRES(NetworkLock);

// Reads the addresses now and keeps them current from then on. Without netlink (a restricted
// sandbox) the addresses read now stay, and the journal says so. Network lock held.
void WatchHostAddresses() REQUIRES(NetworkLock);

// Reads the interfaces' IPv4 addresses; false when they cannot be listed.
bool ReadHostAddresses(std::vector<std::uint32_t>& addresses);

}  // namespace tarvo
