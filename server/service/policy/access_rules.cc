#include "server/service/policy/access_rules.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

namespace tarvo {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsSpace(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !IsSpace(line[at])) ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

// Decimal digits only, no sign, at most max; nothing else is a number here.
std::optional<std::uint32_t> Number(std::string_view text, std::uint32_t max) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

// Four decimal octets; host order.
std::optional<std::uint32_t> Address(std::string_view text) {
  std::uint32_t address = 0;
  for (int octet = 0; octet < 4; ++octet) {
    const std::size_t dot = octet < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const auto value = Number(text.substr(0, dot), 255);
    if (!value) return std::nullopt;
    address = (address << 8) | *value;
    text.remove_prefix(octet < 3 ? dot + 1 : dot);
  }
  return address;
}

// text in double quotes, for a reason. Built a character at a time: GCC 12 at -O3 warns
// falsely (-Wrestrict) about a literal put in front of a string.
std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  quoted.append(text);
  quoted.push_back('"');
  return quoted;
}

bool ParseNetwork(std::string_view text, AccessRule& rule, std::string& reason) {
  if (SameWord(text, "this-host")) {
    rule.thisHost = true;
    return true;
  }
  std::uint32_t bits = 32;
  if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
    const auto prefix = Number(text.substr(slash + 1), 32);
    if (!prefix) {
      reason = "the prefix length after '/' must be 0 to 32";
      return false;
    }
    bits = *prefix;
    text = text.substr(0, slash);
  }
  const auto address = Address(text);
  if (!address) {
    reason = Quoted(text).append(" is not an IPv4 address or this-host");
    return false;
  }
  rule.mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  // 10.1.2.3/8 means the network it lies in, as the administrator plainly meant.
  rule.network = *address & rule.mask;
  return true;
}

bool ParsePorts(std::string_view text, AccessRule& rule, std::string& reason) {
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    if (SameWord(item, "all")) {
      rule.ports.push_back(PortRange{});
    } else {
      const std::size_t dash = item.find('-');
      const auto first = Number(item.substr(0, dash), 65535);
      const auto last =
          dash == std::string_view::npos ? first : Number(item.substr(dash + 1), 65535);
      if (!first || !last || *first > *last) {
        reason =
            Quoted(item).append(" is not a port (0 to 65535), a range such as 8000-8099, or all");
        return false;
      }
      rule.ports.push_back(
          PortRange{static_cast<std::uint16_t>(*first), static_cast<std::uint16_t>(*last)});
    }
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// An empty result with no reason is a line without a rule (blank or a comment).
std::optional<AccessRule> ParseLine(std::string_view line, std::string& reason) {
  if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
  }
  const std::vector<std::string_view> words = Words(line);
  if (words.empty()) return std::nullopt;
  AccessRule rule;
  if (SameWord(words[0], "allow")) {
    rule.allow = true;
  } else if (SameWord(words[0], "deny")) {
    rule.allow = false;
  } else {
    reason = "a rule starts with allow or deny";
    return std::nullopt;
  }
  if (words.size() < 2) {
    reason = "a network is missing (such as 10.0.0.0/8, or 0.0.0.0/0 for every address)";
    return std::nullopt;
  }
  if (!ParseNetwork(words[1], rule, reason)) return std::nullopt;
  if (words.size() == 2) return rule;
  if (!SameWord(words[2], "port") && !SameWord(words[2], "ports")) {
    reason = "after the network only \"port\" and the ports may follow";
    return std::nullopt;
  }
  // "port 80, 443" reads as "port 80,443".
  std::string ports;
  for (std::size_t i = 3; i < words.size(); ++i) ports += words[i];
  if (ports.empty()) {
    reason = "the ports are missing after \"port\"";
    return std::nullopt;
  }
  if (!ParsePorts(ports, rule, reason)) return std::nullopt;
  return rule;
}

bool IsThisHost(std::uint32_t address, const std::vector<std::uint32_t>& hostAddresses) {
  const std::uint32_t first = address >> 24;
  return first == 0 || first == 127 ||
         std::binary_search(hostAddresses.begin(), hostAddresses.end(), address);
}

bool Matches(const AccessRule& rule, std::uint32_t address, std::uint16_t port,
             const std::vector<std::uint32_t>& hostAddresses) {
  if (rule.thisHost ? !IsThisHost(address, hostAddresses)
                    : (address & rule.mask) != rule.network) {
    return false;
  }
  if (rule.ports.empty()) return true;
  for (const PortRange& range : rule.ports) {
    if (port >= range.first && port <= range.last) return true;
  }
  return false;
}

}  // namespace

AccessRules AccessRules::Parse(std::string_view text, std::vector<AccessRuleError>& errors) {
  AccessRules rules;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    std::string reason;
    if (line.find('\0') != std::string_view::npos) {
      reason = "the line holds a NUL byte";
    } else if (auto rule = ParseLine(line, reason)) {
      rules.rules_.push_back(std::move(*rule));
      continue;
    }
    if (!reason.empty()) errors.push_back(AccessRuleError{number, std::move(reason)});
  }
  return rules;
}

bool AccessRules::allows(std::uint32_t address, std::uint16_t port,
                         const std::vector<std::uint32_t>& hostAddresses) const {
  const std::uint32_t host = ntohl(address);
  for (const AccessRule& rule : rules_) {
    if (Matches(rule, host, port, hostAddresses)) return rule.allow;
  }
  return true;
}

}  // namespace tarvo
