#include "server/service/policy/login_guard.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "server/common/session_protocol.h"
#include "server/common/user_name.h"
#include "server/service/base/diagnostics.h"

namespace tarvo {
namespace {

ThrottleFigures AddressFigures(ThrottleFigures figures) {
  figures.wrongProofs *= kAddressWrongProofsFactor;
  return figures;
}

long long Seconds(std::chrono::seconds s) { return static_cast<long long>(s.count()); }

}  // namespace

LoginGuard::LoginGuard(ThrottleFigures figures)
    : pairs_(figures), addresses_(AddressFigures(figures)) {}

LoginGuard::Verdict LoginGuard::admit(std::uint32_t address, std::string_view name,
                                      NetworkTime now) {
  if (!figures().enabled) return Verdict::kCheck;
  const std::string user = FoldUserName(name);
  Verdict verdict = addresses_.admit(address, now);
  if (verdict == Verdict::kCheck) verdict = pairs_.admit(ThrottleKey{address, user}, now);
  if (verdict == Verdict::kCheck && !proven(address, user)) {
    UserRate* rate = userRate(user, now, /*make=*/false);
    if (rate != nullptr && rate->tokens < 1) {
      verdict = Verdict::kRefuse;
      if (!rate->refusing) {
        rate->refusing = true;
        Diagnose("logins as %s are guessed faster than %g a second from addresses it never "
                 "logged in from: they are refused unchecked", user.c_str(),
                 kUserGuessesPerSecond);
      }
    }
  }
  return auditBudget(verdict, now);
}

void LoginGuard::noteWrongProof(std::uint32_t address, std::string_view name, NetworkTime now) {
  if (!figures().enabled) return;
  const std::string user = FoldUserName(name);
  addresses_.noteWrongProof(address, now);
  // Counted even where the user logged in before: a neighbour behind the owner's NAT is held
  // as any guesser is.
  pairs_.noteWrongProof(ThrottleKey{address, user}, now);
  if (!proven(address, user)) userRate(user, now, /*make=*/true)->tokens -= 1;
}

void LoginGuard::noteAccepted(std::uint32_t address, std::string_view name) {
  if (!figures().enabled) return;
  ThrottleKey key{address, FoldUserName(name)};
  if (auto found = proven_.find(key); found != proven_.end()) {
    provenOrder_.splice(provenOrder_.end(), provenOrder_, found->second);
    return;
  }
  if (proven_.size() >= kProvenPairs) {
    proven_.erase(provenOrder_.front());
    provenOrder_.pop_front();
  }
  provenOrder_.push_back(key);
  proven_.emplace(std::move(key), std::prev(provenOrder_.end()));
}

bool LoginGuard::admitDataConnection(std::uint32_t address, NetworkTime now) {
  return !figures().enabled || addresses_.admit(address, now) == Verdict::kCheck;
}

void LoginGuard::noteUnknownSession(std::uint32_t address, NetworkTime now) {
  if (figures().enabled) addresses_.noteWrongProof(address, now);
}

bool LoginGuard::proven(std::uint32_t address, const std::string& user) const {
  return proven_.contains(ThrottleKey{address, user});
}

LoginGuard::UserRate* LoginGuard::userRate(const std::string& user, NetworkTime now, bool make) {
  auto found = users_.find(user);
  if (found == users_.end()) {
    if (!make) return nullptr;
    if (users_.size() >= kThrottledUsers) {
      users_.erase(userOrder_.front());
      userOrder_.pop_front();
    }
    userOrder_.push_back(user);
    found = users_.emplace(user, UserRate{}).first;
    found->second.refilled = now;
    found->second.age = std::prev(userOrder_.end());
  } else if (make) {
    userOrder_.splice(userOrder_.end(), userOrder_, found->second.age);
  }
  UserRate& rate = found->second;
  const double elapsed = std::chrono::duration<double>(now - rate.refilled).count();
  rate.tokens = std::min(kUserGuessBurst, rate.tokens + elapsed * kUserGuessesPerSecond);
  rate.refilled = now;
  if (rate.tokens >= kUserGuessBurst) rate.refusing = false;
  return &rate;
}

LoginGuard::Verdict LoginGuard::auditBudget(Verdict verdict, NetworkTime now) {
  if (now - minuteStart_ >= std::chrono::minutes(1)) {
    if (unauditedThisMinute_ != 0) {
      Diagnose("%zu refused logins in the last minute were not written to the audit log",
               unauditedThisMinute_);
    }
    minuteStart_ = now;
    auditedThisMinute_ = 0;
    unauditedThisMinute_ = 0;
  }
  if (verdict == Verdict::kCheck) return verdict;
  if (verdict == Verdict::kRefuse && auditedThisMinute_ < kAuditedRefusalsPerMinute) {
    ++auditedThisMinute_;
    return verdict;
  }
  ++unauditedThisMinute_;
  return Verdict::kRefuseUnaudited;
}

namespace {
LoginGuard TheGuard;
WrongProofSink TheSink;
}  // namespace

void ConfigureLoginThrottle() {
  const char* text = std::getenv("TARVO_LOGIN_THROTTLE");
  if (text == nullptr || *text == '\0') return;
  if (auto figures = ParseThrottleFigures(text)) {
    TheGuard = LoginGuard(*figures);
    if (!figures->enabled) {
      Diagnose("login throttling is off (TARVO_LOGIN_THROTTLE)");
    } else {
      Diagnose("login throttling: %zu wrong passwords for one user within %lld s hold that "
               "user's logins from the address for %lld s",
               figures->wrongProofs, Seconds(figures->window), Seconds(figures->hold));
    }
    return;
  }
  const ThrottleFigures defaults;
  Diagnose("TARVO_LOGIN_THROTTLE is neither off nor COUNT,WINDOW,HOLD (such as 10,300,300); "
           "%zu wrong passwords for one user within %lld s hold that user's logins from the "
           "address for %lld s",
           defaults.wrongProofs, Seconds(defaults.window), Seconds(defaults.hold));
}

LoginGuard& DaemonLoginGuard() { return TheGuard; }

LoginThrottle::Verdict AdmitLogin(std::uint32_t peerAddress, std::string_view name) {
  return TheGuard.admit(peerAddress, name, NetworkNow());
}

void NoteWrongProof(std::uint32_t peerAddress, std::string_view name) {
  TheGuard.noteWrongProof(peerAddress, name, NetworkNow());
  if (TheSink) {
    const std::string user = FoldUserName(name);
    TheSink(peerAddress, &user);
  }
}

void NoteLoginAccepted(std::uint32_t peerAddress, std::string_view name) {
  TheGuard.noteAccepted(peerAddress, name);
}

bool AdmitDataConnection(std::uint32_t peerAddress) {
  return TheGuard.admitDataConnection(peerAddress, NetworkNow());
}

void NoteUnknownSession(std::uint32_t peerAddress) {
  TheGuard.noteUnknownSession(peerAddress, NetworkNow());
  if (TheSink) TheSink(peerAddress, nullptr);
}

void SetWrongProofSink(WrongProofSink sink) { TheSink = std::move(sink); }

void NoteRemoteWrongProofs(std::uint32_t address, const std::string* user, std::size_t count) {
  const NetworkTime now = NetworkNow();
  for (std::size_t i = 0; i < count; ++i) {
    if (user == nullptr) {
      TheGuard.noteUnknownSession(address, now);
    } else {
      TheGuard.noteWrongProof(address, *user, now);
    }
  }
}

}  // namespace tarvo
