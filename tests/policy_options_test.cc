// Policy as administrators write it: rate units both ways, local dates across a clock change,
// and which period start a change leaves in the store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "admin/policy_options.h"

namespace tarvo::adm {
namespace {

// Local time with a clock change, so that midnights are not 86400 s apart everywhere.
class BerlinTime : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  void TearDown() override {
    ::unsetenv("TZ");
    ::tzset();
  }
  static std::int64_t At(const char* text) {
    std::int64_t at = -1;
    EXPECT_TRUE(ParseLocalTime(text, at)) << text;
    return at;
  }
};

TEST(RateUnits, BitsAndBytesWithDecimalAndBinaryPrefixes) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"20Mbit", 2500000},   {"20 Mbit/s", 2500000}, {"20Mbps", 2500000},
      {"20mbit", 2500000},   {"2.5MB/s", 2500000},   {"2.5 MBps", 2500000},
      {"512KiB/s", 524288},  {"1Gbps", 125000000},   {"1 GiB/s", 1073741824},
      {"8b", 1},             {"1500", 1500},         {"1500 B", 1500},
      {"3 bytes/s", 3},      {"0.5kB/s", 500},       {"1Kibit/s", 128},
      {"0", 0},              {"none", 0},            {"0 Mbit", 0},
      {"100 kbit/s", 12500}, {"1.25kbit", 156},  // 156.25 B/s rounds to the nearest byte
  };
  for (const auto& [text, bytes] : cases) {
    std::int64_t parsed = -1;
    EXPECT_TRUE(ParseRate(text, parsed)) << text;
    EXPECT_EQ(parsed, bytes) << text;
  }
  // A prefix alone could be bits or bytes; units that are not rates; below a byte a second;
  // past 64 bits; a number that is not one.
  for (const char* bad : {"20M", "20", "20 Mi", "5 XB/s", "1 bit", "-5MB/s", "1.2.3MB", "MB/s",
                          ".", "9999999999 TB/s", "20 Mbit/h", "ps", "20Mib/ss"}) {
    std::int64_t parsed = 0;
    if (std::string(bad) == "20") continue;  // a plain number is bytes per second
    EXPECT_FALSE(ParseRate(bad, parsed)) << bad << " gave " << parsed;
  }
}

TEST(RateUnits, PrintedBothWaysAndExactInBytes) {
  EXPECT_EQ(FormatRate(0), "none");
  EXPECT_EQ(FormatRate(2500000), "2.5 MB/s (20 Mbit/s)");
  EXPECT_EQ(FormatRate(625000), "625 kB/s (5 Mbit/s)");
  EXPECT_EQ(FormatRate(524288), "512 KiB/s (4.194 Mbit/s)");
  EXPECT_EQ(FormatRate(125000000), "125 MB/s (1 Gbit/s)");
  EXPECT_EQ(FormatRate(1), "1 B/s (8 bit/s)");
  EXPECT_EQ(FormatRate(1000001), "1000001 B/s (8 Mbit/s)");
  // Whatever is printed reads back as the same rate.
  const std::int64_t rates[] = {1, 999, 1000, 1024, 1536, 2500000, 524288, 1000001, 3LL << 30};
  for (std::int64_t rate : rates) {
    const std::string shown = FormatRate(rate);
    std::int64_t back = 0;
    ASSERT_TRUE(ParseRate(shown.substr(0, shown.find(" (")), back)) << shown;
    EXPECT_EQ(back, rate) << shown;
  }
}

TEST_F(BerlinTime, DatesAreLocalMidnightsAndImpossibleOnesAreRefused) {
  EXPECT_EQ(At("2027-06-30"), 1814306400);  // 22:00 UTC the day before, in summer time
  EXPECT_EQ(At("2027-01-15"), 1799967600);  // 23:00 UTC, in winter time
  EXPECT_EQ(At("2027-06-30 12:30"), 1814306400 + 12 * 3600 + 30 * 60);
  EXPECT_EQ(At("2027-06-30T12:30:15"), 1814306400 + 12 * 3600 + 30 * 60 + 15);
  EXPECT_EQ(At("@1814306400"), 1814306400);
  EXPECT_EQ(FormatLocalTime(1814306400), "2027-06-30 00:00:00 CEST");
  for (const char* bad : {"2027-02-30", "2027-13-01", "27-06-30", "2027/06/30", "2027-06-30 25:00",
                          "2027-06-30 12", "2027-06-30x", "@", "@-5", "tomorrow", ""}) {
    std::int64_t at = 0;
    EXPECT_FALSE(ParseLocalTime(bad, at)) << bad;
  }
  // The day of the spring clock change has 23 hours.
  const std::int64_t changeDay = At("2027-03-28 12:00");
  EXPECT_EQ(LocalMidnight(changeDay, 1) - LocalMidnight(changeDay), 23 * 3600);
  EXPECT_EQ(LocalMidnight(changeDay, -1), At("2027-03-27"));
}

TEST_F(BerlinTime, DefaultStartsAreMidnightTodayOnMondayOnTheFirst) {
  const std::int64_t now = At("2027-03-31 15:00");  // a Wednesday, after the clock change
  EXPECT_EQ(DefaultPeriodAnchor(POLICY_PERIOD_DAILY, now), At("2027-03-31"));
  EXPECT_EQ(DefaultPeriodAnchor(POLICY_PERIOD_WEEKLY, now), At("2027-03-29"));
  EXPECT_EQ(DefaultPeriodAnchor(POLICY_PERIOD_MONTHLY, now), At("2027-03-01"));
  EXPECT_EQ(DefaultPeriodAnchor(POLICY_PERIOD_WEEKLY, At("2027-04-04 23:59")), At("2027-03-29"));
  EXPECT_EQ(DefaultPeriodAnchor(POLICY_PERIOD_NONE, now), 0);
}

