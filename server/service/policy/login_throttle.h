// Login throttling: once one client address has sent a number of wrong login proofs within a
// window, its logins are answered "invalid password" without being looked up or checked, for
// a hold time; then its count starts afresh. A good login does not clear the count, or an
// attacker with one account of their own could wipe it between guesses at another's.
// The addresses remembered are bounded; past the bound the one whose last wrong proof is
// oldest is forgotten first. Refusals while held are audited, up to a bound per hold: the rest
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
  // address in network order.
  Verdict admit(std::uint32_t address, NetworkTime now);
  // A wrong proof from address. True when it starts a hold.
  bool noteWrongProof(std::uint32_t address, NetworkTime now);

  std::size_t remembered() const { return byAddress_.size(); }
  const ThrottleFigures& figures() const { return figures_; }

 private:
  struct Entry {
    std::vector<NetworkTime> wrong;  // the latest wrong proofs, oldest first, at most the count
    std::optional<NetworkTime> heldUntil;
    std::size_t refusedInHold = 0;
    std::list<std::uint32_t>::iterator age;  // its place in order_
  };
  void forget(std::unordered_map<std::uint32_t, Entry>::iterator entry);

  ThrottleFigures figures_;
  std::unordered_map<std::uint32_t, Entry> byAddress_;
  std::list<std::uint32_t> order_;  // by last wrong proof, oldest first
};

// The daemon's throttle, with the figures of TARVO_LOGIN_THROTTLE when it is set and valid
// (read once, at start; a bad value is told on stderr and the defaults stay). Network thread.
void ConfigureLoginThrottle();
LoginThrottle& DaemonLoginThrottle();

// What the session's login asks. peerAddress in network order.
LoginThrottle::Verdict AdmitLogin(std::uint32_t peerAddress);
void NoteWrongProof(std::uint32_t peerAddress);

}  // namespace tarvo
