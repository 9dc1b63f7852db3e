// Counting wrong login proofs: once one key (a client address, or an address and the user it
// guessed at) has sent a number of wrong proofs within a window, its logins are answered
// "invalid password" without being looked up or checked, for a hold time; then its count
// starts afresh. A good login does not clear the count. The daemon's rules (which keys, and
// what else) are in login_guard.h.
// The keys remembered are bounded; past the bound the one whose last wrong proof is oldest is
// forgotten first. Refusals while held are audited, up to a bound per hold: the rest
// are counted and told on stderr instead, so a client that keeps trying grows the audit file
// by a bounded amount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/service/net/network_loop.h"

namespace tarvo {

// What wrong proofs are counted for: an address (network order), and the folded user name
// guessed at, or none for the address as a whole.
struct ThrottleKey {
  std::uint32_t address = 0;
  std::string user;
  bool operator==(const ThrottleKey&) const = default;
};

struct ThrottleKeyHash {
  std::size_t operator()(const ThrottleKey& key) const {
    return std::hash<std::string>()(key.user) * 31 + key.address;
  }
};

struct ThrottleFigures {
  // A person who mistypes never sends ten wrong passwords in five minutes.
  std::size_t wrongProofs = 10;
  std::chrono::seconds window{300};
  std::chrono::seconds hold{300};
  std::size_t addresses = 4096;
  std::size_t auditedPerHold = 100;
  bool enabled = true;
};

// The figures of TARVO_LOGIN_THROTTLE: "off", or "COUNT,WINDOW,HOLD" (a count of wrong proofs,
// then seconds). Nothing when text is not one of these.
std::optional<ThrottleFigures> ParseThrottleFigures(std::string_view text);

class LoginThrottle {
 public:
  explicit LoginThrottle(ThrottleFigures figures = {}) : figures_(figures) {}

  enum class Verdict {
    kCheck,          // not held: look the user up and check the proof
    kRefuse,         // held: refuse unchecked and audit it
    kRefuseUnaudited,  // held, and this hold's audited refusals are used up
  };
  Verdict admit(const ThrottleKey& key, NetworkTime now);
  // A wrong proof for key. True when it starts a hold.
  bool noteWrongProof(const ThrottleKey& key, NetworkTime now);
  // The same for an address as a whole (network order).
  Verdict admit(std::uint32_t address, NetworkTime now) {
    return admit(ThrottleKey{address, {}}, now);
  }
  bool noteWrongProof(std::uint32_t address, NetworkTime now) {
    return noteWrongProof(ThrottleKey{address, {}}, now);
  }

  std::size_t remembered() const { return byAddress_.size(); }
  const ThrottleFigures& figures() const { return figures_; }

 private:
  struct Entry {
    std::vector<NetworkTime> wrong;  // the latest wrong proofs, oldest first, at most the count
    std::optional<NetworkTime> heldUntil;
    std::size_t refusedInHold = 0;
    std::list<ThrottleKey>::iterator age;  // its place in order_
  };
  using Entries = std::unordered_map<ThrottleKey, Entry, ThrottleKeyHash>;
  void forget(Entries::iterator entry);

  ThrottleFigures figures_;
  Entries byAddress_;
  std::list<ThrottleKey> order_;  // by last wrong proof, oldest first
};

// "192.0.2.5", or "alice from 192.0.2.5" for a key with a user.
std::string DescribeThrottleKey(const ThrottleKey& key);

}  // namespace tarvo
