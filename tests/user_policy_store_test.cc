// Per-user policy in the user store: its own table beside the users, the up/down counters that
// sum to the design's counter, and the period boundary that resets exactly once, on SQLite and
// on PostgreSQL with several connections racing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "external/reader_policy.h"
#include "tests/delay_proxy.h"
#include "tests/user_store_fixture.h"

namespace {

using namespace tarvo::test;

UserPolicy PolicyOf(const char* name) {
  UserPolicy policy{};
  EXPECT_EQ(GetUserPolicyStatus(name, &policy), READER_OK) << name;
  return policy;
}

std::int64_t CounterOf(const char* name) {
  char password[tarvo::kUserPasswordSize];
  std::int64_t limit = 0;
  std::int64_t counter = -1;
  std::uint8_t locked = 0;
  EXPECT_EQ(GetUserInfoStatus(name, password, &limit, &counter, &locked), READER_OK) << name;
  return counter;
}

// Local midnight on the given date in the process's time zone.
std::int64_t LocalDate(int year, int month, int day, int hour = 0, int minute = 0) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&when));
}

class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (saved_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", saved_.c_str(), 1);
    }
    tzset();
  }

 private:
  std::string saved_;
};

TEST(PolicyPeriods, BoundariesFollowTheLocalCalendar) {
  TimeZone zone("Europe/Helsinki");
  // Monthly from the 31st: months without one end their period on their last day.
  const std::int64_t anchor = LocalDate(2027, 1, 31, 6);
  const std::int64_t inFebruary = LocalDate(2027, 2, 15);
  EXPECT_EQ(PolicyPeriodStart(POLICY_PERIOD_MONTHLY, anchor, inFebruary),
            LocalDate(2027, 1, 31, 6));
  EXPECT_EQ(PolicyNextPeriodStart(POLICY_PERIOD_MONTHLY, anchor, inFebruary),
            LocalDate(2027, 2, 28, 6));
  EXPECT_EQ(PolicyNextPeriodStart(POLICY_PERIOD_MONTHLY, anchor, LocalDate(2027, 2, 28, 6)),
            LocalDate(2027, 3, 31, 6));
  // A boundary itself starts its period.
  EXPECT_EQ(PolicyPeriodStart(POLICY_PERIOD_MONTHLY, anchor, LocalDate(2027, 3, 31, 6)),
            LocalDate(2027, 3, 31, 6));
  // December into January crosses the year.
  EXPECT_EQ(PolicyNextPeriodStart(POLICY_PERIOD_MONTHLY, 0, LocalDate(2027, 12, 20)),
            LocalDate(2028, 1, 1));

  // Weekly on the anchor's weekday (2027-01-04 is a Monday); 0 means Monday midnight.
  const std::int64_t thursday = LocalDate(2027, 1, 7, 12);
  EXPECT_EQ(PolicyPeriodStart(POLICY_PERIOD_WEEKLY, LocalDate(2027, 1, 4, 8), thursday),
            LocalDate(2027, 1, 4, 8));
  EXPECT_EQ(PolicyPeriodStart(POLICY_PERIOD_WEEKLY, 0, thursday), LocalDate(2027, 1, 4));
  EXPECT_EQ(PolicyNextPeriodStart(POLICY_PERIOD_WEEKLY, 0, thursday), LocalDate(2027, 1, 11));

  // Daily at 18:00: before it, the period began yesterday.
  const std::int64_t evening = LocalDate(2027, 5, 1, 18);
  EXPECT_EQ(PolicyPeriodStart(POLICY_PERIOD_DAILY, evening, LocalDate(2027, 5, 3, 9)),
            LocalDate(2027, 5, 2, 18));
  // Daylight saving time starts on 2027-03-28: that day is 23 hours long, and the boundary
  // keeps its local time.
  EXPECT_EQ(PolicyNextPeriodStart(POLICY_PERIOD_DAILY, 0, LocalDate(2027, 3, 28, 12)) -
                PolicyPeriodStart(POLICY_PERIOD_DAILY, 0, LocalDate(2027, 3, 28, 12)),
            23 * 3600);

  EXPECT_EQ(PolicyPeriodStart(POLICY_PERIOD_NONE, anchor, inFebruary), 0);
  EXPECT_EQ(PolicyNextPeriodStart(99, anchor, inFebruary), 0);
}

