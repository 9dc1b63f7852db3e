// tarvoadm through the real program against the real daemon: outputs, exit codes, --json.
#include <gtest/gtest.h>

#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "external/reader_policy.h"
#include "tests/control_test_support.h"

namespace tarvo::test {
namespace {

using AdmRun = ToolRun;

// Runs tarvoadm with args against runtimeDir; stdout captured, stderr dropped.
AdmRun Adm(const std::string& runtimeDir, const std::vector<std::string>& args) {
  return RunTool(TARVOADM_PATH, runtimeDir, args, 1);
}

std::string HexId(std::uint32_t id) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", id);
  return text;
}

nlohmann::json Json(const AdmRun& run) { return nlohmann::json::parse(run.output); }

// Sets an environment variable for the tools this test runs, until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_.empty()) {
      ::unsetenv(name_);
    } else {
      ::setenv(name_, old_.c_str(), 1);
    }
  }

 private:
  const char* name_;
  std::string old_;
};

std::int64_t LocalMidnight(int year, int month, int day) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_isdst = -1;
  return std::mktime(&fields);
}

TEST(Tarvoadm, UsersFromAddToDelete) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  const std::string dir = daemon.home();
  TempDir scratch;
  const std::string passwordFile = scratch.path() + "/pw";
  std::ofstream(passwordFile) << "from-file\n";

  EXPECT_EQ(
      Adm(dir, {"user", "add", "ivy", "--password-file", passwordFile, "--limit", "10MB"}).exit, 0);
  EXPECT_EQ(Adm(dir, {"user", "add", "IVY", "--password", "x"}).exit, 1);
  AdmRun users = Adm(dir, {"--json", "users"});
  ASSERT_EQ(users.exit, 0);
  auto list = Json(users)["users"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "ivy");
  EXPECT_EQ(list[0]["limit"], 10 << 20);
  EXPECT_EQ(list[0]["locked"], false);
  EXPECT_EQ(list[0].count("password"), 0u);  // never printed
  EXPECT_NE(Adm(dir, {"users"}).output.find("ivy\t10 MiB\t0\tno"), std::string::npos);

  // The password from the file is the one the daemon checks.
  client::SessionClient session;
  EXPECT_TRUE(LoggedIn(session, daemon, "ivy", "from-file"));
  session.close();

  EXPECT_EQ(Adm(dir, {"user", "set", "ivy", "--limit", "2GiB"}).exit, 0);
  EXPECT_EQ(Json(Adm(dir, {"--json", "users"}))["users"][0]["limit"], std::int64_t{2} << 30);
  EXPECT_EQ(Adm(dir, {"user", "set", "ghost", "--limit", "1"}).exit, 1);

  AdmRun lock = Adm(dir, {"--json", "user", "lock", "ivy"});
  EXPECT_EQ(lock.exit, 0);
  EXPECT_EQ(Json(lock)["changed"], true);
  AdmRun again = Adm(dir, {"--json", "user", "lock", "ivy"});
  EXPECT_EQ(again.exit, 0);
  EXPECT_EQ(Json(again)["changed"], false);  // already locked: no toggle
  EXPECT_EQ(Json(Adm(dir, {"--json", "users"}))["users"][0]["locked"], true);
  EXPECT_EQ(Adm(dir, {"user", "unlock", "ivy"}).exit, 0);
  EXPECT_EQ(Adm(dir, {"user", "unlock", "ghost"}).exit, 1);
  EXPECT_EQ(Adm(dir, {"user", "reset", "ivy"}).exit, 0);
  EXPECT_EQ(Adm(dir, {"user", "reset", "ghost"}).exit, 1);

  EXPECT_EQ(Adm(dir, {"user", "delete", "ivy"}).exit, 0);
  AdmRun gone = Adm(dir, {"--json", "user", "delete", "ivy"});
  EXPECT_EQ(gone.exit, 1);
  EXPECT_EQ(Json(gone)["ok"], false);
}

