// One daemon behind HAProxy with send-proxy-v2 and the balancer trusted: every client is known
// by its own address (sessions, audit rows, data connections, the login throttle), and the
// header is taken from the trusted balancer only, and required of it.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server/common/proxy_header.h"
#include "tests/control_test_support.h"
#include "tests/daemon_probe.h"
#include "tests/haproxy_balancer.h"
#include "tests/loopback_servers.h"
#include "tests/relay_probes.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::LoginOutcome;
using client::SessionClient;

const std::uint32_t kBalancer = ::inet_addr("127.0.0.1");

class BalancerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (HaproxyBalancer::Binary().empty()) GTEST_SKIP() << "no haproxy";
    ASSERT_TRUE(daemon.started());
    for (const char* user : {"alice", "bob"}) ASSERT_TRUE(daemon.addUser(user, "secret"));
    ASSERT_TRUE(balancer.start({daemon.port()}, /*proxyHeader=*/true)) << balancer.error();
  }

  static ServerSettingsRecord Settings() {
    ServerSettingsRecord settings = AuditedSettings(/*multiConnect=*/true);
    settings.TrustedBalancers = "127.0.0.1/32";
    return settings;
  }

  LoginOutcome logIn(SessionClient& session, const char* from, const char* user,
                     const char* password = "secret") {
    session.setSourceAddress(::inet_addr(from));
    if (session.open("127.0.0.1", static_cast<std::uint16_t>(balancer.port()), "2.0.5",
                     kIoTimeoutMs) != ClientStatus::kOk) {
      return LoginOutcome::kFailed;
    }
    return session.login(user, password, kIoTimeoutMs).outcome;
  }

  TestDaemon daemon{Settings()};
  HaproxyBalancer balancer;
};

TEST_F(BalancerTest, ClientsAreKnownByTheirOwnAddressesEverywhere) {
  SessionClient alice, bob;
  ASSERT_EQ(logIn(alice, "127.0.0.5", "alice"), LoginOutcome::kAccepted);
  ASSERT_EQ(logIn(bob, "127.0.0.6", "bob"), LoginOutcome::kAccepted);
  std::unique_ptr<ControlClient> console = ConnectTo(daemon);
  ASSERT_NE(console, nullptr);
  std::vector<UserInfo> sessions;
  ASSERT_EQ(console->CtlListSessions(sessions), 2u);
  std::vector<std::uint32_t> addresses{sessions[0].address, sessions[1].address};
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{::inet_addr("127.0.0.5"),
                                                   ::inet_addr("127.0.0.6")}));
  // A data connection through the balancer finds its session by the client's address.
  LoopbackTcpServer echo(EchoHandler);
  client::DataConnection relay;
  ASSERT_EQ(relay.open(alice, kBalancer, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(relay.send(std::vector<std::uint8_t>{1, 2, 3}), ClientStatus::kOk);
  ByteBuffer back;
  while (back.size() < 3 && relay.receive(back, kIoTimeoutMs) == ClientStatus::kOk) {
  }
  EXPECT_EQ(back.size(), 3u);
  const auto rows = daemon.auditRows();
  EXPECT_NE(std::find(rows.begin(), rows.end(),
                      "\"alice[127.0.0.5]\",\"open\",\"\",\"\",\"done\""),
            rows.end());

  // Ten wrong passwords for alice from one client address: bob behind the same balancer, and
  // at that same address, logs in at once.
  for (int i = 0; i < 10; ++i) {
    SessionClient guess;
    EXPECT_EQ(logIn(guess, "127.0.0.7", "alice", "wrong"), LoginOutcome::kInvalidPassword);
  }
  SessionClient held, neighbour;
  EXPECT_EQ(logIn(held, "127.0.0.7", "alice"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(logIn(neighbour, "127.0.0.7", "bob"), LoginOutcome::kAccepted);
}

TEST_F(BalancerTest, TheHeaderIsRequiredOfTheBalancerAndRefusedFromAnyoneElse) {
  // Straight from the balancer's address, without a header: closed unanswered.
  SessionClient direct;
  direct.setSourceAddress(kBalancer);
  EXPECT_NE(direct.open("127.0.0.1", daemon.port(), "2.0.5", kIoTimeoutMs), ClientStatus::kOk);
  // A header from an address that is not a balancer: closed as a malformed opening.
  const std::vector<std::uint8_t> header{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51,
                                         0x55, 0x49, 0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C,
                                         127,  0,    0,    9,    127,  0,    0,    1,
                                         0x15, 0xB3, 0x00, 0x50};
  const int fd = ConnectFrom("127.0.0.2", static_cast<std::uint16_t>(daemon.port()));
  ASSERT_GE(fd, 0);
  client::Socket forged(fd);
  ASSERT_EQ(forged.sendAll(header, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_TRUE(ClosedByPeer(forged));
}

}  // namespace
}  // namespace tarvo::test
