// A PostgreSQL user store that goes away or turns slow under a running daemon: logged-in
// sessions go on relaying and are answered, every byte they relayed reaches the store once it
// is back, and a store that takes its time holds up nobody who is not waiting for it. Each case
// starts its own PostgreSQL server on loopback; the slow store sits behind a delay proxy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "console/control_client/control_client.h"
#include "external/reader.h"
#include "server/service/base/settings.h"
#include "tests/delay_proxy.h"
#include "tests/install_layout.h"
#include "tests/loopback_servers.h"
#include "tests/postgres_cluster.h"
#include "tests/postgres_store.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::LoginOutcome;
using client::SessionClient;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::uint32_t kLoopback = ::inet_addr("127.0.0.1");

LoginOutcome LogIn(SessionClient& session, std::uint16_t port, const StoreUser& user,
                   int timeoutMs = kIoTimeoutMs) {
  if (session.open("127.0.0.1", port, "2.0.5", timeoutMs) != ClientStatus::kOk) {
    return LoginOutcome::kFailed;
  }
  return session.login(user.name, user.password, timeoutMs).outcome;
}

// One logged-in client with a relay to the echo server, and what it has relayed (the daemon
// counts the plaintext each way, so an echoed byte counts twice).
struct RelayingClient {
  StoreUser user;
  SessionClient session;
  DataConnection relay;
  std::size_t sent = 0;
  std::int64_t counted() const { return static_cast<std::int64_t>(2 * sent); }
};

