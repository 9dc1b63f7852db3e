// How daemons sharing a user's speed limit split it: each computes its own part from its use
// and the others' reports, and the parts add up to the limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/service/policy/rate_share.h"

namespace tarvo {
namespace {

constexpr std::int64_t kLimit = 1'000'000;
constexpr std::int64_t kWhole = RateGate::kWholeShare;

// Every daemon's part as it computes it from the same reports.
std::vector<std::int64_t> Parts(const std::vector<ShareUse>& uses) {
  std::vector<std::int64_t> parts;
  for (std::size_t i = 0; i < uses.size(); ++i) {
    std::vector<ShareUse> others = uses;
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(i));
    parts.push_back(ShareOf(kLimit, uses[i], others));
  }
  return parts;
}

std::int64_t Sum(const std::vector<std::int64_t>& parts) {
  std::int64_t sum = 0;
  for (std::int64_t part : parts) sum += part;
  return sum;
}

TEST(RateShareTest, PartsFollowDemandAndAddUpToTheLimit) {
  const ShareUse held{kLimit / 2, true}, idle{}, light{kLimit / 10, false};
  // Alone, or with no limit: everything.
  EXPECT_EQ(ShareOf(kLimit, held, {}), kWhole);
  EXPECT_EQ(ShareOf(0, held, {held}), kWhole);
  // Two held back: half each.
  EXPECT_EQ(Parts({held, held}), (std::vector<std::int64_t>{kWhole / 2, kWhole / 2}));
  // One held, one light and one idle: the light one keeps room above its use, the idle one a
  // little to start with, the held one the rest.
  const std::vector<std::int64_t> mixed = Parts({held, light, idle});
  EXPECT_GT(mixed[1], kWhole / 10);
  EXPECT_LT(mixed[1], kWhole / 4);
  EXPECT_LT(mixed[2], kWhole / 10);
  EXPECT_GT(mixed[0], kWhole * 6 / 10);
  EXPECT_NEAR(static_cast<double>(Sum(mixed)), kWhole, kWhole / 1000.0);
  // Nobody held back: what nobody wants is shared too, so a growing daemon has room.
  const std::vector<std::int64_t> quiet = Parts({light, idle, idle});
  EXPECT_NEAR(static_cast<double>(Sum(quiet)), kWhole, kWhole / 1000.0);
  EXPECT_GT(quiet[2], kWhole / 5);
}

}  // namespace
}  // namespace tarvo
