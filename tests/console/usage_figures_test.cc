// The Usage page's figures without widgets: the top users and the others' bar, the totals,
// the axis unit, the throughput history made from counter readings, and what the page takes
// from the daemon's figures.
#include "console/usage_figures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/rate_history.h"
#include "console/usage_metrics.h"

namespace tarvo {
namespace {

std::vector<std::string> Names(const std::vector<UserUsage>& users) {
  std::vector<std::string> names;
  for (const UserUsage& user : users) names.push_back(user.name);
  return names;
}

TEST(UsageBarsTest, TopTwentyByDownPlusUpAndTheRestSummedIntoOneBar) {
  std::vector<UserUsage> users;
  // user00 .. user24, each with more than the one before; user24 all upload.
  for (int i = 0; i < 25; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "user%02d", i);
    users.push_back({name, 1000 * (i + 1), 10 * i});
  }
  users.back() = {"user24", 0, 1'000'000};
  users.push_back({"idle", 0, 0});

  const UsageBars bars = GroupTopUsers(users);
  ASSERT_EQ(bars.top.size(), 20u);
  EXPECT_EQ(bars.top.front().name, "user24");
  EXPECT_EQ(bars.top[1].name, "user23");
  EXPECT_EQ(bars.top.back().name, "user05");
  for (std::size_t i = 1; i < bars.top.size(); ++i) {
    EXPECT_GT(bars.top[i - 1].both(), bars.top[i].both());
  }
  // user00..user04 (the idle user has no bar and is not among the others).
  EXPECT_EQ(bars.othersCount, 5u);
  EXPECT_EQ(bars.others.down, 1000 + 2000 + 3000 + 4000 + 5000);
  EXPECT_EQ(bars.others.up, 0 + 10 + 20 + 30 + 40);