TEST_F(UserStoreTest, PolicyIsKeptBesideTheUserAndGoesWithIt) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Ann", "a-pass", 1000, 0));
  ASSERT_TRUE(SetUserInfo("Ben", "b-pass", 0, 0));

  // No row: the empty policy, and a missing user is told apart.
  UserPolicy policy{};
  EXPECT_EQ(GetUserPolicyStatus("ann", &policy), READER_OK);
  EXPECT_EQ(policy.rateDown + policy.rateUp + policy.period + policy.maxSessions, 0);
  EXPECT_EQ(GetUserPolicyStatus("nobody", &policy), READER_NO_USER);

  UserPolicy wanted{};
  wanted.rateDown = 2'500'000;
  wanted.rateUp = 625'000;
  wanted.period = POLICY_PERIOD_MONTHLY;
  wanted.periodAnchor = 1'790'000'000;
  wanted.periodStart = 1'790'000'000;
  wanted.maxSessions = 2;
  wanted.expires = 1'830'000'000;
  wanted.bytesDown = 77;  // counters are never written by a policy change
  EXPECT_EQ(SetUserPolicyStatus("nobody", &wanted), READER_NO_USER);
  UserPolicy negative = wanted;
  negative.rateUp = -1;
  EXPECT_EQ(SetUserPolicyStatus("ANN", &negative), READER_NO_USER);
  ASSERT_EQ(SetUserPolicyStatus("ANN", &wanted), READER_OK);
  policy = PolicyOf("ann");
  EXPECT_EQ(policy.rateDown, wanted.rateDown);
  EXPECT_EQ(policy.rateUp, wanted.rateUp);
  EXPECT_EQ(policy.period, POLICY_PERIOD_MONTHLY);
  EXPECT_EQ(policy.periodAnchor, wanted.periodAnchor);
  EXPECT_EQ(policy.periodStart, wanted.periodStart);
  EXPECT_EQ(policy.maxSessions, 2);
  EXPECT_EQ(policy.expires, wanted.expires);
  EXPECT_EQ(policy.bytesDown, 0);

  // Counting: the design's counter is the sum; a user without a row gets one.
  std::int64_t counter = 0;
  ASSERT_EQ(AddUserCountsStatus("ann", 300, 40, &counter, &policy), READER_OK);
  EXPECT_EQ(counter, 340);
  EXPECT_EQ(policy.bytesDown, 300);
  EXPECT_EQ(policy.bytesUp, 40);
  EXPECT_EQ(policy.rateDown, wanted.rateDown);  // the answer carries the policy
  ASSERT_EQ(AddUserCountsStatus("ben", 5, 6, &counter, &policy), READER_OK);
  EXPECT_EQ(policy.bytesDown + policy.bytesUp, CounterOf("ben"));
  EXPECT_EQ(AddUserCountsStatus("nobody", 1, 1, &counter, &policy), READER_NO_USER);
  // The old single counter still adds to the sum only.
  ASSERT_TRUE(AddUserCount("ann", 10, &counter));
  EXPECT_EQ(counter, 350);

  // A sum past the largest value stays there, in each counter.
  ASSERT_EQ(AddUserCountsStatus("ben", INT64_MAX, 1, &counter, &policy), READER_OK);
  EXPECT_EQ(counter, INT64_MAX);
  EXPECT_EQ(policy.bytesDown, INT64_MAX);
  EXPECT_EQ(policy.bytesUp, 7);

  // Changing the password keeps the policy; a reset zeroes all three counters.
  ASSERT_TRUE(SetUserInfo("ann", "new-pass", 1000, 0));
  EXPECT_EQ(PolicyOf("ann").maxSessions, 2);
  ASSERT_TRUE(ResetUser("ann"));
  EXPECT_EQ(CounterOf("ann"), 0);
  EXPECT_EQ(PolicyOf("ann").bytesDown + PolicyOf("ann").bytesUp, 0);

  // Enumeration lists every user, with or without a row, in name order.
  ASSERT_TRUE(SetUserInfo("Cid", "c-pass", 0, 0));
  std::vector<UserPolicyEntry> entries(tarvo::kMaxEnumeratedUsers);
  ASSERT_EQ(EnumUserPolicies(entries.data()), 3);
  EXPECT_STREQ(entries[0].name, "Ann");
  EXPECT_EQ(entries[0].policy.maxSessions, 2);
  EXPECT_STREQ(entries[2].name, "Cid");
  EXPECT_EQ(entries[2].policy.period, POLICY_PERIOD_NONE);

  // A deleted user's policy goes with it: the same name added again starts empty.
  ASSERT_TRUE(DeleteUser("Ann"));
  EXPECT_EQ(GetUserPolicyStatus("ann", &policy), READER_NO_USER);
  ASSERT_TRUE(SetUserInfo("Ann", "a-pass", 0, 0));
  EXPECT_EQ(PolicyOf("ann").maxSessions, 0);
  EXPECT_EQ(PolicyOf("ann").bytesDown, 0);
}

