#include "server/service/control/cluster_rate_share.h"

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "server/service/control/cluster_channels.h"
#include "server/service/policy/rate_share.h"

namespace tarvo {
namespace {

constexpr char kChannel[] = "tarvo_rate_use";

void Send(std::vector<UserShareReport> reports) {
  std::string payload;
  for (const UserShareReport& report : reports) {
    std::ostringstream line;
    line << EscapeClusterWord(report.user) << ' ' << report.down.bytes << ' '
         << (report.down.held ? 1 : 0) << ' ' << report.up.bytes << ' '
         << (report.up.held ? 1 : 0) << '\n';
    if (payload.size() + line.str().size() > kClusterPayloadBytes) {
      PublishOnCluster(kChannel, std::move(payload));
      payload.clear();
    }
    payload += line.str();
  }
  if (!payload.empty()) PublishOnCluster(kChannel, std::move(payload));
}

void TakeNote(const std::string& payload, std::int32_t sender) {
  std::vector<UserShareReport> reports;
  std::istringstream lines(payload);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string escaped;
    UserShareReport report;
    int downHeld = 0, upHeld = 0;
    if (!(fields >> escaped >> report.down.bytes >> downHeld >> report.up.bytes >> upHeld) ||
        report.down.bytes < 0 || report.up.bytes < 0 ||
        !UnescapeClusterWord(escaped, report.user)) {
      continue;
    }
    report.down.held = downHeld != 0;
    report.up.held = upHeld != 0;
    reports.push_back(std::move(report));
  }
  TakeRateReports(sender, reports);
}

}  // namespace

void ShareRateLimits() {
  RegisterClusterChannel(kChannel, TakeNote, [] { StartRateSharing(Send); });
}

}  // namespace tarvo
