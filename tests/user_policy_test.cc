// Per-user policy applied by the real TarvoServer: speed limits shared by a user's relays and
// nothing else, the up and down counters, quota periods (begun at login, at a boundary while
// logged in, and exactly once by two daemons on one PostgreSQL store), the session cap and the
// expiry. Policies are written to the daemon's store through the store library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/common/session_protocol.h"
#include "tests/control_test_support.h"
#include "tests/install_layout.h"
#include "tests/loopback_servers.h"
#include "tests/policy_store.h"
#include "tests/postgres_store.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::LoginOutcome;
using client::ReceivedMessage;
using client::SessionClient;
using Clock = std::chrono::steady_clock;

const std::uint32_t kLoopbackAddress = ::inet_addr("127.0.0.1");
constexpr const char* kPeriodLine = "a new quota period began";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::uint8_t> Pattern(std::size_t from, std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = PatternByte(from + i);
  return bytes;
}

std::size_t Occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

LoginOutcome LogIn(SessionClient& session, std::uint16_t port, const std::string& name,
                   const std::string& password = "pw") {
  if (session.open("127.0.0.1", port, "2.0.5", kIoTimeoutMs) != ClientStatus::kOk) {
    return LoginOutcome::kFailed;
  }
  return session.login(name, password, kIoTimeoutMs).outcome;
}

// A relay's bytes received until the daemon closes it, counted as they come.
struct Download {
  DataConnection relay;
  std::atomic<std::size_t> got{0};
  ClientStatus end = ClientStatus::kOk;

  void run() {
    ByteBuffer piece;
    for (;;) {
      piece.clear();
      end = relay.receive(piece, 30'000);
      if (end != ClientStatus::kOk) return;
      got += piece.size();
    }
  }
};

// Round trips through an echo server; true when all came back.
bool Echoes(const SessionClient& session, std::uint16_t echoPort, std::size_t count) {
  DataConnection relay;
  if (relay.open(session, kLoopbackAddress, echoPort, kIoTimeoutMs) != ClientStatus::kOk) {
    return false;
  }
  if (relay.send(Pattern(0, count)) != ClientStatus::kOk) return false;
  ByteBuffer back;
  while (back.size() < count) {
    if (relay.receive(back, kIoTimeoutMs) != ClientStatus::kOk) return false;
  }
  return back.size() == count;
}

// UdpData answers that arrive before the session has been quiet for a while.
int DatagramsBack(SessionClient& session) {
  int count = 0;
  ReceivedMessage message;
  for (int reads = 0; reads < 1000; ++reads) {
    if (session.readMessage(message, 700) != ClientStatus::kOk) break;
    if (message.type == MessageType::UdpData) ++count;
  }
  return count;
}

// A daily period whose next boundary is a few seconds away, the current period begun.
UserPolicy DailyWithBoundarySoon() {
  UserPolicy policy{};
  policy.period = POLICY_PERIOD_DAILY;
  policy.periodAnchor = EpochNow() + 3;
  policy.periodStart = PolicyPeriodStart(POLICY_PERIOD_DAILY, policy.periodAnchor, EpochNow());
  return policy;
}

UserPolicy Rates(std::int64_t down, std::int64_t up) {
  UserPolicy policy{};
  policy.rateDown = down;
  policy.rateUp = up;
  return policy;
}

// A daemon on its own SQLite store, with users made through the store tool.
class PolicyTest : public ::testing::Test {
 protected:
  bool addUser(const std::string& name, long long limit = 0) {
    return daemon.addUser(name, "pw", limit);
  }
  bool setPolicy(const std::string& name, const UserPolicy& policy) {
    return WritePolicy(HomeStore(daemon.home()), name, policy);
  }