// A store from before the per-user protocol: its policy table gains the column, its rows keep
// what they held and take the daemon's rule.
TEST_F(UserStoreTest, AnOlderPolicyTableGainsTheProtocolAndKeepsItsRows) {
  const std::string script =
      "CREATE TABLE UsersTable (name_key VARCHAR(256) NOT NULL PRIMARY KEY, user_name "
      "VARCHAR(256) NOT NULL, user_password VARCHAR(256) NOT NULL, pwd_sealed INTEGER NOT NULL, "
      "user_limit BIGINT NOT NULL, user_counter BIGINT NOT NULL, user_locked INTEGER NOT NULL);"
      "INSERT INTO UsersTable VALUES ('ann', 'Ann', 'a-pass', 0, 0, 0, 0);"
      "CREATE TABLE UserPolicyTable (name_key VARCHAR(256) NOT NULL PRIMARY KEY, rate_down "
      "BIGINT NOT NULL, rate_up BIGINT NOT NULL, quota_period INTEGER NOT NULL, period_anchor "
      "BIGINT NOT NULL, period_start BIGINT NOT NULL, max_sessions INTEGER NOT NULL, expires "
      "BIGINT NOT NULL, bytes_down BIGINT NOT NULL, bytes_up BIGINT NOT NULL);"
      "INSERT INTO UserPolicyTable VALUES ('ann', 2500000, 0, 0, 0, 0, 2, 0, 77, 0);";
  ASSERT_EQ(std::system(("sqlite3 '" + DatabasePath() + "' \"" + script + "\"").c_str()), 0);
  ASSERT_TRUE(InitReader());
  UserPolicy policy = PolicyOf("ann");
  EXPECT_EQ(policy.rateDown, 2'500'000);
  EXPECT_EQ(policy.maxSessions, 2);
  EXPECT_EQ(policy.bytesDown, 77);
  EXPECT_EQ(policy.protocol, POLICY_PROTOCOL_ANY);
  policy.protocol = POLICY_PROTOCOL_V2_ONLY;
  ASSERT_EQ(SetUserPolicyStatus("ann", &policy), READER_OK);
  EXPECT_EQ(PolicyOf("ann").protocol, POLICY_PROTOCOL_V2_ONLY);
}

