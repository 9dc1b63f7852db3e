#include "server/service/policy/trusted_balancers.h"

#include <arpa/inet.h>

#include <string_view>

#include "server/service/base/diagnostics.h"
#include "server/service/base/settings.h"
#include "server/service/policy/access_rules.h"

namespace tarvo {

BalancerNetworks ParseBalancerNetworks(const std::string& text) {
  BalancerNetworks parsed;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of(", \t");
    const std::string_view entry = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (entry.empty()) continue;
    // One destination rule's network reads an entry, so both take the same spellings.
    std::vector<AccessRuleError> errors;
    const AccessRules rule = AccessRules::Parse("allow " + std::string(entry), errors);
    const auto network = rule.firstNetwork();
    if (!errors.empty() || !network) {
      parsed.why += (parsed.why.empty() ? "" : "; ") + std::string(entry) + ": not an IPv4 network";
      continue;
    }
    parsed.networks.push_back({network->first, network->second});
  }
  return parsed;
}

bool IsTrustedBalancer(std::uint32_t address) {
  const std::string& text = ServerSettings.TrustedBalancers;
  if (text.empty()) return false;
  // Parsed again only when the line changed (a reload).
  static std::string parsedText;
  static BalancerNetworks parsed;
  if (text != parsedText) {
    parsedText = text;
    parsed = ParseBalancerNetworks(text);
    Diagnose("trusted balancers: %zu networks%s%s", parsed.networks.size(),
             parsed.why.empty() ? "" : "; left out: ", parsed.why.c_str());
  }
  const std::uint32_t host = ntohl(address);
  for (const auto& network : parsed.networks) {
    if ((host & network.mask) == network.network) return true;
  }
  return false;
}

}  // namespace tarvo