  TestDaemon daemon{AuditedSettings(true)};
};

TEST_F(PolicyTest, DownloadLimitBindsTheUsersRelaysTogetherFairlyAndNothingElse) {
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(addUser("alice") && addUser("bob"));
  ASSERT_TRUE(setPolicy("alice", Rates(1'000'000, 0)));
  constexpr std::size_t kEach = 5'000'000;
  constexpr std::size_t kFree = 10'000'000;
  LoopbackTcpServer source(SourceHandler(kEach));
  LoopbackTcpServer bigSource(SourceHandler(kFree));
  std::atomic<bool> release{true};
  std::atomic<std::size_t> sunk{0};
  std::atomic<bool> intact{true};
  LoopbackTcpServer sink(SinkHandler(release, sunk, intact));

  SessionClient alice, bob;
  ASSERT_EQ(LogIn(alice, daemon.port(), "alice"), LoginOutcome::kAccepted);
  ASSERT_EQ(LogIn(bob, daemon.port(), "bob"), LoginOutcome::kAccepted);
  Download first, second, unlimited;
  DataConnection upload;
  const auto start = Clock::now();
  ASSERT_EQ(first.relay.open(alice, kLoopbackAddress, source.port(), kIoTimeoutMs),
            ClientStatus::kOk);
  ASSERT_EQ(second.relay.open(alice, kLoopbackAddress, source.port(), kIoTimeoutMs),
            ClientStatus::kOk);
  ASSERT_EQ(unlimited.relay.open(bob, kLoopbackAddress, bigSource.port(), kIoTimeoutMs),
            ClientStatus::kOk);
  ASSERT_EQ(upload.open(alice, kLoopbackAddress, sink.port(), kIoTimeoutMs), ClientStatus::kOk);

  // What alice's limited downloads held when the others were done.
  std::atomic<std::size_t> limitedWhenBobDone{0}, limitedWhenUploaded{0}, otherWhenOneDone{0};
  std::atomic<bool> oneDone{false};
  auto limited = [&](Download& mine, Download& other) {
    mine.run();
    if (!oneDone.exchange(true)) otherWhenOneDone = other.got.load();
  };
  std::thread a([&] { limited(first, second); });
  std::thread b([&] { limited(second, first); });
  std::thread c([&] {
    unlimited.run();
    limitedWhenBobDone = first.got + second.got;
  });
  std::thread d([&] {
    // Alice's own other direction: an upload beside her limited downloads.
    if (upload.send(Pattern(0, kFree), 30'000) != ClientStatus::kOk) return;
    if (WaitUntil([&] { return sunk.load() >= kFree; }, 30'000)) {
      limitedWhenUploaded = first.got + second.got;
    }
  });
  a.join();
  b.join();
  const double elapsed = SecondsSince(start);
  c.join();
  d.join();
  std::printf("10 MB at 1 MB/s over two relays: %.2f s; the second had %zu bytes when the first "
              "ended; alice's downloads held %zu when bob's 10 MB was in, %zu when her upload "
              "was\n",
              elapsed, otherWhenOneDone.load(), limitedWhenBobDone.load(),
              limitedWhenUploaded.load());

  EXPECT_EQ(first.got.load(), kEach);
  EXPECT_EQ(second.got.load(), kEach);
  EXPECT_EQ(first.end, ClientStatus::kClosed);
  // The limit itself: 10 MB at 1 MB/s, less the burst allowed after a pause.
  EXPECT_GE(elapsed, 9.0);
  // Fair: neither relay starves while the other takes the rate.
  EXPECT_GE(otherWhenOneDone.load(), kEach / 2);
  // Another user and the other direction are not held back: they are done long before half of
  // the limited downloads.
  EXPECT_EQ(unlimited.got.load(), kFree);
  EXPECT_LT(limitedWhenBobDone.load(), kEach);
  EXPECT_EQ(sunk.load(), kFree);
  EXPECT_TRUE(intact.load());
  EXPECT_LT(limitedWhenUploaded.load(), kEach);
}

// Logging in again and again buys no fresh burst: the user's allowance outlives the session.
TEST_F(PolicyTest, ALimitedUserLoggingInAgainInALoopStaysWithinTheLimit) {
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(addUser("alice"));
  constexpr std::int64_t kRate = 100'000;
  ASSERT_TRUE(setPolicy("alice", Rates(kRate, 0)));
  LoopbackTcpServer source(SourceHandler(1'000'000));  // far more than a session gets
  std::size_t got = 0;
  int logins = 0;
  const auto start = Clock::now();
  while (SecondsSince(start) < 3.0) {
    SessionClient alice;
    ASSERT_EQ(LogIn(alice, daemon.port(), "alice"), LoginOutcome::kAccepted);
    ++logins;
    DataConnection relay;
    ASSERT_EQ(relay.open(alice, kLoopbackAddress, source.port(), kIoTimeoutMs), ClientStatus::kOk);
    const auto session = Clock::now();
    ByteBuffer piece;
    while (SecondsSince(session) < 0.1) {
      piece.clear();
      const ClientStatus status = relay.receive(piece, 20);
      if (status != ClientStatus::kOk && status != ClientStatus::kTimeout) break;
      got += piece.size();
    }
  }
  const double elapsed = SecondsSince(start);
  std::printf("%d logins in %.2f s moved %zu bytes at a limit of %lld bytes/s\n", logins,
              elapsed, got, static_cast<long long>(kRate));
  // The rate over the whole loop, plus the one burst (an eighth of a second) it began with.
  EXPECT_LE(static_cast<double>(got), 1.1 * kRate * elapsed + kRate / 8.0);
  EXPECT_GE(logins, 5);
}

TEST_F(PolicyTest, UploadLimitHoldsBackTcpAndDatagramsPastTheAllowanceAreDropped) {
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(addUser("alice") && addUser("carol") && addUser("dave"));
  ASSERT_TRUE(setPolicy("alice", Rates(0, 1'000'000)));
  // A rate far below what is sent: past the first datagram the allowance is spent.
  ASSERT_TRUE(setPolicy("carol", Rates(0, 20'000)));
  ASSERT_TRUE(setPolicy("dave", Rates(20'000, 0)));
  std::atomic<bool> release{true};
  std::atomic<std::size_t> sunk{0};
  std::atomic<bool> intact{true};
  LoopbackTcpServer sink(SinkHandler(release, sunk, intact));
  UdpEchoServer udpEcho;

  SessionClient alice;
  ASSERT_EQ(LogIn(alice, daemon.port(), "alice"), LoginOutcome::kAccepted);
  constexpr std::size_t kUpload = 3'000'000;
  DataConnection upload;
  const auto start = Clock::now();
  ASSERT_EQ(upload.open(alice, kLoopbackAddress, sink.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(upload.send(Pattern(0, kUpload), 30'000), ClientStatus::kOk);
  ASSERT_TRUE(WaitUntil([&] { return sunk.load() >= kUpload; }, 30'000));
  const double elapsed = SecondsSince(start);
  std::printf("3 MB up at 1 MB/s: %.2f s\n", elapsed);
  EXPECT_GE(elapsed, 2.5);
  EXPECT_TRUE(intact.load());

  // Ten datagrams back to back, far past the rate: from the client (carol) and toward it
  // (dave), the first passes and most of the rest are dropped.
  const std::vector<std::uint8_t> datagram = Pattern(0, 8000);
  for (const char* name : {"carol", "dave"}) {
    SessionClient session;
    ASSERT_EQ(LogIn(session, daemon.port(), name), LoginOutcome::kAccepted);
    for (int i = 0; i < 10; ++i) {
      ASSERT_EQ(session.sendUdpData(kLoopbackAddress, udpEcho.port(), 1, datagram),
                ClientStatus::kOk);
    }
    const int back = DatagramsBack(session);
    std::printf("%s: %d of 10 datagrams came back\n", name, back);
    EXPECT_GE(back, 1) << name;
    EXPECT_LE(back, 3) << name;
  }
}

TEST_F(PolicyTest, UpAndDownCountersAddUpToTheDesignsCounterAfterMixedTraffic) {
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(addUser("alice"));
  LoopbackTcpServer echo(EchoHandler);
  LoopbackTcpServer source(SourceHandler(50'000));
  std::atomic<bool> release{true};
  std::atomic<std::size_t> sunk{0};
  std::atomic<bool> intact{true};
  LoopbackTcpServer sink(SinkHandler(release, sunk, intact));

  SessionClient alice;
  ASSERT_EQ(LogIn(alice, daemon.port(), "alice"), LoginOutcome::kAccepted);
  ASSERT_TRUE(Echoes(alice, echo.port(), 30'000));  // 30,000 each way
  Download download;
  ASSERT_EQ(download.relay.open(alice, kLoopbackAddress, source.port(), kIoTimeoutMs),
            ClientStatus::kOk);
  download.run();
  ASSERT_EQ(download.got.load(), 50'000u);
  DataConnection upload;
  ASSERT_EQ(upload.open(alice, kLoopbackAddress, sink.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(upload.send(Pattern(0, 20'000)), ClientStatus::kOk);
  ASSERT_TRUE(WaitUntil([&] { return sunk.load() >= 20'000; }));
  upload.close();
  alice.close();  // the end of the session stores what it counted

  std::optional<UserPolicy> policy;
  ASSERT_TRUE(WaitUntil([&] {
    policy = ReadPolicy(HomeStore(daemon.home()), "alice");
    return policy && policy->bytesDown + policy->bytesUp >= 130'000;
  }));
  EXPECT_EQ(policy->bytesDown, 80'000);
  EXPECT_EQ(policy->bytesUp, 50'000);
  EXPECT_EQ(daemon.storedCounter("alice"), 130'000);
}

TEST_F(PolicyTest, AMonthlyPeriodBegunLongAgoResetsTheCounterOnceAtTheNextLogin) {
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(addUser("alice", 100'000));
  const StoreEnv store = HomeStore(daemon.home());
  ASSERT_TRUE(WriteCounter(store, "alice", 100'000));  // at the limit
  UserPolicy policy{};
  policy.period = POLICY_PERIOD_MONTHLY;
  policy.periodAnchor = EpochNow() - 400 * 86'400;
  policy.periodStart =
      PolicyPeriodStart(POLICY_PERIOD_MONTHLY, policy.periodAnchor, EpochNow() - 70 * 86'400);
  ASSERT_GT(policy.periodStart, 0);
  ASSERT_TRUE(WritePolicy(store, "alice", policy));
  LoopbackTcpServer echo(EchoHandler);

  SessionClient alice;
  ASSERT_EQ(LogIn(alice, daemon.port(), "alice"), LoginOutcome::kAccepted);
  std::int64_t limit = 0, counter = -1;
  ASSERT_EQ(alice.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_EQ(counter, 0);
  // Relays work again, and what they carry counts in the new period.
  ASSERT_TRUE(Echoes(alice, echo.port(), 1000));
  alice.close();
  ASSERT_TRUE(WaitUntil([&] { return daemon.storedCounter("alice") == 2000; }));

  // The next login finds the period current: the counter stays.
  SessionClient again;
  ASSERT_EQ(LogIn(again, daemon.port(), "alice"), LoginOutcome::kAccepted);
  ASSERT_EQ(again.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_EQ(counter, 2000);
  const std::optional<UserPolicy> after = ReadPolicy(store, "alice");
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->periodStart,
            PolicyPeriodStart(POLICY_PERIOD_MONTHLY, policy.periodAnchor, EpochNow()));
  EXPECT_EQ(Occurrences(daemon.process().stderrText(), kPeriodLine), 1u)
      << daemon.process().stderrText();
}

TEST_F(PolicyTest, ABoundaryWhileLoggedInResetsTellsTheConsoleAndLetsRelaysThroughAgain) {
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(addUser("alice", 50'000));
  const StoreEnv store = HomeStore(daemon.home());
  ASSERT_TRUE(WriteCounter(store, "alice", 60'000));  // past the limit
  const UserPolicy policy = DailyWithBoundarySoon();
  ASSERT_TRUE(WritePolicy(store, "alice", policy));
  LoopbackTcpServer echo(EchoHandler);
  std::unique_ptr<ControlClient> console = ConnectTo(daemon);
  ASSERT_NE(console, nullptr);
  NotificationLog log;
  std::unique_ptr<NotifyListener> listener;
  ASSERT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), listener),
            PortStatus::Ok);
  ASSERT_TRUE(console->CtlAttach());

  SessionClient alice;
  ASSERT_EQ(LogIn(alice, daemon.port(), "alice"), LoginOutcome::kAccepted);
  EXPECT_FALSE(Echoes(alice, echo.port(), 1000));  // over the limit: the relay is closed
  const auto resetSeen = [&] {
    for (const Notification& n : log.all()) {
      if (n.code == NTF_USER_CHANGED && n.name == "alice" && n.user.counter == 0) return true;
    }
    return false;
  };
  ASSERT_TRUE(WaitUntil(resetSeen, 15'000));
  EXPECT_EQ(Occurrences(daemon.process().stderrText(), kPeriodLine), 1u);
  EXPECT_TRUE(Echoes(alice, echo.port(), 1000));
  std::int64_t limit = 0, counter = -1;
  ASSERT_EQ(alice.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_EQ(counter, 2000);
  console->CtlDetach();
}

TEST(PolicyLoginTest, SessionCapAndExpiryRefuseWithTheDesignedRepliesAndRows) {
  TestDaemon daemon(AuditedSettings(false));
  ASSERT_TRUE(daemon.started());
  for (const char* name : {"alice", "bob", "carol", "dave"}) ASSERT_TRUE(daemon.addUser(name, "pw"));
  const auto setPolicy = [&](const std::string& name, const UserPolicy& policy) {
    return WritePolicy(HomeStore(daemon.home()), name, policy);
  };
  UserPolicy cap{};
  cap.maxSessions = 2;
  ASSERT_TRUE(setPolicy("alice", cap));
  UserPolicy expired{};
  expired.expires = EpochNow() - 60;
  ASSERT_TRUE(setPolicy("carol", expired));
  UserPolicy current{};
  current.expires = EpochNow() + 3600;
  ASSERT_TRUE(setPolicy("dave", current));

  // Two of alice's sessions with MultiConnect off; a third is a double connect.
  SessionClient a1, a2, a3, b1, b2, c1, d1;
  EXPECT_EQ(LogIn(a1, daemon.port(), "alice"), LoginOutcome::kAccepted);
  EXPECT_EQ(LogIn(a2, daemon.port(), "ALICE"), LoginOutcome::kAccepted);
  EXPECT_EQ(LogIn(a3, daemon.port(), "alice"), LoginOutcome::kDoubleConnect);
  // Without a cap MultiConnect's rule stands.
  EXPECT_EQ(LogIn(b1, daemon.port(), "bob"), LoginOutcome::kAccepted);
  EXPECT_EQ(LogIn(b2, daemon.port(), "bob"), LoginOutcome::kDoubleConnect);
  EXPECT_EQ(LogIn(c1, daemon.port(), "carol"), LoginOutcome::kUserLocked);
  EXPECT_EQ(LogIn(d1, daemon.port(), "dave"), LoginOutcome::kAccepted);
  // Once one of alice's sessions has ended, another may begin.
  a1.close();
  SessionClient a4;
  EXPECT_TRUE(WaitUntil(
      [&] { return LogIn(a4, daemon.port(), "alice") == LoginOutcome::kAccepted; }));

  const auto rows = daemon.auditRows();
  const auto has = [&](const std::string& name, const std::string& outcome) {
    const std::string row = "\"" + name + "[127.0.0.1]\",\"open\",\"\",\"\",\"" + outcome + "\"";
    return std::find(rows.begin(), rows.end(), row) != rows.end();
  };
  EXPECT_TRUE(has("alice", "double connect"));
  EXPECT_TRUE(has("bob", "double connect"));
  EXPECT_TRUE(has("carol", "user locked"));
  EXPECT_TRUE(has("dave", "done"));
}

TEST(PolicySharedStoreTest, TwoDaemonsOnOneStoreResetAtTheBoundaryExactlyOnce) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {{"alice", "pw", 0}}), "");
  const StoreEnv store = ConnectedStore(StoreOn(cluster.port()));
  StoreDaemon first(StoreOn(cluster.port()));
  StoreDaemon second(StoreOn(cluster.port()));
  ASSERT_TRUE(first.started()) << first.process().stderrText();
  ASSERT_TRUE(second.started()) << second.process().stderrText();
  constexpr std::int64_t kBefore = 1'000'000'000;
  ASSERT_TRUE(WriteCounter(store, "alice", kBefore));
  const UserPolicy policy = DailyWithBoundarySoon();
  ASSERT_TRUE(WritePolicy(store, "alice", policy));

  SessionClient onFirst, onSecond;
  ASSERT_EQ(LogIn(onFirst, first.port(), "alice"), LoginOutcome::kAccepted);
  ASSERT_EQ(LogIn(onSecond, second.port(), "alice"), LoginOutcome::kAccepted);
  // Both daemons' sessions take the new period, whichever daemon began it.
  const auto reset = [](SessionClient& session) {
    std::int64_t limit = 0, counter = -1;
    return session.trafficInfo(limit, counter, kIoTimeoutMs) == ClientStatus::kOk &&
           counter < kBefore;
  };
  EXPECT_TRUE(WaitUntil([&] { return reset(onFirst) && reset(onSecond); }, 15'000));
  const std::size_t lines = Occurrences(first.process().stderrText(), kPeriodLine) +
                            Occurrences(second.process().stderrText(), kPeriodLine);
  EXPECT_EQ(lines, 1u) << first.process().stderrText() << second.process().stderrText();
  EXPECT_EQ(StoredCounter(cluster, "alice"), 0);
  onFirst.close();
  onSecond.close();
  EXPECT_EQ(first.process().stop(SIGTERM), 0) << first.process().stderrText();
  EXPECT_EQ(second.process().stop(SIGTERM), 0) << second.process().stderrText();
}

// A relay's bytes received until told to stop, counted as they come.
struct SteadyDownload {
  DataConnection relay;
  std::atomic<std::size_t> got{0};
  std::atomic<bool> stop{false};
  std::thread reader;
  void start() {
    reader = std::thread([this] {
      ByteBuffer piece;
      while (!stop.load()) {
        piece.clear();
        const ClientStatus status = relay.receive(piece, 100);
        if (status != ClientStatus::kOk && status != ClientStatus::kTimeout) return;
        got += piece.size();
      }
    });
  }
  void end() {
    stop = true;
    if (reader.joinable()) reader.join();
    relay.close();
  }
};

// Bytes per second that downloads moved over seconds (the downloads go on meanwhile).
double RateOver(const std::vector<SteadyDownload*>& downloads, double seconds) {
  auto total = [&] {
    std::size_t sum = 0;
    for (const SteadyDownload* download : downloads) sum += download->got.load();
    return sum;
  };
  const std::size_t before = total();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return static_cast<double>(total() - before) / SecondsSince(start);
}

// One user downloading through three daemons of a store gets about the limit in all, not three
// times it; as the downloads end one by one, the daemons still relaying get the rest back.
TEST(PolicySharedStoreTest, ALimitedUserOnThreeDaemonsGetsTheLimitInAll) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {{"alice", "pw", 0}}), "");
  constexpr std::int64_t kRate = 300'000;
  ASSERT_TRUE(WritePolicy(ConnectedStore(StoreOn(cluster.port())), "alice", Rates(kRate, 0)));
  std::vector<std::unique_ptr<StoreDaemon>> daemons;
  for (int i = 0; i < 3; ++i) {
    daemons.push_back(std::make_unique<StoreDaemon>(StoreOn(cluster.port())));
    ASSERT_TRUE(daemons.back()->started()) << daemons.back()->process().stderrText();
  }
  // Each relay gets at most the limit for some 15 s: 8 MB each outlasts the test.
  LoopbackTcpServer source(SourceHandler(8'000'000));
  SessionClient sessions[3];
  SteadyDownload downloads[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(LogIn(sessions[i], daemons[i]->port(), "alice"), LoginOutcome::kAccepted);
    ASSERT_EQ(downloads[i].relay.open(sessions[i], kLoopbackAddress, source.port(),
                                      kIoTimeoutMs),
              ClientStatus::kOk);
  }
  for (SteadyDownload& download : downloads) download.start();
  // Through three daemons, then two, then one: each time after the reports have settled.
  double rates[3];
  for (int relaying = 3; relaying >= 1; --relaying) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<SteadyDownload*> going;
    for (int i = 0; i < relaying; ++i) going.push_back(&downloads[i]);
    rates[3 - relaying] = RateOver(going, 3.0);
    downloads[relaying - 1].end();
  }
  std::printf("limit %lld bytes/s, in all through three daemons: %.0f (%.0f %%), two: %.0f "
              "(%.0f %%), one: %.0f (%.0f %%)\n",
              static_cast<long long>(kRate), rates[0], 100 * rates[0] / kRate, rates[1],
              100 * rates[1] / kRate, rates[2], 100 * rates[2] / kRate);
  for (double rate : rates) {
    EXPECT_GE(rate, 0.6 * kRate);
    EXPECT_LE(rate, 1.25 * kRate);
  }
  for (auto& daemon : daemons) {
    EXPECT_EQ(daemon->process().stop(SIGTERM), 0) << daemon->process().stderrText();
  }
}

}  // namespace
}  // namespace tarvo::test