// Two tarvoadm processes at once. Each request is answered whole before the next, so whatever
// the order, the user ends in the state asked for and exactly one of two equal requests changed
// it: with read-then-toggle, two locks at once could both toggle and leave the user unlocked.
TEST(Tarvoadm, LockAndUnlockAtOnceLeaveTheNamedStateAndSayWhoChangedIt) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("liv", "pw"));
  const std::string dir = daemon.home();
  // Both outputs, one JSON line each, in the order the two commands were given.
  auto both = [&](const char* first, const char* second) {
    TempDir out;
    const std::string script = "\"$0\" --json user " + std::string(first) + " liv >" +
                               out.path() + "/1 & \"$0\" --json user " + second + " liv >" +
                               out.path() + "/2 & wait";
    EXPECT_EQ(RunTool("/bin/sh", dir, {"-c", script, TARVOADM_PATH}, 1).exit, 0);
    std::vector<nlohmann::json> results;
    for (const char* name : {"/1", "/2"}) {
      std::ifstream file(out.path() + name);
      std::string line;
      std::getline(file, line);
      results.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return results;
  };
  auto locked = [&] { return Json(Adm(dir, {"--json", "users"}))["users"][0]["locked"]; };

  for (int round = 0; round < 10; ++round) {
    auto locks = both("lock", "lock");
    EXPECT_EQ(locked(), true) << round;
    EXPECT_NE(locks[0]["changed"], locks[1]["changed"]) << locks[0] << locks[1];
    auto unlocks = both("unlock", "unlock");
    EXPECT_EQ(locked(), false) << round;
    EXPECT_NE(unlocks[0]["changed"], unlocks[1]["changed"]) << unlocks[0] << unlocks[1];
    // From unlocked: the lock always changes it; the user stays locked exactly when the
    // unlock came first and found nothing to do.
    auto mixed = both("lock", "unlock");
    EXPECT_EQ(mixed[0]["changed"], true) << mixed[0];
    EXPECT_EQ(locked(), mixed[1]["changed"] == false) << mixed[1];
    EXPECT_EQ(Adm(dir, {"user", "unlock", "liv"}).exit, 0);
  }
  // The text form says what was done.
  EXPECT_EQ(Adm(dir, {"user", "lock", "liv"}).output, "user 'liv' locked\n");
  EXPECT_EQ(Adm(dir, {"user", "lock", "liv"}).output, "user 'liv' is already locked\n");
  EXPECT_EQ(Adm(dir, {"user", "unlock", "liv"}).output, "user 'liv' unlocked\n");
  EXPECT_EQ(Adm(dir, {"user", "unlock", "liv"}).output, "user 'liv' is already unlocked\n");
}

TEST(Tarvoadm, SettingsSessionsAndMessages) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("jo", "pw"));
  const std::string dir = daemon.home();

  AdmRun settings = Adm(dir, {"--json", "settings"});
  ASSERT_EQ(settings.exit, 0);
  EXPECT_EQ(Json(settings)["settings"]["ServerPort"], daemon.port());
  EXPECT_EQ(Adm(dir, {"settings", "set", "MultiConnect=yes", "MinClientVersion=2.0.3"}).exit, 0);
  EXPECT_NE(Adm(dir, {"settings"}).output.find("MultiConnect=yes\n"), std::string::npos);
  EXPECT_EQ(Adm(dir, {"settings", "set", "Bogus=1"}).exit, 2);
  EXPECT_EQ(Adm(dir, {"settings", "set", "ServerPort=70000"}).exit, 2);

  client::SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "jo", "pw"));
  AdmRun sessions = Adm(dir, {"--json", "sessions"});
  ASSERT_EQ(sessions.exit, 0);
  auto list = Json(sessions)["sessions"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["address"], "127.0.0.1");
  EXPECT_EQ(list[0]["session_id"], session.sessionId());
  // The text form shows the id as the console does, and the commands take it back.
  const std::string id = HexId(session.sessionId());
  EXPECT_NE(Adm(dir, {"sessions"}).output.find("jo\t127.0.0.1\t" + id), std::string::npos);

  EXPECT_EQ(Json(Adm(dir, {"--json", "relays", "jo", "127.0.0.1", id}))["relays"].size(), 0u);
  EXPECT_EQ(Adm(dir, {"message", "127.0.0.1", "hello"}).exit, 0);
  EXPECT_EQ(
      Adm(dir, {"disconnect", "jo", "127.0.0.1", "0x" + HexId(session.sessionId() ^ 1)}).exit, 1);
  EXPECT_EQ(Adm(dir, {"disconnect", "jo", "127.0.0.1", "-1"}).exit, 2);
  EXPECT_EQ(Adm(dir, {"disconnect", "jo", "127.0.0.1", id}).exit, 0);
  EXPECT_TRUE(ClosedByPeer(session.socket()));
}