TEST_F(UserStoreTest, APeriodBoundaryResetsTheCountersOnce) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Dan", "d-pass", 500, 0));
  const std::int64_t now = std::time(nullptr);
  UserPolicy monthly{};
  monthly.period = POLICY_PERIOD_MONTHLY;
  monthly.periodStart = PolicyPeriodStart(POLICY_PERIOD_MONTHLY, 0, now) - 40 * 86400;
  ASSERT_EQ(SetUserPolicyStatus("dan", &monthly), READER_OK);
  std::int64_t counter = 0;
  UserPolicy policy{};
  ASSERT_EQ(AddUserCountsStatus("dan", 400, 200, &counter, &policy), READER_OK);
  ASSERT_EQ(counter, 600);

  std::uint8_t began = 0;
  ASSERT_EQ(BeginUserPeriodStatus("dan", now, &began, &counter, &policy), READER_OK);
  EXPECT_EQ(began, 1);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(policy.bytesDown + policy.bytesUp, 0);
  EXPECT_EQ(policy.periodStart, PolicyPeriodStart(POLICY_PERIOD_MONTHLY, 0, now));

  // Within the same period nothing more happens; bytes counted since are kept.
  ASSERT_EQ(AddUserCountsStatus("dan", 7, 3, &counter, &policy), READER_OK);
  ASSERT_EQ(BeginUserPeriodStatus("dan", now + 1, &began, &counter, &policy), READER_OK);
  EXPECT_EQ(began, 0);
  EXPECT_EQ(counter, 10);

  // No period: the lifetime counter, never reset; a missing user is told apart.
  ASSERT_TRUE(SetUserInfo("Eve", "e-pass", 0, 0));
  ASSERT_EQ(AddUserCountsStatus("eve", 1, 1, &counter, &policy), READER_OK);
  ASSERT_EQ(BeginUserPeriodStatus("eve", now, &began, &counter, &policy), READER_OK);
  EXPECT_EQ(began, 0);
  EXPECT_EQ(counter, 2);
  EXPECT_EQ(BeginUserPeriodStatus("nobody", now, &began, &counter, &policy), READER_NO_USER);
}

// The reads that logins, keep-alives and periodic stores make, each one statement: a user
// with their policy, many users at once (one statement per 250), and the addition of counts
// with the user read back, which on PostgreSQL is one statement too (elsewhere a short
// transaction of its own). Names match without regard to case; a missing user is told apart.
void ReadsTakeOneStatementEach(bool oneStatementAdd) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Ann", "a-pass", 1000, 0));
  UserPolicy limits{};
  limits.rateDown = 4096;
  ASSERT_EQ(SetUserPolicyStatus("ann", &limits), READER_OK);
  std::vector<UserStateEntry> entries(301);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string name = "user-" + std::to_string(i);
    if (i % 2 == 0) {
      ASSERT_TRUE(SetUserInfo(name.c_str(), "pw", 10 * i, 0));
    }
    std::snprintf(entries[i].name, sizeof entries[i].name, "%s", i == 0 ? "ANN" : name.c_str());
  }

  std::uint64_t before = ReaderStatementCount();
  char password[tarvo::kUserPasswordSize];
  UserState state{};
  ASSERT_EQ(GetUserStateStatus("ANN", password, &state), READER_OK);
  EXPECT_STREQ(password, "a-pass");
  EXPECT_STREQ(state.name, "Ann");  // as stored, not as asked
  EXPECT_EQ(state.limit, 1000);
  EXPECT_EQ(state.policy.rateDown, 4096);
  EXPECT_EQ(GetUserStateStatus("nobody", password, &state), READER_NO_USER);
  EXPECT_EQ(ReaderStatementCount(), before + 2);

  before = ReaderStatementCount();
  ASSERT_EQ(GetUserStatesStatus(entries.data(), static_cast<std::int32_t>(entries.size())),
            READER_OK);
  EXPECT_EQ(ReaderStatementCount(), before + 2);  // 250 names, then 51
  EXPECT_EQ(entries[0].status, READER_OK);
  EXPECT_EQ(entries[0].state.policy.rateDown, 4096);
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].status, i % 2 == 0 ? READER_OK : READER_NO_USER) << i;
    if (i % 2 == 0) {
      EXPECT_EQ(entries[i].state.limit, static_cast<std::int64_t>(10 * i));
    }
  }

  before = ReaderStatementCount();
  ASSERT_EQ(AddUserCountsReadStatus("ann", 300, 40, password, &state), READER_OK);
  if (oneStatementAdd) {
    EXPECT_EQ(ReaderStatementCount(), before + 1);
  }
  EXPECT_STREQ(password, "a-pass");
  EXPECT_EQ(state.counter, 340);
  EXPECT_EQ(state.policy.bytesDown, 300);
  EXPECT_EQ(state.policy.rateDown, 4096);
  // Without a policy row: one holding the counts is made.
  ASSERT_EQ(AddUserCountsReadStatus("user-2", 5, 6, nullptr, &state), READER_OK);
  EXPECT_EQ(state.counter, 11);
  EXPECT_EQ(state.policy.bytesUp, 6);
  EXPECT_EQ(AddUserCountsReadStatus("nobody", 1, 1, nullptr, &state), READER_NO_USER);
  EXPECT_EQ(PolicyOf("user-2").bytesDown, 5);
}

