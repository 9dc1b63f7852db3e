// Scale-out as the README sets it up: two daemons on one PostgreSQL store behind HAProxy in
// TCP mode with balance source. Twenty clients from distinct 127.0.0.x addresses log in and
// relay through the balancer; both daemons get some of them, every relay works (its data
// connection reached the daemon that holds its session), and the stored counters come to
// every byte relayed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "console/control_client/control_client.h"
#include "tests/haproxy_balancer.h"
#include "tests/install_layout.h"
#include "tests/loopback_servers.h"
#include "tests/postgres_store.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::LoginOutcome;

constexpr int kClients = 20;
constexpr std::size_t kPieces = 3;
constexpr std::size_t kPiece = 20'011;  // odd, so records never line up with reads

// The sessions a daemon holds, asked over its control channel; -1 when it cannot be asked.
int SessionsOf(StoreDaemon& daemon) {
  ::setenv("TARVO_RUNTIME_DIR", daemon.process().home().c_str(), 1);
  std::unique_ptr<ControlClient> console;
  if (ControlClient::ConnectControlPort(console) != PortStatus::Ok) return -1;
  console->setRequestTimeout(kIoTimeoutMs);
  std::vector<UserInfo> sessions;
  console->CtlListSessions(sessions);
  return console->lastDelivered() ? static_cast<int>(sessions.size()) : -1;
}

struct Client {
  StoreUser user;
  client::SessionClient session;
  client::DataConnection relay;
  std::size_t sent = 0;
};

TEST(ScaleOutTest, TwoDaemonsBehindHaproxyShareTheClientsAndCountEveryByte) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  if (HaproxyBalancer::Binary().empty()) GTEST_SKIP() << "no haproxy";
  std::vector<Client> clients(kClients);
  std::vector<StoreUser> users;
  for (int i = 0; i < kClients; ++i) {
    clients[i].user = {"user" + std::to_string(i), "pw-" + std::to_string(i * 7919), 0};
    users.push_back(clients[i].user);
  }
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, users), "");
  StoreDaemon first(StoreOn(cluster.port()));
  StoreDaemon second(StoreOn(cluster.port()));
  ASSERT_TRUE(first.started()) << first.process().stderrText();
  ASSERT_TRUE(second.started()) << second.process().stderrText();
  HaproxyBalancer balancer;
  ASSERT_TRUE(balancer.start({first.port(), second.port()})) << balancer.error();
  LoopbackTcpServer echo(EchoHandler);
  const std::uint32_t loopback = ::inet_addr("127.0.0.1");

  for (int i = 0; i < kClients; ++i) {
    Client& c = clients[i];
    // 127.0.0.10 to 127.0.0.29: a client each, as twenty hosts would be.
    c.session.setSourceAddress(::inet_addr(("127.0.0." + std::to_string(10 + i)).c_str()));
    ASSERT_EQ(c.session.open("127.0.0.1", static_cast<std::uint16_t>(balancer.port()), "2.0.5",
                             kIoTimeoutMs),
              ClientStatus::kOk)
        << i;
    ASSERT_EQ(c.session.login(c.user.name, c.user.password, kIoTimeoutMs).outcome,
              LoginOutcome::kAccepted)
        << i;
    ASSERT_EQ(c.relay.open(c.session, loopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk)
        << i;
  }
  // Each daemon holds some of the sessions, and together all of them.
  const int onFirst = SessionsOf(first);
  const int onSecond = SessionsOf(second);
  EXPECT_GT(onFirst, 0);
  EXPECT_GT(onSecond, 0);
  EXPECT_EQ(onFirst + onSecond, kClients);

  for (std::size_t piece = 0; piece < kPieces; ++piece) {
    for (Client& c : clients) {
      ASSERT_EQ(EchoThrough(c.relay, c.sent, kPiece), "") << c.user.name << " piece " << piece;
      c.sent += kPiece;
    }
  }
  // A second relay of every session, opened afresh through the balancer.
  for (Client& c : clients) {
    client::DataConnection again;
    ASSERT_EQ(again.open(c.session, loopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
    ASSERT_EQ(EchoThrough(again, 0, kPiece), "") << c.user.name;
    c.sent += kPiece;
  }
  // The sessions' ends store what they counted: the plaintext each way, so twice each byte.
  for (Client& c : clients) {
    c.relay.close();
    c.session.close();
  }
  for (const Client& c : clients) {
    const auto expected = static_cast<std::int64_t>(2 * c.sent);
    std::int64_t stored = -1;
    EXPECT_TRUE(WaitUntil([&] { return (stored = StoredCounter(cluster, c.user.name)) == expected; },
                          60'000))
        << c.user.name << ": stored " << stored << ", relayed " << expected;
  }
  EXPECT_EQ(first.process().stop(SIGTERM), 0) << first.process().stderrText();
  EXPECT_EQ(second.process().stop(SIGTERM), 0) << second.process().stderrText();
}

}  // namespace
}  // namespace tarvo::test
