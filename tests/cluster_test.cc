// Daemons sharing one PostgreSQL store: a change made to a user through any of them reaches
// the user's sessions on every other at once, through the store's change announcements; the
// login throttle, a user's speed limit and session cap hold across all of them, and each lists
// every daemon's sessions. Real processes on loopback: the store, three daemons, HAProxy,
// tarvoadm.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "tests/control_test_support.h"
#include "tests/haproxy_balancer.h"
#include "tests/install_layout.h"
#include "tests/postgres_cluster.h"
#include "tests/postgres_store.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::LoginOutcome;
using client::SessionClient;
using Clock = std::chrono::steady_clock;

bool LogIn(SessionClient& session, StoreDaemon& daemon, const StoreUser& user) {
  return session.open("127.0.0.1", daemon.port(), "2.0.5", kIoTimeoutMs) == ClientStatus::kOk &&
         session.login(user.name, user.password, kIoTimeoutMs).outcome == LoginOutcome::kAccepted;
}

// One login of name with password from the loopback address from.
LoginOutcome LogInFrom(StoreDaemon& daemon, const char* from, const std::string& name,
                       const std::string& password) {
  SessionClient session;
  session.setSourceAddress(::inet_addr(from));
  if (session.open("127.0.0.1", daemon.port(), "2.0.5", kIoTimeoutMs) != ClientStatus::kOk) {
    return LoginOutcome::kFailed;
  }
  return session.login(name, password, kIoTimeoutMs).outcome;
}

ToolRun Adm(StoreDaemon& daemon, const std::vector<std::string>& args) {
  return RunTool(TARVOADM_PATH, daemon.process().home(), args, 1);
}

TEST(ClusterTest, AChangeThroughOneDaemonReachesTheUsersSessionsOnAnother) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  const StoreUser kim{"kim", "k-pass", 0}, lee{"lee", "l-pass", 0};
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {kim, lee}), "");
  StoreDaemon first(StoreOn(cluster.port())), second(StoreOn(cluster.port())),
      third(StoreOn(cluster.port()));
  for (StoreDaemon* daemon : {&first, &second, &third}) {
    ASSERT_TRUE(daemon->started()) << daemon->process().stderrText();
  }
  SessionClient kimOnThird, leeOnSecond, leeOnThird;
  ASSERT_TRUE(LogIn(kimOnThird, third, kim));
  ASSERT_TRUE(LogIn(leeOnSecond, second, lee));
  ASSERT_TRUE(LogIn(leeOnThird, third, lee));

  const auto asked = Clock::now();
  ASSERT_EQ(Adm(first, {"user", "lock", "kim"}).exit, 0);
  EXPECT_TRUE(EndedByDaemon(kimOnThird));
  // The figure for the notes (bench/cluster_lock_delay.sh reads it).
  std::printf("lock through one daemon ended the session on another after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         Clock::now() - asked)
                                         .count()));
  // Others' sessions stay; a delete through the second daemon ends the user's on the third.
  std::int64_t limit = -1, counter = -1;
  EXPECT_EQ(leeOnThird.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(Adm(second, {"user", "delete", "lee"}).exit, 0);
  EXPECT_TRUE(EndedByDaemon(leeOnThird));
  EXPECT_TRUE(EndedByDaemon(leeOnSecond));
  SessionClient again;
  EXPECT_FALSE(LogIn(again, first, kim));

  for (StoreDaemon* daemon : {&first, &second, &third}) {
    EXPECT_EQ(daemon->process().stop(SIGTERM), 0) << daemon->process().stderrText();
  }
}