TEST_F(BerlinTime, OptionsAreCheckedAndClearedEachTheirOwnWay) {
  PolicyChange change;
  EXPECT_EQ(TakePolicyOption("--rate-down", "20Mbit", change), "");
  EXPECT_EQ(TakePolicyOption("--rate-up", "5Mbit", change), "");
  EXPECT_EQ(TakePolicyOption("--max-sessions", "2", change), "");
  EXPECT_EQ(TakePolicyOption("--expires", "2027-06-30", change), "");
  EXPECT_EQ(TakePolicyOption("--period", "Monthly", change), "");
  EXPECT_EQ(*change.rateDown, 2500000);
  EXPECT_EQ(*change.rateUp, 625000);
  EXPECT_EQ(*change.period, POLICY_PERIOD_MONTHLY);
  EXPECT_NE(TakePolicyOption("--period", "yearly", change), "");
  EXPECT_NE(TakePolicyOption("--max-sessions", "-1", change), "");
  EXPECT_NE(TakePolicyOption("--max-sessions", "99999999999", change), "");
  EXPECT_NE(TakePolicyOption("--expires", "soon", change), "");
  EXPECT_EQ(*change.maxSessions, 2);  // a refused value leaves the earlier one

  PolicyChange clear;
  for (const char* option : {"--rate-down", "--rate-up", "--max-sessions", "--expires"}) {
    EXPECT_EQ(TakePolicyOption(option, "none", clear), "") << option;
  }
  EXPECT_EQ(TakePolicyOption("--expires", "never", clear), "");
  EXPECT_EQ(TakePolicyOption("--period", "none", clear), "");
  EXPECT_EQ(TakePolicyOption("--protocol", "v1-only", clear), "bad protocol 'v1-only' (any, v2-only)");
  EXPECT_EQ(TakePolicyOption("--protocol", "any", clear), "");
  UserPolicy policy{625000, 125000, POLICY_PERIOD_DAILY, 3, At("2027-01-01"), At("2027-03-30"),
                    At("2027-06-30"), 10, 20, POLICY_PROTOCOL_V2_ONLY};
  ASSERT_EQ(ApplyPolicyChange(clear, At("2027-03-31 15:00"), policy), "");
  EXPECT_EQ(policy.rateDown, 0);
  EXPECT_EQ(policy.rateUp, 0);
  EXPECT_EQ(policy.maxSessions, 0);
  EXPECT_EQ(policy.expires, 0);
  EXPECT_EQ(policy.protocol, POLICY_PROTOCOL_ANY);
  EXPECT_EQ(policy.period, POLICY_PERIOD_NONE);
  EXPECT_EQ(policy.periodAnchor, 0);
  EXPECT_EQ(policy.periodStart, 0);

  // A start needs a period.
  PolicyChange startOnly;
  ASSERT_EQ(TakePolicyOption("--period-from", "2027-01-15", startOnly), "");
  EXPECT_NE(ApplyPolicyChange(startOnly, At("2027-03-31 15:00"), policy), "");
}

// The period start in the store tells the daemons whether a reset is due: a change of period
// begins the current one without a reset, and any other change keeps the stored start, even an
// overdue one (writing the current start would skip that reset; an older one would repeat it).
TEST_F(BerlinTime, PeriodStartMovesOnlyWhenPeriodOrItsStartChange) {
  const std::int64_t now = At("2027-03-31 15:00");
  UserPolicy policy{};
  PolicyChange monthly;
  monthly.period = POLICY_PERIOD_MONTHLY;
  ASSERT_EQ(ApplyPolicyChange(monthly, now, policy), "");
  EXPECT_EQ(policy.periodAnchor, At("2027-03-01"));
  EXPECT_EQ(policy.periodStart, At("2027-03-01"));

  UserPolicy overdue = policy;
  overdue.periodStart = At("2027-02-01");  // no daemon has begun March yet
  PolicyChange rate;
  rate.rateUp = 1000;
  UserPolicy changed = overdue;
  ASSERT_EQ(ApplyPolicyChange(rate, now, changed), "");
  EXPECT_EQ(changed.periodStart, At("2027-02-01"));
  // Asking for the same period again keeps its start and anchor too.
  changed = overdue;
  ASSERT_EQ(ApplyPolicyChange(monthly, now, changed), "");
  EXPECT_EQ(changed.periodAnchor, At("2027-03-01"));
  EXPECT_EQ(changed.periodStart, At("2027-02-01"));

  // A new start on the 15th: the current period is the one from February 15th.
  PolicyChange from;
  from.periodFrom = At("2027-01-15");
  changed = overdue;
  ASSERT_EQ(ApplyPolicyChange(from, now, changed), "");
  EXPECT_EQ(changed.periodAnchor, At("2027-01-15"));
  EXPECT_EQ(changed.periodStart, At("2027-03-15"));
  // Weekly from the default: this Monday.
  PolicyChange weekly;
  weekly.period = POLICY_PERIOD_WEEKLY;
  changed = overdue;
  ASSERT_EQ(ApplyPolicyChange(weekly, now, changed), "");
  EXPECT_EQ(changed.periodStart, At("2027-03-29"));

  // The console's path: a whole policy built from the stored one.
  UserPolicy wanted = overdue;
  wanted.rateDown = 5;
  EXPECT_EQ(PolicyToWrite(overdue, wanted, now).periodStart, At("2027-02-01"));
  wanted.period = POLICY_PERIOD_DAILY;
  EXPECT_EQ(PolicyToWrite(overdue, wanted, now).periodStart, At("2027-03-31"));
}

}  // namespace
}  // namespace tarvo::adm
