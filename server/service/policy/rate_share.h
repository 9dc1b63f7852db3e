// A user's speed limit shared by the daemons of one store that hold the user's sessions.
// Every second while a limited user spends here (the first time a quarter second after a
// quiet spell), this daemon reports, per user and direction, what it let through in that
// second and whether its gate held a relay back; one report more, of nothing, when the user
// has gone quiet here. Each daemon keeps the others' latest reports
// (dropping those older than kReportAge) and sets its gate to its part of the limit:
// - a daemon whose gate held traffic back wants more than it had; one that did not wants what
//   it used, a quarter more, and a twentieth of the limit to grow into;
// - the limit is shared max-min fairly among what the daemons want (ShareOf), and what nobody
//   wants is shared equally, so the parts of all daemons add up to the limit.
// With no report from another daemon a gate has the whole limit, as on a daemon alone. Every
// daemon computes from reports up to a second old, so while demand moves the sum can be off
// for about a second (a daemon that starts spending begins at its small part: the sum stays
// about at the limit; one that stops gives its part back with its last report, or after
// kReportAge if it died). How reports travel is the owner's (control/cluster_rate_share.h).
// Network lock held for everything.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/service/net/network_loop.h"
#include "server/service/policy/rate_gate.h"

namespace tarvo {

inline constexpr std::chrono::milliseconds kShareInterval{1000};
// The first report after a quiet spell comes sooner, so that daemons that all start spending
// at once (each with the whole limit) settle their parts within about half a second.
inline constexpr std::chrono::milliseconds kFirstReport{250};
inline constexpr std::chrono::milliseconds kReportAge{3000};

// One daemon's last second for one user and direction: bytes per second let through, and
// whether its gate held traffic back.
struct ShareUse {
  std::int64_t bytes = 0;
  bool held = false;
  bool idle() const { return bytes == 0 && !held; }
};

// This daemon's part of limit (millionths), given its own use and the other daemons'.
std::int64_t ShareOf(std::int64_t limit, const ShareUse& mine, const std::vector<ShareUse>& others);

// One user's report: the folded name, toward the client and from it.
struct UserShareReport {
  std::string user;
  ShareUse down;
  ShareUse up;
};

// Turns sharing on: reports go to send, once a second while a limited user spends here.
void StartRateSharing(std::function<void(std::vector<UserShareReport>)> send);
// Another daemon's reports (sender: any id unique among the live daemons). Reports of users
// without limited gates here are not kept.
void TakeRateReports(std::int32_t sender, const std::vector<UserShareReport>& reports);
// The user (folded name) has limited gates here, or new limits on them: their parts from the
// reports held. Nothing before StartRateSharing.
void JoinRateShare(const std::string& user, RateGate& down, RateGate& up);
// The user's gates are unlimited or gone.
void LeaveRateShare(const std::string& user);

}  // namespace tarvo
