#include "server/service/policy/rate_share.h"

#include <algorithm>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>

namespace tarvo {
namespace {

constexpr std::int64_t kWhole = RateGate::kWholeShare;

// What a daemon wants of limit, judged from its last second.
double Want(std::int64_t limit, const ShareUse& use) {
  if (use.held) return std::numeric_limits<double>::infinity();
  return static_cast<double>(use.bytes) * 1.25 + static_cast<double>(limit) / 20;
}

struct Report {
  ShareUse down;
  ShareUse up;
  NetworkTime at{};
};

// A user with limited gates here.
struct SharedUser {
  RateGate* down = nullptr;
  RateGate* up = nullptr;
  ShareUse lastDown;       // this daemon's last second
  ShareUse lastUp;
  bool reported = false;   // the last report here said the user spent
  std::map<std::int32_t, Report> others;
};

struct Sharing {
  std::function<void(std::vector<UserShareReport>)> send;
  std::unordered_map<std::string, SharedUser> users;
  NetworkTimer tick;
  NetworkTime measuredFrom{};
};

// Never destroyed: the loop may outlive main's statics.
Sharing* TheSharing = nullptr;

void Apply(SharedUser& user, NetworkTime now) {
  std::vector<ShareUse> downs, ups;
  for (auto it = user.others.begin(); it != user.others.end();) {
    if (now - it->second.at > kReportAge) {
      it = user.others.erase(it);
      continue;
    }
    downs.push_back(it->second.down);
    ups.push_back(it->second.up);
    ++it;
  }
  user.down->setShare(ShareOf(user.down->limit(), user.lastDown, downs));
  user.up->setShare(ShareOf(user.up->limit(), user.lastUp, ups));
}

ShareUse PerSecond(const RateGate::Use& use, std::int64_t elapsedMs) {
  return ShareUse{use.bytes * 1000 / std::max<std::int64_t>(elapsedMs, 1), use.held};
}

void Tick() {
  Sharing& sharing = *TheSharing;
  const NetworkTime now = NetworkNow();
  const std::int64_t elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - sharing.measuredFrom).count();
  sharing.measuredFrom = now;
  bool spent = false;
  std::vector<UserShareReport> reports;
  for (auto& [name, user] : sharing.users) {
    user.lastDown = PerSecond(user.down->takeUse(), elapsedMs);
    user.lastUp = PerSecond(user.up->takeUse(), elapsedMs);
    const bool spentHere = !user.lastDown.idle() || !user.lastUp.idle();
    // A user gone quiet is reported once more, so the others take its part back at once.
    if (spentHere || user.reported) reports.push_back({name, user.lastDown, user.lastUp});
    user.reported = spentHere;
    spent = spent || spentHere;
    Apply(user, now);
  }
  if (!reports.empty()) sharing.send(std::move(reports));
  if (spent) sharing.tick.arm(kShareInterval, Tick);
}

void OnGateActive() {
  if (TheSharing == nullptr || TheSharing->tick.armed()) return;
  TheSharing->measuredFrom = NetworkNow();
  TheSharing->tick.arm(kFirstReport, Tick);
}

}  // namespace

std::int64_t ShareOf(std::int64_t limit, const ShareUse& mine,
                     const std::vector<ShareUse>& others) {
  if (limit <= 0 || others.empty()) return kWhole;
  // Max-min fair: the smallest wants are met first while they fit an equal part of what is
  // left; what nobody wants is shared equally.
  std::vector<std::pair<double, bool>> wants{{Want(limit, mine), true}};
  for (const ShareUse& other : others) wants.emplace_back(Want(limit, other), false);
  std::sort(wants.begin(), wants.end());
  double left = static_cast<double>(limit);
  double given = 0;
  for (std::size_t i = 0; i < wants.size(); ++i) {
    const double part = std::min(wants[i].first, left / static_cast<double>(wants.size() - i));
    if (wants[i].second) given = part;
    left -= part;
  }
  given += left / static_cast<double>(wants.size());
  return std::clamp<std::int64_t>(
      static_cast<std::int64_t>(given / static_cast<double>(limit) * kWhole), 1, kWhole);
}

void StartRateSharing(std::function<void(std::vector<UserShareReport>)> send) {
  if (TheSharing == nullptr) TheSharing = new Sharing;
  TheSharing->send = std::move(send);
  RateGate::setOnActive(OnGateActive);
}

void TakeRateReports(std::int32_t sender, const std::vector<UserShareReport>& reports) {
  if (TheSharing == nullptr) return;
  const NetworkTime now = NetworkNow();
  for (const UserShareReport& report : reports) {
    auto found = TheSharing->users.find(report.user);
    if (found == TheSharing->users.end()) continue;
    SharedUser& user = found->second;
    if (report.down.idle() && report.up.idle()) {
      user.others.erase(sender);
    } else {
      user.others[sender] = Report{report.down, report.up, now};
    }
    Apply(user, now);
  }
}

void JoinRateShare(const std::string& user, RateGate& down, RateGate& up) {
  if (TheSharing == nullptr) return;
  SharedUser& shared = TheSharing->users[user];
  shared.down = &down;
  shared.up = &up;
  Apply(shared, NetworkNow());
}

void LeaveRateShare(const std::string& user) {
  if (TheSharing != nullptr) TheSharing->users.erase(user);
}

}  // namespace tarvo