// Policy goes straight to the store, which this test reads too (the only test here that opens
// it): what tarvoadm writes is what the store holds, a change of period does not reset the
// counter at once, and any other change leaves a reset that is due still due.
TEST(Tarvoadm, PolicyIsWrittenToTheStoreAndShownWhole) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  const std::string dir = daemon.home();
  ScopedEnv home("TARVO_HOME", dir);
  ASSERT_TRUE(InitReader());

  AdmRun added = Adm(dir, {"--json", "user", "add", "ivy", "--password", "pw", "--limit", "1GiB",
                           "--rate-down", "20Mbit", "--period", "monthly"});
  ASSERT_EQ(added.exit, 0) << added.output;
  EXPECT_EQ(Json(added)["name"], "ivy");
  EXPECT_EQ(Json(added)["rate_down"], 2500000);
  EXPECT_EQ(Json(added)["limit"], std::int64_t{1} << 30);  // through the daemon, as before
  AdmRun set = Adm(dir, {"--json", "user", "set", "ivy", "--rate-up", "5Mbit", "--max-sessions",
                         "2", "--expires", "2027-06-30"});
  ASSERT_EQ(set.exit, 0) << set.output;
  UserPolicy stored{};
  ASSERT_EQ(GetUserPolicyStatus("ivy", &stored), READER_OK);
  EXPECT_EQ(stored.rateDown, 2500000);
  EXPECT_EQ(stored.rateUp, 625000);
  EXPECT_EQ(stored.maxSessions, 2);
  EXPECT_EQ(stored.expires, LocalMidnight(2027, 6, 30));
  EXPECT_EQ(stored.period, POLICY_PERIOD_MONTHLY);
  const std::int64_t now = std::time(nullptr);
  EXPECT_EQ(stored.periodStart, PolicyPeriodStart(POLICY_PERIOD_MONTHLY, stored.periodAnchor, now));
  auto json = Json(set);
  EXPECT_EQ(json["period_start"], stored.periodStart);
  EXPECT_EQ(json["expires"], stored.expires);

  // The counters the daemons add show up, down and up apart, beside their sum.
  std::int64_t counter = 0;
  UserPolicy after{};
  ASSERT_EQ(AddUserCountsStatus("ivy", 3000, 1000, &counter, &after), READER_OK);
  json = Json(Adm(dir, {"--json", "user", "show", "ivy"}));
  EXPECT_EQ(json["bytes_down"], 3000);
  EXPECT_EQ(json["bytes_up"], 1000);
  EXPECT_EQ(json["counter"], 4000);
  EXPECT_EQ(json["locked"], false);
  EXPECT_EQ(json["max_sessions"], 2);
  EXPECT_EQ(json["period"], "monthly");
  const std::string text = Adm(dir, {"user", "show", "ivy"}).output;
  for (const char* line : {"counter: 4000\n", "down: 3000\n", "up: 1000\n",
                           "rate down: 2.5 MB/s (20 Mbit/s)\n", "rate up: 625 kB/s (5 Mbit/s)\n",
                           "period: monthly\n", "max sessions: 2\n", "expires: 2027-06-30 "}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }

  // A reset that is due (a period start left behind) stays due through a change of rate.
  UserPolicy overdue = stored;
  overdue.periodStart = PolicyPeriodStart(POLICY_PERIOD_MONTHLY, stored.periodAnchor,
                                          stored.periodStart - 1);
  ASSERT_EQ(SetUserPolicyStatus("ivy", &overdue), READER_OK);
  ASSERT_EQ(Adm(dir, {"user", "set", "ivy", "--rate-up", "1MB/s"}).exit, 0);
  std::uint8_t began = 0;
  ASSERT_EQ(BeginUserPeriodStatus("ivy", std::time(nullptr), &began, &counter, &after), READER_OK);
  EXPECT_EQ(began, 1);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(after.rateUp, 1000000);
  // A new period begins without a reset.
  ASSERT_EQ(AddUserCountsStatus("ivy", 500, 0, &counter, &after), READER_OK);
  ASSERT_EQ(Adm(dir, {"user", "set", "ivy", "--period", "weekly"}).exit, 0);
  ASSERT_EQ(BeginUserPeriodStatus("ivy", std::time(nullptr), &began, &counter, &after), READER_OK);
  EXPECT_EQ(began, 0);
  EXPECT_EQ(counter, 500);
  EXPECT_EQ(after.period, POLICY_PERIOD_WEEKLY);

  // Each clears its own way; the counters stay.
  ASSERT_EQ(Adm(dir, {"user", "set", "ivy", "--rate-down", "none", "--rate-up", "0", "--period",
                      "none", "--max-sessions", "0", "--expires", "never"})
                .exit,
            0);
  ASSERT_EQ(GetUserPolicyStatus("ivy", &after), READER_OK);
  EXPECT_EQ(after.rateDown + after.rateUp + after.maxSessions + after.expires, 0);
  EXPECT_EQ(after.period, POLICY_PERIOD_NONE);
  EXPECT_EQ(after.periodStart, 0);
  EXPECT_EQ(after.bytesDown, 500);

  // Refused before anything changes: a bad value, a start without a period, no such user.
  EXPECT_EQ(Adm(dir, {"user", "set", "ivy", "--limit", "5", "--rate-down", "20M"}).exit, 2);
  EXPECT_EQ(Adm(dir, {"user", "set", "ivy", "--limit", "5", "--period-from", "2027-01-01"}).exit,
            2);
  EXPECT_EQ(Adm(dir, {"user", "set", "ghost", "--rate-up", "1MB/s"}).exit, 1);
  EXPECT_EQ(Adm(dir, {"user", "show", "ghost"}).exit, 1);
  EXPECT_EQ(Adm(dir, {"user", "show", "ivy", "--rate-up", "1"}).exit, 2);
  {
    // A store that cannot be opened: said so, and the daemon is not asked either.
    ScopedEnv store("TARVO_STORE", "Driver=NoSuchDriver;Database=x;");
    AdmRun refused = Adm(dir, {"--json", "user", "set", "ivy", "--limit", "5", "--rate-up", "1"});
    EXPECT_EQ(refused.exit, 1);
    EXPECT_NE(Json(refused)["error"].get<std::string>().find("cannot open the user store"),
              std::string::npos);
    EXPECT_EQ(Adm(dir, {"user", "show", "ivy"}).exit, 1);
  }
  EXPECT_EQ(Json(Adm(dir, {"--json", "users"}))["users"][0]["limit"], std::int64_t{1} << 30);
}