TEST(ClusterTest, WrongPasswordsOnTwoDaemonsHoldTheAddressOnTheThird) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  const StoreUser alice{"alice", "a-pass", 0}, bob{"bob", "b-pass", 0};
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {alice, bob}), "");
  StoreDaemon first(StoreOn(cluster.port())), second(StoreOn(cluster.port())),
      third(StoreOn(cluster.port()));
  for (StoreDaemon* daemon : {&first, &second, &third}) {
    ASSERT_TRUE(daemon->started()) << daemon->process().stderrText();
  }
  // Ten wrong passwords at alice from one address, half through each of two daemons: the
  // third holds alice's logins from that address as one daemon that saw all ten would.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(LogInFrom(i % 2 == 0 ? first : second, "127.0.0.7", "alice", "wrong"),
              LoginOutcome::kInvalidPassword);
  }
  const auto lastGuess = Clock::now();
  EXPECT_TRUE(WaitUntil([&] {
    return third.process().stderrText().find("from 127.0.0.7 for alice") != std::string::npos;
  })) << third.process().stderrText();
  std::printf("the hold reached the third daemon %lld ms after the last wrong password\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         Clock::now() - lastGuess)
                                         .count()));
  EXPECT_EQ(LogInFrom(third, "127.0.0.7", "alice", alice.password),
            LoginOutcome::kInvalidPassword);
  // Neighbours are not held: another user at that address, alice from another.
  EXPECT_EQ(LogInFrom(third, "127.0.0.7", "bob", bob.password), LoginOutcome::kAccepted);
  EXPECT_EQ(LogInFrom(third, "127.0.0.8", "alice", alice.password), LoginOutcome::kAccepted);

  for (StoreDaemon* daemon : {&first, &second, &third}) {
    EXPECT_EQ(daemon->process().stop(SIGTERM), 0) << daemon->process().stderrText();
  }
}

// MultiConnect off, the balancer on 127.0.0.1 trusted (clients connecting straight come from
// other addresses), and the daemon taken for dead deadAfter seconds after its last heartbeat.
ServerSettingsRecord CappedSettings(int deadAfter) {
  ServerSettingsRecord settings;
  settings.MultiConnect = false;
  settings.AuditType = 1;
  settings.TrustedBalancers = "127.0.0.1/32";
  settings.DaemonDeadAfter = deadAfter;
  return settings;
}

client::LoginResult LogInFrom(SessionClient& session, const char* from, int port,
                              const StoreUser& user) {
  session.setSourceAddress(::inet_addr(from));
  if (session.open("127.0.0.1", static_cast<std::uint16_t>(port), "2.0.5", kIoTimeoutMs) !=
      ClientStatus::kOk) {
    return {};
  }
  return session.login(user.name, user.password, kIoTimeoutMs);
}

LoginOutcome OutcomeFrom(SessionClient& session, const char* from, int port,
                         const StoreUser& user) {
  return LogInFrom(session, from, port, user).outcome;
}