TEST_F(UserStoreTest, ReadsTakeOneStatementEach) { ReadsTakeOneStatementEach(false); }

TEST_F(PostgresUserStoreTest, ReadsTakeOneStatementEach) {
  ExpectPassesInChild([] { ReadsTakeOneStatementEach(true); });
}

// Several connections of one store cross the same boundary at once, as daemons sharing a
// PostgreSQL store do: each round, exactly one of them resets the counter.
TEST_F(PostgresUserStoreTest, DaemonsCrossingOneBoundaryResetTheCounterExactlyOnce) {
  ExpectPassesInChild([&] {
    constexpr int kRounds = 10;
    constexpr int kThreads = 4;
    ASSERT_TRUE(InitReader());
    ASSERT_TRUE(SetUserInfo("Fay", "f-pass", 0, 0));
    const std::int64_t now = std::time(nullptr);
    for (int round = 0; round < kRounds; ++round) {
      UserPolicy daily{};
      daily.period = POLICY_PERIOD_DAILY;
      daily.periodStart = PolicyPeriodStart(POLICY_PERIOD_DAILY, 0, now) - 86400;
      ASSERT_EQ(SetUserPolicyStatus("fay", &daily), READER_OK);
      std::int64_t counter = 0;
      UserPolicy policy{};
      ASSERT_EQ(AddUserCountsStatus("fay", 100, 1, &counter, &policy), READER_OK);

      std::atomic<int> began{0};
      std::atomic<int> failed{0};
      std::latch start(kThreads);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
          start.arrive_and_wait();
          std::uint8_t mine = 0;
          std::int64_t seen = -1;
          UserPolicy read{};
          if (BeginUserPeriodStatus("fay", now, &mine, &seen, &read) != READER_OK || seen != 0) {
            ++failed;
          }
          began += mine;
        });
      }
      for (auto& thread : threads) thread.join();
      EXPECT_EQ(began.load(), 1) << "round " << round;
      EXPECT_EQ(failed.load(), 0) << "round " << round;
    }
    EXPECT_EQ(Query("SELECT bytes_down FROM UserPolicyTable"), "0");
  });
}

}  // namespace