// What tarvoadm writes is what the daemon applies at the next login, with no daemon request.
TEST(Tarvoadm, ExpiryAndSessionCapReachTheDaemonAtTheNextLogin) {
  TestDaemon daemon(AuditedSettings(/*multiConnect=*/true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("max", "pw"));
  const std::string dir = daemon.home();
  ScopedEnv home("TARVO_HOME", dir);
  ASSERT_EQ(Adm(dir, {"user", "set", "max", "--expires", "@1000000000"}).exit, 0);
  client::SessionClient expired;
  EXPECT_FALSE(LoggedIn(expired, daemon, "max", "pw"));
  ASSERT_EQ(Adm(dir, {"user", "set", "max", "--expires", "never", "--max-sessions", "1"}).exit, 0);
  client::SessionClient first;
  client::SessionClient second;
  EXPECT_TRUE(LoggedIn(first, daemon, "max", "pw"));
  EXPECT_FALSE(LoggedIn(second, daemon, "max", "pw"));
  first.close();
  ASSERT_EQ(Adm(dir, {"user", "set", "max", "--max-sessions", "none"}).exit, 0);
  client::SessionClient third;
  client::SessionClient fourth;
  EXPECT_TRUE(LoggedIn(third, daemon, "max", "pw"));
  EXPECT_TRUE(LoggedIn(fourth, daemon, "max", "pw"));
}

// stats gives the daemon's figures as its metrics socket serves them: text as a textfile
// collector takes it, and every sample in JSON.
TEST(Tarvoadm, StatsPrintsTheDaemonsFiguresAsTextAndAsJson) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("jo", "pw"));
  const std::string dir = daemon.home();
  client::SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "jo", "pw"));

  const AdmRun text = Adm(dir, {"stats"});
  ASSERT_EQ(text.exit, 0);
  EXPECT_EQ(text.output.rfind("# HELP ", 0), 0u) << text.output;
  EXPECT_NE(text.output.find("\ntarvo_sessions 1\n"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("\ntarvo_logins_total{outcome=\"accepted\"} 1\n"), std::string::npos);

  const AdmRun json = Adm(dir, {"--json", "stats"});
  ASSERT_EQ(json.exit, 0);
  const nlohmann::json result = Json(json);
  EXPECT_EQ(result["families"]["tarvo_sessions"]["type"], "gauge");
  bool sawSessions = false, sawBucket = false;
  for (const auto& sample : result["samples"]) {
    if (sample["name"] == "tarvo_sessions") sawSessions = sample["value"] == 1;
    if (sample["name"] == "tarvo_store_call_seconds_bucket" && sample["labels"]["le"] == "+Inf") {
      sawBucket = sample["family"] == "tarvo_store_call_seconds" && sample["type"] == "histogram";
    }
  }
  EXPECT_TRUE(sawSessions);
  EXPECT_TRUE(sawBucket);
  EXPECT_EQ(Adm(dir, {"stats", "now"}).exit, 2);
  TempDir empty;
  EXPECT_EQ(Adm(empty.path(), {"stats"}).exit, 3);
}

