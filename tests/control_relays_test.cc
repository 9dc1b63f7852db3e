// Relays as a console sees them: their notifications and list, the counter reset that stores
// pending bytes, and relaying at full speed while the console's listener is frozen.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "tests/control_test_support.h"
#include "tests/loopback_servers.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::SessionClient;

ClientStatus ReceiveCount(DataConnection& connection, ByteBuffer& into, std::size_t count,
                          int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (into.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ClientStatus::kTimeout;
    ClientStatus status = connection.receive(into, static_cast<int>(left.count()));
    if (status != ClientStatus::kOk) return status;
  }
  return ClientStatus::kOk;
}

std::vector<Notification> RelayEvents(const std::vector<Notification>& all) {
  std::vector<Notification> relays;
  for (const auto& n : all) {
    if (n.code >= NTF_RELAY_CREATED && n.code <= NTF_RELAY_CLOSED) relays.push_back(n);
  }
  return relays;
}

TEST(ControlRelays, NotificationsAndListFollowARelay) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("fay", "pw"));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  NotificationLog log;
  std::unique_ptr<NotifyListener> listener;
  ASSERT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), listener), PortStatus::Ok);
  ASSERT_TRUE(console->CtlAttach());

  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "fay", "pw"));
  LoopbackTcpServer echo(EchoHandler);
  DataConnection relay;
  ASSERT_EQ(relay.open(session, Loopback(), echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  const std::vector<std::uint8_t> ping(100, 0x5A);
  ASSERT_EQ(relay.send(ping), ClientStatus::kOk);
  ByteBuffer back;
  ASSERT_EQ(ReceiveCount(relay, back, ping.size(), kIoTimeoutMs), ClientStatus::kOk);

  std::vector<RelayInfo> relays;
  ASSERT_EQ(console->CtlListRelays("fay", Loopback(), session.sessionId(), relays), 1u);
  EXPECT_EQ(relays[0].address, Loopback());
  EXPECT_EQ(relays[0].port, echo.port());
  EXPECT_NE(relays[0].sourcePort, 0u);
  EXPECT_EQ(relays[0].connectedOrSessionId, 1u);
  EXPECT_EQ(console->CtlListRelays("fay", Loopback(), session.sessionId() + 1, relays), 0u);

  relay.close();
  ASSERT_TRUE(WaitUntil([&] { return RelayEvents(log.all()).size() >= 3; }));
  session.close();
  ASSERT_TRUE(
      WaitUntil([&] { return !log.all().empty() && log.all().back().code == NTF_SESSION_CLOSED; }));

  const auto all = log.all();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().code, NTF_SESSION_OPENED);
  const auto events = RelayEvents(all);
  ASSERT_EQ(Codes(events),
            (std::vector<std::uint32_t>{NTF_RELAY_CREATED, NTF_RELAY_CONNECTED, NTF_RELAY_CLOSED}));
  for (const auto& event : events) {
    EXPECT_EQ(event.name, "fay");
    EXPECT_EQ(event.sessionId, session.sessionId());
    EXPECT_EQ(event.relay.port, echo.port());
    EXPECT_EQ(event.relay.sourcePort, relays[0].sourcePort);
  }
}

// The console hears of a relay to the daemon's own port as of one whose connection failed.
TEST(ControlRelays, ARelayToTheDaemonsOwnPortIsNotifiedAsAFailedConnection) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("ida", "pw"));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  NotificationLog log;
  std::unique_ptr<NotifyListener> listener;
  ASSERT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), listener), PortStatus::Ok);
  ASSERT_TRUE(console->CtlAttach());

  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "ida", "pw"));
  DataConnection relay;
  ASSERT_EQ(relay.open(session, Loopback(), daemon.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_TRUE(WaitUntil([&] { return RelayEvents(log.all()).size() >= 2; }));
  session.close();
  ASSERT_TRUE(
      WaitUntil([&] { return !log.all().empty() && log.all().back().code == NTF_SESSION_CLOSED; }));
  const auto events = RelayEvents(log.all());
  EXPECT_EQ(Codes(events), (std::vector<std::uint32_t>{NTF_RELAY_CREATED, NTF_RELAY_CLOSED}));
  for (const auto& event : events) EXPECT_EQ(event.relay.port, daemon.port());
}

TEST(ControlRelays, ResetStoresThePendingBytesOfLiveSessions) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("gus", "pw"));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "gus", "pw"));
  LoopbackTcpServer source(SourceHandler(200'000));
  DataConnection relay;
  ASSERT_EQ(relay.open(session, Loopback(), source.port(), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer received;
  ASSERT_EQ(ReceiveCount(relay, received, 200'000, kIoTimeoutMs), ClientStatus::kOk);

  // Counted since login and not yet stored: the reset stores it on top of 0.
  ASSERT_EQ(console->CtlResetCounter("gus"), CTL_OK);
  UserInfo user{};
  std::strcpy(user.name, "gus");
  ASSERT_EQ(console->CtlFindUser(user), CTL_OK);
  EXPECT_GE(user.counter, 200'000);
}

TEST(ControlRelays, FrozenConsoleDoesNotSlowRelaying) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("hal", "pw"));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  std::unique_ptr<LocalPort> frozen;  // a notify port nobody serves
  ASSERT_EQ(LocalPort::Create(kNotifyPortName, PortAccessRule::UserAndRoot(::geteuid()), frozen),
            PortStatus::Ok);
  ASSERT_TRUE(console->CtlAttach());

  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "hal", "pw"));
  constexpr std::size_t kBytes = 10 << 20;
  LoopbackTcpServer source(SourceHandler(kBytes));
  DataConnection relay;
  ASSERT_EQ(relay.open(session, Loopback(), source.port(), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer received;
  // Generous: a daemon that waited on the console without bound would never finish.
  EXPECT_EQ(ReceiveCount(relay, received, kBytes, 60000), ClientStatus::kOk);
  SettingsRecord settings{};
  EXPECT_EQ(console->CtlGetSettings(settings), CTL_OK);
}

}  // namespace
}  // namespace tarvo::test
