// Which peers are load balancers that speak for their clients with a PROXY protocol v2
// header: the settings line [TrustedBalancers]. Network lock held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/service/net/network_loop.h"

namespace tarvo {

// address: the connection's peer, network order.
bool IsTrustedBalancer(std::uint32_t address) REQUIRES(NetworkLock);

// The networks of text ("10.0.0.5, 192.168.0.0/16"); entries that are not IPv4 networks are
// left out and named in why (empty when every entry is good).
struct BalancerNetworks {
  struct Network {
    std::uint32_t network;  // host order
    std::uint32_t mask;
  };
  std::vector<Network> networks;
  std::string why;
};
BalancerNetworks ParseBalancerNetworks(const std::string& text);

}  // namespace tarvo
