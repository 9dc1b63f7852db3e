// Destination rules: which IPv4 networks and ports a session may relay to. The text is one rule
// a line, "allow" or "deny", a network (CIDR; a bare address is /32, "this-host" every address
// of this host) and optionally "port" with one port, a range, a comma-separated list of these,
// or "all"; "#" starts a comment.
// The first rule that matches decides; no match allows. No sockets here: the daemon's file
// handling is access_file.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

struct PortRange {
  std::uint16_t first = 0;
  std::uint16_t last = 65535;
};

struct AccessRule {
  bool allow = true;
  // Every address of this host, whatever network and mask say: 0.0.0.0/8 and 127.0.0.0/8
  // (both reach this host's listeners) and the addresses of its interfaces.
  bool thisHost = false;
  std::uint32_t network = 0;  // host order, host bits cleared
  std::uint32_t mask = 0;     // host order
  std::vector<PortRange> ports;  // empty: every port
};

// A line that is not a rule: its number (from 1) and what is wrong with it.
struct AccessRuleError {
  std::size_t line = 0;
  std::string reason;
};

class AccessRules {
 public:
  // Reads every line of text; bad lines are left out and described in errors.
  static AccessRules Parse(std::string_view text, std::vector<AccessRuleError>& errors);

  // address in network order, port in host order. hostAddresses: the addresses of this host's
  // interfaces (host order, sorted), which "this-host" stands for besides 0/8 and 127/8.
  bool allows(std::uint32_t address, std::uint16_t port,
              const std::vector<std::uint32_t>& hostAddresses = {}) const;
  std::size_t size() const { return rules_.size(); }
  // The network (host order) and mask of the first rule, when it names one.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> firstNetwork() const {
    if (rules_.empty() || rules_.front().thisHost) return std::nullopt;
    return std::make_pair(rules_.front().network, rules_.front().mask);
  }

 private:
  std::vector<AccessRule> rules_;
};

}  // namespace tarvo