  const UserUsage total = TotalUsage(users);
  std::int64_t shownUp = bars.others.up;
  for (const UserUsage& user : bars.top) shownUp += user.up;
  EXPECT_EQ(total.up, shownUp);
  EXPECT_EQ(total.down, 1000 * (24 * 25 / 2));
}

TEST(UsageBarsTest, FewUsersGetNoOthersBarAndTiesGoByName) {
  const UsageBars bars = GroupTopUsers({{"bob", 50, 50}, {"amy", 100, 0}, {"cy", 0, 0}});
  EXPECT_EQ(Names(bars.top), (std::vector<std::string>{"amy", "bob"}));
  EXPECT_EQ(bars.othersCount, 0u);
  EXPECT_EQ(bars.others.both(), 0);
  EXPECT_TRUE(GroupTopUsers({}).top.empty());

  const UsageBars two = GroupTopUsers({{"a", 3, 0}, {"b", 2, 0}, {"c", 1, 0}}, 2);
  EXPECT_EQ(Names(two.top), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(two.othersCount, 1u);
  EXPECT_EQ(two.others.down, 1);
}

TEST(ByteUnitTest, TheLargestBinaryUnitTheFigureReaches) {
  EXPECT_STREQ(ChooseByteUnit(0).name, "B");
  EXPECT_STREQ(ChooseByteUnit(1023).name, "B");
  EXPECT_STREQ(ChooseByteUnit(1024).name, "KB");
  EXPECT_EQ(ChooseByteUnit(1024).bytes, 1024);
  EXPECT_STREQ(ChooseByteUnit(3.0 * 1024 * 1024 - 1).name, "MB");
  EXPECT_STREQ(ChooseByteUnit(5.0 * (1LL << 30)).name, "GB");
  EXPECT_STREQ(ChooseByteUnit(1e18).name, "TB");

  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(300), "300 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KB");
  EXPECT_EQ(FormatBytes(1023 * 1024 + 1000), "1024 KB");
  EXPECT_EQ(FormatBytes(5LL << 30), "5 GB");
}

TEST(RateHistoryTest, EachReadingAfterTheFirstAddsTheRateSinceThePreviousOne) {
  RateHistory history;
  history.AddReading(10'000, 1'000, 500);
  EXPECT_TRUE(history.points().empty());
  history.AddReading(15'000, 11'000, 1'500);  // 10,000 and 1,000 bytes in 5 s
  ASSERT_EQ(history.points().size(), 1u);
  EXPECT_EQ(history.points()[0].atMs, 15'000);
  EXPECT_DOUBLE_EQ(history.points()[0].down, 2'000);
  EXPECT_DOUBLE_EQ(history.points()[0].up, 200);
  history.AddReading(17'500, 11'000, 1'500);
  ASSERT_EQ(history.points().size(), 2u);
  EXPECT_DOUBLE_EQ(history.points()[1].down, 0);
}

TEST(RateHistoryTest, ACounterThatWentDownIsARestartAndGivesNoPoint) {
  RateHistory history;
  history.AddReading(0, 50'000, 50'000);
  history.AddReading(5'000, 100'000, 60'000);
  history.AddReading(10'000, 2'000, 70'000);  // down restarted from 0
  ASSERT_EQ(history.points().size(), 1u);
  history.AddReading(15'000, 7'000, 70'500);  // measured from the restart's reading
  ASSERT_EQ(history.points().size(), 2u);
  EXPECT_DOUBLE_EQ(history.points()[1].down, 1'000);
  EXPECT_DOUBLE_EQ(history.points()[1].up, 100);
  for (const RatePoint& point : history.points()) {
    EXPECT_GE(point.down, 0);
    EXPECT_GE(point.up, 0);
  }

  // A reading that failed, or a clock set back: the next reading is only a base.
  history.Interrupt();
  history.AddReading(20'000, 8'000, 71'000);
  EXPECT_EQ(history.points().size(), 2u);
  history.AddReading(12'000, 9'000, 72'000);
  ASSERT_EQ(history.points().size(), 1u);  // the point at 15,000 is after it
  EXPECT_EQ(history.points().back().atMs, 5'000);
}

TEST(RateHistoryTest, KeepsOneHourOfPoints) {
  RateHistory history;
  constexpr std::int64_t kStep = 5'000;
  std::int64_t at = 0;
  for (int i = 0; i <= 2 * 720; ++i, at += kStep) history.AddReading(at, 1000.0 * i, 0);
  const std::int64_t last = at - kStep;
  ASSERT_FALSE(history.points().empty());
  EXPECT_EQ(history.points().back().atMs, last);
  EXPECT_EQ(history.points().front().atMs, last - RateHistory::kSpanMs);
  EXPECT_EQ(history.points().size(), 721u);
  EXPECT_DOUBLE_EQ(history.points().front().down, 200);
}

MetricsReading Reading(std::vector<MetricSample> samples) {
  MetricsReading reading;
  reading.samples = std::move(samples);
  return reading;
}

TEST(UsageMetricsTest, RelayedTotalsByDirectionAndWhyWhenOneIsMissing) {
  const MetricsReading reading = Reading({
      {"tarvo_relayed_bytes_total", {{"kind", "tcp"}, {"direction", "up"}}, 700},
      {"tarvo_relayed_bytes_total", {{"direction", "down"}}, 1.5e9},
      {"tarvo_sessions", {}, 2},
  });
  double down = -1;
  double up = -1;
  std::string error;
  ASSERT_TRUE(RelayedTotals(reading, down, up, &error));
  EXPECT_EQ(down, 1.5e9);
  EXPECT_EQ(up, 700);

  const MetricsReading onlyDown =
      Reading({{"tarvo_relayed_bytes_total", {{"direction", "down"}}, 1}});
  EXPECT_FALSE(RelayedTotals(onlyDown, down, up, &error));
  EXPECT_NE(error.find("tarvo_relayed_bytes_total"), std::string::npos);
}

TEST(UsageMetricsTest, StatusLineShowsTheSessionsAndRelaysTheDaemonServes) {
  EXPECT_EQ(ServiceStatusLine(Reading({
                {"tarvo_relays", {{"kind", "udp"}}, 0},
                {"tarvo_sessions", {}, 3},
                {"tarvo_relays", {{"kind", "tcp"}}, 12},
            })),
            "Sessions: 3   TCP relays: 12   UDP relays: 0");
  EXPECT_EQ(ServiceStatusLine(Reading({{"tarvo_relays", {{"kind", "tcp"}}, 1}})), "TCP relays: 1");
  EXPECT_EQ(ServiceStatusLine(Reading({})), "");
}

}  // namespace
}  // namespace tarvo