namespace {

// Additions under one id are made once; the sender's lower ids are forgotten as it says.
void AddsOncePerId() {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Gil", "g-pass", 0, 0));
  UserState state{};
  CountDeltaId id{"daemon-a", 1, 1};
  ASSERT_EQ(AddUserCountsOnceStatus("gil", 100, 10, &id, nullptr, &state), READER_OK);
  EXPECT_EQ(state.counter, 110);
  // Sent again (its answer lost): read back, nothing added.
  ASSERT_EQ(AddUserCountsOnceStatus("gil", 100, 10, &id, nullptr, &state), READER_OK);
  EXPECT_EQ(state.counter, 110);
  EXPECT_EQ(state.policy.bytesDown, 100);
  id.seq = 2;
  id.keepFrom = 2;  // number 1 will not be sent again
  ASSERT_EQ(AddUserCountsOnceStatus("GIL", 100, 10, &id, nullptr, &state), READER_OK);
  EXPECT_EQ(state.counter, 220);
  // Another sender's number 1 is its own.
  CountDeltaId other{"daemon-b", 1, 1};
  ASSERT_EQ(AddUserCountsOnceStatus("gil", 1, 2, &other, nullptr, &state), READER_OK);
  EXPECT_EQ(state.counter, 223);
  EXPECT_EQ(state.policy.bytesUp, 22);
  EXPECT_EQ(AddUserCountsOnceStatus("nobody", 1, 1, &other, nullptr, &state), READER_NO_USER);
  // The sender's next number adds for another user.
  ASSERT_TRUE(SetUserInfo("Hal", "h-pass", 0, 0));
  CountDeltaId third{"daemon-b", 2, 1};
  ASSERT_EQ(AddUserCountsOnceStatus("hal", 5, 0, &third, nullptr, &state), READER_OK);
  EXPECT_EQ(state.counter, 5);
}

TEST_F(UserStoreTest, CountsAddOncePerDeltaId) { AddsOncePerId(); }

// The store's connection is cut right after the commit of an addition, before its answer:
// sending it again under its id adds nothing. A store from before the id table gets it.
TEST_F(PostgresUserStoreTest, AnAdditionSentAgainAfterItsCommitAddsNothing) {
  ExpectPassesInChild([] { AddsOncePerId(); });
  EXPECT_EQ(Query("SELECT COUNT(*) FROM AppliedDeltaTable WHERE owner = 'daemon-a'"), "1");
  ASSERT_EQ(Query("DROP TABLE AppliedDeltaTable"), "");

  DelayProxy proxy(static_cast<std::uint16_t>(cluster_.port()), std::chrono::microseconds(0));
  ASSERT_TRUE(proxy.start());
  setenv("TARVO_STORE",
         ("Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(proxy.port()) +
          ";Database=VPNdb;Username=postgres")
             .c_str(),
         1);
  ExpectPassesInChild([&] {
    ASSERT_TRUE(InitReader());
    const CountDeltaId id{"daemon-c", 7, 7};
    UserState state{};
    // Each way held 2 s: the commit is seen in the database long before its answer arrives.
    proxy.setDelay(std::chrono::seconds(2));
    std::int32_t status = -1;
    std::thread add([&] { status = AddUserCountsOnceStatus("gil", 1000, 0, &id, nullptr, &state); });
    bool committed = false;
    for (int waited = 0; !committed && waited < 10'000; waited += 20) {
      committed = Query("SELECT user_counter FROM UsersTable WHERE name_key = 'gil'") == "1223";
      if (!committed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    proxy.setRefusing(true);
    add.join();
    ASSERT_TRUE(committed);
    // The store's own second attempt, on a new connection, may already have got through: it
    // too adds nothing.
    if (status == READER_OK) {
      EXPECT_EQ(state.counter, 1223);
    }
    proxy.setRefusing(false);
    proxy.setDelay(std::chrono::microseconds(0));
    ASSERT_EQ(AddUserCountsOnceStatus("gil", 1000, 0, &id, nullptr, &state), READER_OK);
    EXPECT_EQ(state.counter, 1223);
    const CountDeltaId next{"daemon-c", 8, 8};
    ASSERT_EQ(AddUserCountsOnceStatus("gil", 1000, 0, &next, nullptr, &state), READER_OK);
    EXPECT_EQ(state.counter, 2223);
  });
  // Number 7 was forgotten with the second addition: only 8 is kept.
  EXPECT_EQ(Query("SELECT seq FROM AppliedDeltaTable WHERE owner = 'daemon-c'"), "8");
}

}  // namespace
