// The daemon's rules against password guessing, on top of the wrong-proof counts of
// login_throttle.h. They slow guessers and leave honest neighbours alone:
// - Per address and user: COUNT wrong proofs (10) within WINDOW (300 s) hold that user's logins
//   from that address for HOLD (300 s). Other users behind the same address are not affected.
// - Per address as a whole: 30 times COUNT (300) within the window hold every login from it:
//   a rate that a NAT of many honest users does not reach (one mistake a second, sustained).
// - Per user, from any address: wrong proofs spend an allowance of kUserGuessesPerSecond a
//   second (kUserGuessBurst at most saved up); while it is spent, logins are refused unchecked.
//   Proofs checked at once may overdraw it, and the debt is paid before the next check, so in
//   the long run no more than that rate of guesses reaches the check, whatever the addresses.
//   Addresses the user logged in from before (the last kProvenPairs pairs of user and address)
//   are exempt from this rule alone, so the owner still gets in while their name is being
//   guessed; the per-address rules hold there as anywhere.
// - An unknown user name counts as a wrong proof, and a data connection that names an unknown
//   session id as a wrong proof for its address as a whole: an address held for that is held
//   for its data connections as well.
// Refused logins are audited as "invalid password": within a hold up to auditedPerHold (100)
// per key, and in all at most kAuditedRefusalsPerMinute a minute; the rest are counted on
// stderr. A throttled flood thus adds at most about 12 KB a minute to the audit file.
// Network thread; the figures are TARVO_LOGIN_THROTTLE's (COUNT,WINDOW,HOLD or off).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/service/net/network_loop.h"
#include "server/service/policy/login_throttle.h"

namespace tarvo {

inline constexpr std::size_t kAddressWrongProofsFactor = 30;
inline constexpr double kUserGuessesPerSecond = 10;
inline constexpr double kUserGuessBurst = 30;
inline constexpr std::size_t kThrottledUsers = 4096;
inline constexpr std::size_t kProvenPairs = 65536;
inline constexpr std::size_t kAuditedRefusalsPerMinute = 100;

class LoginGuard {
 public:
  explicit LoginGuard(ThrottleFigures figures = {});

  using Verdict = LoginThrottle::Verdict;
  // A login of name (as the client typed it) from address (network order).
  Verdict admit(std::uint32_t address, std::string_view name, NetworkTime now);
  // Its proof was wrong, or no such user exists.
  void noteWrongProof(std::uint32_t address, std::string_view name, NetworkTime now);
  // It logged in: the address is proven for the user.
  void noteAccepted(std::uint32_t address, std::string_view name);
  // A data connection from address: false while the address is held.
  bool admitDataConnection(std::uint32_t address, NetworkTime now);
  void noteUnknownSession(std::uint32_t address, NetworkTime now);

  const ThrottleFigures& figures() const { return pairs_.figures(); }

 private:
  // A user's allowance of wrong proofs from addresses it has not logged in from.
  struct UserRate {
    double tokens = kUserGuessBurst;
    NetworkTime refilled{};
    bool refusing = false;  // told on stderr once per spell
    std::list<std::string>::iterator age;
  };
  // The user's allowance brought up to now; nullptr when it has none (never guessed at).
  UserRate* userRate(const std::string& user, NetworkTime now, bool make);
  bool proven(std::uint32_t address, const std::string& user) const;
  Verdict auditBudget(Verdict verdict, NetworkTime now);

  LoginThrottle pairs_;
  LoginThrottle addresses_;
  std::unordered_map<std::string, UserRate> users_;
  std::list<std::string> userOrder_;  // least recently used first
  std::unordered_map<ThrottleKey, std::list<ThrottleKey>::iterator, ThrottleKeyHash> proven_;
  std::list<ThrottleKey> provenOrder_;  // least recently logged in first
  NetworkTime minuteStart_{};
  std::size_t auditedThisMinute_ = 0;
  std::size_t unauditedThisMinute_ = 0;
};

// The daemon's guard, with the figures of TARVO_LOGIN_THROTTLE when it is set and valid (read
// once, at start; a bad value is told on stderr and the defaults stay).
void ConfigureLoginThrottle();
LoginGuard& DaemonLoginGuard();

// What the session's login asks and tells. peerAddress in network order.
LoginThrottle::Verdict AdmitLogin(std::uint32_t peerAddress, std::string_view name);
void NoteWrongProof(std::uint32_t peerAddress, std::string_view name);
void NoteLoginAccepted(std::uint32_t peerAddress, std::string_view name);
bool AdmitDataConnection(std::uint32_t peerAddress);
void NoteUnknownSession(std::uint32_t peerAddress);

// Where the wrong proofs seen here go besides this daemon's guard (the other daemons of a
// shared store): the address, and the folded name guessed at, or nullptr for an unknown
// session id. Network lock held.
using WrongProofSink = std::function<void(std::uint32_t address, const std::string* user)>;
void SetWrongProofSink(WrongProofSink sink);
// Wrong proofs another daemon saw, counted here as if they had been seen here.
void NoteRemoteWrongProofs(std::uint32_t address, const std::string* user, std::size_t count);

}  // namespace tarvo
