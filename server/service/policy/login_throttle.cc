#include "server/service/policy/login_throttle.h"

#include <cstdlib>

#include "server/common/session_protocol.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/service_counters.h"

namespace tarvo {
namespace {

// Bounds that keep an entry small and the figures meaningful.
constexpr std::size_t kMostWrongProofs = 1000;
constexpr long long kMostSeconds = 7 * 24 * 3600;

std::optional<long long> Figure(std::string_view text, long long most) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > most) return std::nullopt;
  return value;
}

long long Seconds(std::chrono::seconds s) { return static_cast<long long>(s.count()); }

}  // namespace

std::optional<ThrottleFigures> ParseThrottleFigures(std::string_view text) {
  ThrottleFigures figures;
  if (text == "off") {
    figures.enabled = false;
    return figures;
  }
  std::optional<long long> parts[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = text.find(',');
    if ((i < 2) == (comma == std::string_view::npos)) return std::nullopt;
    parts[i] = Figure(text.substr(0, comma), i == 0 ? kMostWrongProofs : kMostSeconds);
    if (!parts[i]) return std::nullopt;
    text.remove_prefix(i < 2 ? comma + 1 : text.size());
  }
  figures.wrongProofs = static_cast<std::size_t>(*parts[0]);
  figures.window = std::chrono::seconds(*parts[1]);
  figures.hold = std::chrono::seconds(*parts[2]);
  return figures;
}

LoginThrottle::Verdict LoginThrottle::admit(const ThrottleKey& key, NetworkTime now) {
  if (!figures_.enabled) return Verdict::kCheck;
  auto found = byAddress_.find(key);
  if (found == byAddress_.end()) return Verdict::kCheck;
  Entry& entry = found->second;
  if (entry.heldUntil) {
    if (now < *entry.heldUntil) {
      ++entry.refusedInHold;
      if (entry.refusedInHold <= figures_.auditedPerHold) return Verdict::kRefuse;
      if (entry.refusedInHold == figures_.auditedPerHold + 1) {
        Diagnose("further refused logins of %s are not written to the audit log until its "
                 "hold ends", DescribeThrottleKey(key).c_str());
      }
      return Verdict::kRefuseUnaudited;
    }
    if (entry.refusedInHold > figures_.auditedPerHold) {
      Diagnose("the hold on %s has ended: %zu logins were refused, %zu of them not audited",
               DescribeThrottleKey(key).c_str(), entry.refusedInHold,
               entry.refusedInHold - figures_.auditedPerHold);
    }
    forget(found);  // the hold is over: the count starts afresh
    return Verdict::kCheck;
  }
  std::erase_if(entry.wrong, [&](NetworkTime at) { return now - at >= figures_.window; });
  if (entry.wrong.empty()) forget(found);
  return Verdict::kCheck;
}

bool LoginThrottle::noteWrongProof(const ThrottleKey& key, NetworkTime now) {
  if (!figures_.enabled) return false;
  auto found = byAddress_.find(key);
  if (found == byAddress_.end()) {
    if (byAddress_.size() >= figures_.addresses && !order_.empty()) {
      forget(byAddress_.find(order_.front()));
    }
    order_.push_back(key);
    found = byAddress_.emplace(key, Entry{{}, std::nullopt, 0, std::prev(order_.end())}).first;
  } else {
    order_.splice(order_.end(), order_, found->second.age);
  }
  Entry& entry = found->second;
  // A proof checked just before the hold began: the hold already stands.
  if (entry.heldUntil) return false;
  std::erase_if(entry.wrong, [&](NetworkTime at) { return now - at >= figures_.window; });
  entry.wrong.push_back(now);
  if (entry.wrong.size() < figures_.wrongProofs) return false;
  entry.wrong.clear();
  entry.wrong.shrink_to_fit();
  entry.heldUntil = now + figures_.hold;
  Counters().throttleHolds.fetch_add(1, std::memory_order_relaxed);
  entry.refusedInHold = 0;
  if (key.user.empty()) {
    Diagnose("%zu wrong passwords or unknown session ids from %s within %lld s: its logins and "
             "data connections are refused unchecked for %lld s",
             figures_.wrongProofs, FormatIPv4(key.address).c_str(),
             Seconds(figures_.window), Seconds(figures_.hold));
  } else {
    Diagnose("%zu wrong passwords from %s for %s within %lld s: its logins as %s are refused "
             "unchecked for %lld s", figures_.wrongProofs, FormatIPv4(key.address).c_str(),
             key.user.c_str(), Seconds(figures_.window), key.user.c_str(),
             Seconds(figures_.hold));
  }
  return true;
}

void LoginThrottle::forget(Entries::iterator entry) {
  order_.erase(entry->second.age);
  byAddress_.erase(entry);
}

std::string DescribeThrottleKey(const ThrottleKey& key) {
  if (key.user.empty()) return FormatIPv4(key.address);
  return key.user + " from " + FormatIPv4(key.address);
}

}  // namespace tarvo