TEST(Tarvoadm, UsageAndDaemonNotRunning) {
  TempDir empty;
  EXPECT_EQ(Adm(empty.path(), {}).exit, 2);
  EXPECT_EQ(Adm(empty.path(), {"frobnicate"}).exit, 2);
  EXPECT_EQ(Adm(empty.path(), {"user", "add", "x"}).exit, 2);  // no password
  EXPECT_EQ(Adm(empty.path(), {"user", "add", "x", "--password", "p", "--limit", "5XB"}).exit, 2);
  EXPECT_EQ(Adm(empty.path(), {"message", "not-an-address", "hi"}).exit, 2);
  AdmRun down = Adm(empty.path(), {"--json", "users"});
  EXPECT_EQ(down.exit, 3);
  EXPECT_EQ(Json(down)["exit"], 3);
}

TEST(Tarvoadm, WatchPrintsOneJsonObjectPerNotificationAlsoForTarvoadmsOwnChanges) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("kim", "pw"));
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::setenv("TARVO_RUNTIME_DIR", daemon.home().c_str(), 1);
    ::execl(TARVOADM_PATH, TARVOADM_PATH, "--json", "watch", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  // Logins until the watcher, once attached, prints the first one (bounded).
  std::string first;
  for (int attempt = 0; attempt < 50 && first.find('\n') == std::string::npos; ++attempt) {
    client::SessionClient probe;
    ASSERT_TRUE(LoggedIn(probe, daemon, "kim", "pw"));
    pollfd ready{pipeFds[0], POLLIN, 0};
    while (::poll(&ready, 1, 200) == 1) {
      char buffer[4096];
      const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
      if (got <= 0) break;
      first.append(buffer, static_cast<std::size_t>(got));
      if (first.find('\n') != std::string::npos) break;
    }
  }
  ASSERT_NE(first.find('\n'), std::string::npos);
  auto event = nlohmann::json::parse(first.substr(0, first.find('\n')));
  // Whichever the probes' logins and ends gave first once the watcher attached.
  const std::string name = event["event"];
  EXPECT_TRUE(name == "session_opened" || name == "session_closed" || name == "user_changed")
      << name;
  EXPECT_EQ(event["name"], "kim");
  if (name != "user_changed") {
    EXPECT_EQ(event["protocol"], "v1");
  }

  // What tarvoadm itself changes reaches the attached console too.
  ASSERT_EQ(Adm(daemon.home(), {"user", "add", "zed", "--password", "pw"}).exit, 0);
  ASSERT_EQ(Adm(daemon.home(), {"user", "lock", "zed"}).exit, 0);
  bool added = false;
  bool locked = false;
  std::string rest = first.substr(first.find('\n') + 1);
  for (int reads = 0; reads < 200 && !(added && locked);) {
    const std::size_t end = rest.find('\n');
    if (end == std::string::npos) {
      pollfd ready{pipeFds[0], POLLIN, 0};
      if (::poll(&ready, 1, 200) != 1) {
        ++reads;
        continue;
      }
      char buffer[4096];
      const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
      if (got <= 0) break;
      rest.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    const auto line = nlohmann::json::parse(rest.substr(0, end));
    rest.erase(0, end + 1);
    if (line["name"] != "zed") continue;
    added = added || line["event"] == "user_added";
    locked = locked || (line["event"] == "user_changed" && line["locked"] == true);
  }
  EXPECT_TRUE(added);
  EXPECT_TRUE(locked);
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(pipeFds[0]);
}

}  // namespace
}  // namespace tarvo::test