TEST(ClusterTest, SessionCapsHoldAcrossDaemonsUntilOneDies) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  const StoreUser solo{"solo", "s-pass"}, pair{"pair", "p-pass"}, trio{"trio", "t-pass"},
      far{"far", "f-pass"};
  std::vector<StoreUser> users{solo, pair, trio, far};
  for (int i = 0; i < 4; ++i) users.push_back({"race" + std::to_string(i), "r-pass"});
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, users), "");
  // The first is the one killed: its sessions stop counting 2 s after its last heartbeat.
  StoreDaemon first(StoreOn(cluster.port()), CappedSettings(2)),
      second(StoreOn(cluster.port()), CappedSettings(15)),
      third(StoreOn(cluster.port()), CappedSettings(15));
  for (StoreDaemon* daemon : {&first, &second, &third}) {
    ASSERT_TRUE(daemon->started()) << daemon->process().stderrText();
  }
  ASSERT_TRUE(cluster.Psql("VPNdb",
                           "INSERT INTO UserPolicyTable VALUES ('pair', 0, 0, 0, 0, 0, 2, 0, 0, 0, 0)"));

  // MultiConnect off: a second session on another daemon is refused as on one daemon.
  SessionClient soloOnFirst, soloOnSecond;
  const client::LoginResult soloLogin = LogInFrom(soloOnFirst, "127.0.0.2", first.port(), solo);
  ASSERT_EQ(soloLogin.outcome, LoginOutcome::kAccepted);
  EXPECT_EQ(OutcomeFrom(soloOnSecond, "127.0.0.3", second.port(), solo),
            LoginOutcome::kDoubleConnect);
  // A cap of 2 across three daemons.
  SessionClient pairs[3];
  EXPECT_EQ(OutcomeFrom(pairs[0], "127.0.0.4", first.port(), pair), LoginOutcome::kAccepted);
  EXPECT_EQ(OutcomeFrom(pairs[1], "127.0.0.5", second.port(), pair), LoginOutcome::kAccepted);
  EXPECT_EQ(OutcomeFrom(pairs[2], "127.0.0.5", third.port(), pair), LoginOutcome::kDoubleConnect);
  // Two logins of one user racing on two daemons: exactly one wins, every time.
  for (int i = 0; i < 4; ++i) {
    const StoreUser& racer = users[4 + i];
    SessionClient onSecond, onThird;
    LoginOutcome onSecondOutcome = LoginOutcome::kFailed;
    std::thread rival(
        [&] { onSecondOutcome = OutcomeFrom(onSecond, "127.0.0.7", second.port(), racer); });
    const LoginOutcome onThirdOutcome = OutcomeFrom(onThird, "127.0.0.8", third.port(), racer);
    rival.join();
    EXPECT_EQ((onSecondOutcome == LoginOutcome::kAccepted) +
                  (onThirdOutcome == LoginOutcome::kAccepted),
              1)
        << racer.name;
  }

  // Every daemon lists every daemon's sessions, each with its client's own address, also
  // behind the balancer.
  SessionClient trioOnThird, farThroughBalancer;
  EXPECT_EQ(OutcomeFrom(trioOnThird, "127.0.0.6", third.port(), trio), LoginOutcome::kAccepted);
  HaproxyBalancer balancer;
  const bool balanced = !HaproxyBalancer::Binary().empty();
  if (balanced) {
    ASSERT_TRUE(balancer.start({first.port(), second.port(), third.port()}, true))
        << balancer.error();
    EXPECT_EQ(OutcomeFrom(farThroughBalancer, "127.0.0.9", balancer.port(), far),
              LoginOutcome::kAccepted);
  }
  const ToolRun all = Adm(second, {"sessions", "--all"});
  ASSERT_EQ(all.exit, 0);
  auto listed = [&](StoreDaemon& daemon, const std::string& row) {
    return all.output.find(":" + std::to_string(daemon.port()) + "\t" + row) != std::string::npos;
  };
  EXPECT_TRUE(listed(first, "solo\t127.0.0.2\t")) << all.output;
  EXPECT_TRUE(listed(first, "pair\t127.0.0.4\t")) << all.output;
  EXPECT_TRUE(listed(second, "pair\t127.0.0.5\t")) << all.output;
  EXPECT_TRUE(listed(third, "trio\t127.0.0.6\t")) << all.output;
  if (balanced) {
    EXPECT_NE(all.output.find("far\t127.0.0.9\t"), std::string::npos) << all.output;
  }
  // Another daemon's session is ended where it is: the refusal names that daemon.
  char id[16];
  std::snprintf(id, sizeof id, "%08x", soloLogin.sessionId);
  const ToolRun refused = RunTool(TARVOADM_PATH, third.process().home(),
                                  {"disconnect", "solo", "127.0.0.2", id}, 2);
  EXPECT_NE(refused.exit, 0);
  EXPECT_NE(refused.output.find(":" + std::to_string(first.port())), std::string::npos)
      << refused.output;

  // A daemon killed outright: once the time it stated has passed (waited for on the store's
  // clock), its sessions no longer count.
  ASSERT_TRUE(first.process().stop(SIGKILL).has_value());
  std::string waited;
  ASSERT_TRUE(cluster.Psql(
      "VPNdb",
      "SELECT pg_sleep(GREATEST(0, alive_until - CAST(EXTRACT(EPOCH FROM clock_timestamp()) * "
      "1000 AS BIGINT)) / 1000.0 + 0.01), 'waited' FROM DaemonTable WHERE daemon_name LIKE '%:" +
          std::to_string(first.port()) + "'",
      &waited));
  ASSERT_NE(waited.find("waited"), std::string::npos);
  SessionClient soloAgain;
  EXPECT_EQ(OutcomeFrom(soloAgain, "127.0.0.3", second.port(), solo), LoginOutcome::kAccepted);
  EXPECT_EQ(Adm(third, {"sessions", "--all"}).output.find(":" + std::to_string(first.port())),
            std::string::npos);
  for (StoreDaemon* daemon : {&second, &third}) {
    EXPECT_EQ(daemon->process().stop(SIGTERM), 0) << daemon->process().stderrText();
  }
}

}  // namespace
}  // namespace tarvo::test