TEST(StoreOutageTest, SessionsOutliveAStoppedStoreAndEveryRelayedByteIsStoredOnceItIsBack) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  constexpr std::int64_t kAliceLimit = 1'000'000'000;
  std::vector<RelayingClient> clients(2);
  clients[0].user = {"alice", "secret", kAliceLimit};
  clients[1].user = {"bob", "good", 0};
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {clients[0].user, clients[1].user}), "");
  StoreDaemon daemon(StoreOn(cluster.port()));
  ASSERT_TRUE(daemon.started()) << daemon.process().stderrText();
  LoopbackTcpServer echo(EchoHandler);

  // Odd sizes, so records never line up with the daemon's reads.
  constexpr std::size_t kPiece = 30'011;
  std::vector<std::int64_t> counterBefore(clients.size());
  for (std::size_t c = 0; c < clients.size(); ++c) {
    RelayingClient& client = clients[c];
    ASSERT_EQ(LogIn(client.session, daemon.port(), client.user), LoginOutcome::kAccepted);
    ASSERT_EQ(client.relay.open(client.session, kLoopback, echo.port(), kIoTimeoutMs),
              ClientStatus::kOk);
    ASSERT_EQ(EchoThrough(client.relay, client.sent, kPiece), "");
    client.sent += kPiece;
    std::int64_t limit = -1;
    ASSERT_EQ(client.session.trafficInfo(limit, counterBefore[c], kIoTimeoutMs), ClientStatus::kOk);
    EXPECT_EQ(limit, client.user.limit);
  }

  // Down for 30 s: two store intervals fail. Each client sends at least every 2 s, so the idle
  // rule has no part in what happens.
  cluster.Stop();
  const auto stopped = Clock::now();
  int rounds = 0;
  for (; Clock::now() - stopped < 30s && rounds < 60; ++rounds) {
    for (std::size_t c = 0; c < clients.size(); ++c) {
      RelayingClient& client = clients[c];
      ASSERT_EQ(EchoThrough(client.relay, client.sent, kPiece), "") << client.user.name << " round " << rounds;
      client.sent += kPiece;
      // Answered from what the session last knew: the limit, and a counter no older than the
      // one read before the store went.
      std::int64_t limit = -1;
      std::int64_t counter = -1;
      ASSERT_EQ(client.session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk)
          << client.user.name << " round " << rounds;
      EXPECT_EQ(limit, client.user.limit);
      EXPECT_GE(counter, counterBefore[c]);
      EXPECT_LE(counter, client.counted());
    }
    std::this_thread::sleep_for(1s);
  }
  EXPECT_GE(rounds, 15);
  const std::string lost = "TarvoServer: the user store does not answer";
  const std::string back = "TarvoServer: the user store answers again\n";
  EXPECT_NE(daemon.process().stderrText().find(lost), std::string::npos)
      << daemon.process().stderrText();

  ASSERT_TRUE(cluster.Restart()) << cluster.error();
  for (RelayingClient& client : clients) {
    ASSERT_EQ(EchoThrough(client.relay, client.sent, kPiece), "") << client.user.name;
    client.sent += kPiece;
    std::int64_t limit = -1;
    std::int64_t counter = -1;
    EXPECT_EQ(client.session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
    // The sessions' end stores what they counted.
    client.relay.close();
    client.session.close();
  }
  for (const RelayingClient& client : clients) {
    std::int64_t stored = -1;
    WaitUntil([&] { return (stored = StoredCounter(cluster, client.user.name)) == client.counted(); },
              60'000);
    EXPECT_EQ(stored, client.counted()) << client.user.name;
  }
  // Told once it answers again, after the last time it was said to be lost.
  const std::string said = daemon.process().stderrText();
  EXPECT_NE(said.rfind(back), std::string::npos) << said;
  EXPECT_GT(said.rfind(back), said.rfind(lost)) << said;
  EXPECT_TRUE(daemon.process().running());
  EXPECT_EQ(daemon.process().stop(SIGTERM), 0) << daemon.process().stderrText();
}

TEST(StoreOutageTest, LoginsWaitingOnASlowStoreDoNotHoldUpAnotherUsersRelay) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  const StoreUser alice{"alice", "secret", 0};
  const StoreUser bob{"bob", "good", 0};
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {alice, bob}), "");
  DelayProxy proxy(static_cast<std::uint16_t>(cluster.port()), 0us);
  ASSERT_TRUE(proxy.start());
  StoreDaemon daemon(StoreOn(proxy.port()));
  ASSERT_TRUE(daemon.started()) << daemon.process().stderrText();
  LoopbackTcpServer echo(EchoHandler);

  SessionClient session;
  DataConnection relay;
  ASSERT_EQ(LogIn(session, daemon.port(), alice), LoginOutcome::kAccepted);
  ASSERT_EQ(relay.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  std::size_t sent = 0;
  ASSERT_EQ(EchoThrough(relay, sent, 1), "");
  ++sent;

  // Every store call now takes at least 400 ms (a new store connection several times that);
  // more logins than there are store workers keep every worker waiting.
  proxy.setDelay(200ms);
  constexpr int kLogins = 6;
  std::atomic<int> inFlight{kLogins};
  std::atomic<int> accepted{0};
  std::vector<std::thread> logins;
  for (int i = 0; i < kLogins; ++i) {
    logins.emplace_back([&] {
      SessionClient other;
      if (LogIn(other, daemon.port(), bob, 60'000) == LoginOutcome::kAccepted) ++accepted;
      --inFlight;
    });
  }
  // Echoes until the last login is answered (bounded in count). A network thread held by the
  // store would answer at most one echo per store call while the logins wait.
  int echoesWhileWaiting = 0;
  std::string failure;
  for (int i = 0; inFlight.load() > 0 && i < 20'000 && failure.empty(); ++i) {
    const bool waiting = inFlight.load() > 0;
    failure = EchoThrough(relay, sent, 1);
    if (!failure.empty()) failure = "echo " + std::to_string(i) + ": " + failure;
    ++sent;
    if (waiting) ++echoesWhileWaiting;
    std::this_thread::sleep_for(5ms);
  }
  for (auto& thread : logins) thread.join();
  ASSERT_EQ(failure, "") << "daemon running: " << daemon.process().running() << "\naudit:\n"
                         << ReadText(daemon.process().home() + "/vpn_log.csv") << "stderr:\n"
                         << daemon.process().stderrText();
  EXPECT_EQ(accepted.load(), kLogins);
  EXPECT_GE(echoesWhileWaiting, 10);
  // alice's session was never held up either: it answers at once from the slow store.
  std::int64_t limit = -1;
  std::int64_t counter = -1;
  EXPECT_EQ(session.trafficInfo(limit, counter, 30'000), ClientStatus::kOk);

  proxy.setDelay(0us);
  relay.close();
  session.close();
  EXPECT_EQ(daemon.process().stop(SIGTERM), 0) << daemon.process().stderrText();
}

// A console request inside a store call that does not answer must not keep the daemon from
// stopping: the stop waits a few seconds for it, then ends without it.
TEST(StoreOutageTest, StopIsPromptWhileAConsoleRequestWaitsOnAHangingStore) {
  if (PostgresCluster::BinaryDirectory().empty()) GTEST_SKIP() << "no PostgreSQL server";
  const StoreUser alice{"alice", "secret", 0};
  PostgresCluster cluster;
  ASSERT_EQ(StartStore(cluster, {alice}), "");
  DelayProxy proxy(static_cast<std::uint16_t>(cluster.port()), 0us);
  ASSERT_TRUE(proxy.start());
  StoreDaemon daemon(StoreOn(proxy.port()));
  ASSERT_TRUE(daemon.started()) << daemon.process().stderrText();
  ::setenv("TARVO_RUNTIME_DIR", daemon.process().home().c_str(), 1);
  std::unique_ptr<ControlClient> console;
  ASSERT_EQ(ControlClient::ConnectControlPort(console), PortStatus::Ok);
  console->setRequestTimeout(60'000);

  proxy.setDelay(60s);  // every store call now hangs
  std::thread request([&] { console->CtlAddUser("carol", "pw", 0, false); });
  // Time for the request to reach the daemon's store call; were it not there yet, the stop
  // would only be easier.
  std::this_thread::sleep_for(500ms);
  const auto start = Clock::now();
  EXPECT_EQ(daemon.process().stop(SIGTERM, 20'000), 0) << daemon.process().stderrText();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("[ figures ] stop with a console request on a hanging store: %lld ms\n",
              static_cast<long long>(took.count()));
  request.join();  // its daemon has gone: the request fails
  proxy.setDelay(0us);
}

// The proxy itself: bytes arrive whole and in order both ways, an end of stream is passed on,
// and refusing cuts what is open and what comes.
TEST(DelayProxyTest, ForwardsBothWaysInOrderAndCutsWhenRefusing) {
  LoopbackTcpServer echo(EchoHandler);
  DelayProxy proxy(echo.port(), 2ms);
  ASSERT_TRUE(proxy.start());

  client::Socket socket;
  ASSERT_EQ(socket.connect("127.0.0.1", proxy.port(), kIoTimeoutMs), ClientStatus::kOk);
  constexpr std::size_t kBytes = 3 << 20;
  std::vector<std::uint8_t> bytes(kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) bytes[i] = PatternByte(i);
  ClientStatus sendStatus = ClientStatus::kIoError;
  std::thread sender([&] { sendStatus = socket.sendAll(bytes, 30'000); });
  ByteBuffer back;
  for (int reads = 0; back.size() < kBytes && reads < 100'000; ++reads) {
    if (socket.receiveSome(back, kBytes - back.size(), 30'000) != ClientStatus::kOk) break;
  }
  sender.join();
  EXPECT_EQ(sendStatus, ClientStatus::kOk);
  ASSERT_EQ(back.size(), kBytes);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.data()));
  // The echo server closes when it reads the end of stream, and that end comes back.
  ::shutdown(socket.fd(), SHUT_WR);
  EXPECT_TRUE(ClosedByPeer(socket));

  client::Socket open;
  ASSERT_EQ(open.connect("127.0.0.1", proxy.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(open.sendAll(std::span(bytes).first(64 << 10), kIoTimeoutMs), ClientStatus::kOk);
  proxy.setRefusing(true);
  EXPECT_TRUE(ClosedByPeer(open));
  client::Socket refused;
  if (refused.connect("127.0.0.1", proxy.port(), kIoTimeoutMs) == ClientStatus::kOk) {
    EXPECT_TRUE(ClosedByPeer(refused));
  }
  proxy.setRefusing(false);
  client::Socket again;
  ASSERT_EQ(again.connect("127.0.0.1", proxy.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(again.sendAll(std::span(bytes).first(5), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer five;
  EXPECT_TRUE(ReadExactly(again, five, 5));
}

}  // namespace
}  // namespace tarvo::test
