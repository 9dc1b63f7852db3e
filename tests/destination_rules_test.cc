// Destination rules and login throttling in the real TarvoServer: relays and datagrams to
// loopback servers that the rules allow or deny, the package's file, the file changing while
// the daemon runs, and logins from an address that keeps sending wrong passwords.
#include <arpa/inet.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "server/common/session_protocol.h"
#include "server/service/base/settings.h"
#include "server/service/policy/access_file.h"
#include "tests/loopback_servers.h"
#include "tests/relay_probes.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::LoginOutcome;
using client::ReceivedMessage;
using client::SessionClient;

const std::uint32_t kFirst = ::inet_addr("127.0.0.1");
const std::uint32_t kSecond = ::inet_addr("127.0.0.2");

std::string ShippedRules() {
  std::ifstream file(std::string(TARVO_SOURCE_DIR) + "/packaging/tarvo-access.conf");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string ConnectRow(std::uint32_t address, std::uint16_t port, const std::string& result) {
  return "\"alice[127.0.0.1]\",\"connect\",\"" + FormatIPv4(address) + "\",\"" +
         std::to_string(port) + "\",\"" + result + "\"";
}

bool HasRow(const TestDaemon& daemon, const std::string& row) {
  const auto rows = daemon.auditRows();
  return std::find(rows.begin(), rows.end(), row) != rows.end();
}

// A relay the daemon ends as a failed connection: closed with no byte, and its "fail" row.
bool RefusedAsAFailedConnect(const TestDaemon& daemon, const SessionClient& session,
                             std::uint32_t address, std::uint16_t port) {
  return ClosedWithoutAByte(session, address, port) &&
         WaitUntil([&] { return HasRow(daemon, ConnectRow(address, port, "fail")); });
}

class DestinationRulesTest : public ::testing::Test {
 protected:
  // A daemon with these rules in its home (none: no file) and alice logged in.
  bool start(const std::string* rules) {
    std::vector<std::pair<std::string, std::string>> files;
    if (rules != nullptr) files.emplace_back(kAccessFileName, *rules);
    daemon = std::make_unique<TestDaemon>(AuditedSettings(),
                                          std::vector<std::pair<std::string, std::string>>{},
                                          files);
    return daemon->started() && daemon->addUser("alice", "secret") &&
           OpenSession(session, *daemon) &&
           session.login("alice", "secret", kIoTimeoutMs).outcome == LoginOutcome::kAccepted;
  }
  // Replaces the rules while the daemon runs, as an editor saves: a new file renamed in.
  void replaceRules(const std::string& text) {
    const std::string path = daemon->home() + "/" + kAccessFileName;
    std::ofstream(path + ".new") << text;
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
  }

  std::unique_ptr<TestDaemon> daemon;
  SessionClient session;
};

TEST_F(DestinationRulesTest, ADeniedLoopbackAddressIsRefusedAndAnAllowedOneRelays) {
  const std::string rules = "deny 127.0.0.1/32\nallow 127.0.0.2\n";
  ASSERT_TRUE(start(&rules));
  LoopbackTcpServer denied(EchoHandler, "127.0.0.1");
  LoopbackTcpServer allowed(EchoHandler, "127.0.0.2");
  ASSERT_NE(allowed.port(), 0) << "127.0.0.2 cannot be bound here";

  EXPECT_TRUE(EchoesThrough(session, kSecond, allowed.port()));
  EXPECT_TRUE(WaitUntil([&] { return HasRow(*daemon, ConnectRow(kSecond, allowed.port(), "done")); }));
  EXPECT_TRUE(RefusedAsAFailedConnect(*daemon, session, kFirst, denied.port()));
  // Refused before any connection: the server never saw one.
  EXPECT_EQ(denied.accepted(), 0);
  EXPECT_EQ(allowed.accepted(), 1);
  EXPECT_FALSE(HasRow(*daemon, ConnectRow(kFirst, denied.port(), "done")));
}

TEST_F(DestinationRulesTest, ThePackagesFileRefusesThisHostAndTheMetadataAddress) {
  const std::string rules = ShippedRules();
  ASSERT_FALSE(rules.empty());
  ASSERT_TRUE(start(&rules));
  LoopbackTcpServer local(EchoHandler);
  EXPECT_TRUE(RefusedAsAFailedConnect(*daemon, session, kFirst, local.port()));
  EXPECT_TRUE(RefusedAsAFailedConnect(*daemon, session, ::inet_addr("169.254.169.254"), 80));
  EXPECT_EQ(local.accepted(), 0);
  // The file is the package's own: not a line of it is reported as bad.
  EXPECT_EQ(daemon->process().stderrText().find(" line "), std::string::npos)
      << daemon->process().stderrText();
}

// A reload (SIGHUP) reads the rules and the settings again at once; open sessions stay.
TEST_F(DestinationRulesTest, AReloadAppliesNewRulesAndSettingsAndKeepsTheSessions) {
  ASSERT_TRUE(start(nullptr));
  LoopbackTcpServer server(EchoHandler);
  ASSERT_TRUE(EchoesThrough(session, kFirst, server.port()));
  SessionClient second;
  ASSERT_TRUE(OpenSession(second, *daemon));
  ASSERT_EQ(second.login("alice", "secret", kIoTimeoutMs).outcome, LoginOutcome::kDoubleConnect);

  replaceRules("deny 127.0.0.1\n");
  ServerSettingsRecord settings = AuditedSettings();
  settings.ServerPort = daemon->port();
  settings.MultiConnect = true;
  settings.MetricsAddress = "127.0.0.1:9";
  ASSERT_TRUE(SaveSettingsFile(daemon->home() + "/tarvoserver.ini", settings));
  ASSERT_EQ(::kill(daemon->process().pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return daemon->process().stderrText().find("applied at the next start: [MetricsAddress]") !=
           std::string::npos;
  })) << daemon->process().stderrText();

  EXPECT_TRUE(RefusedAsAFailedConnect(*daemon, session, kFirst, server.port()));
  LoopbackTcpServer allowed(EchoHandler, "127.0.0.2");
  EXPECT_TRUE(EchoesThrough(session, kSecond, allowed.port()));  // the session stayed
  SessionClient third;
  ASSERT_TRUE(OpenSession(third, *daemon));
  EXPECT_EQ(third.login("alice", "secret", kIoTimeoutMs).outcome, LoginOutcome::kAccepted);
}

// A UDP socket of the test's own on 127.0.0.1: the destination the rules deny.
class DeniedPeer {
 public:
  DeniedPeer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kFirst;
    socklen_t length = sizeof address;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  std::uint16_t port() const { return port_; }
  bool received() const {
    char byte;
    return ::recv(fd_.get(), &byte, 1, MSG_DONTWAIT) >= 0;
  }
  bool sendTo(std::uint16_t port) const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kFirst;
    address.sin_port = htons(port);
    return ::sendto(fd_.get(), "x", 1, 0, reinterpret_cast<sockaddr*>(&address),
                    sizeof address) == 1;
  }

 private:
  UniqueFd fd_;
  std::uint16_t port_ = 0;
};

// The next UdpData the session receives: its source address and its datagram.
bool NextDatagram(SessionClient& session, std::uint32_t& from, ByteBuffer& datagram) {
  for (int skipped = 0; skipped < 16; ++skipped) {
    ReceivedMessage message;
    if (session.readMessage(message, kIoTimeoutMs) != ClientStatus::kOk) return false;
    if (message.type != MessageType::UdpData) continue;
    UdpDataHeader header;
    if (!ParseUdpDataReply(message.payload.view(), header)) return false;
    from = header.address;
    datagram.clear();
    return session.decipher(header.record, datagram) == ClientStatus::kOk;
  }
  return false;
}

// Datagrams of one channel leave in the order they were queued, and loopback delivers at once:
// once the allowed echo has answered, a datagram sent before it would already be waiting.
TEST_F(DestinationRulesTest, DatagramsToADeniedAddressAreDroppedAndItsAnswersToo) {
  const std::string rules = "deny 127.0.0.1/32\n";
  ASSERT_TRUE(start(&rules));
  DeniedPeer denied;
  UdpEchoServer echo("127.0.0.2");
  ASSERT_NE(denied.port(), 0);
  ASSERT_NE(echo.port(), 0);

  const std::vector<std::uint8_t> payload(100, 0x42);
  ASSERT_EQ(session.sendUdpData(kFirst, denied.port(), 7, payload), ClientStatus::kOk);
  ASSERT_EQ(session.sendUdpData(kSecond, echo.port(), 7, payload), ClientStatus::kOk);
  std::uint32_t from = 0;
  ByteBuffer datagram;
  ASSERT_TRUE(NextDatagram(session, from, datagram));
  EXPECT_EQ(from, kSecond);
  EXPECT_FALSE(denied.received());

  // The denied address sends to the channel first; only the echo's answer comes through.
  ASSERT_GE(datagram.size(), 2u);
  const auto channelPort = static_cast<std::uint16_t>((datagram.data()[datagram.size() - 2] << 8) |
                                                      datagram.data()[datagram.size() - 1]);
  ASSERT_TRUE(denied.sendTo(channelPort));
  ASSERT_EQ(session.sendUdpData(kSecond, echo.port(), 7, payload), ClientStatus::kOk);
  ASSERT_TRUE(NextDatagram(session, from, datagram));
  EXPECT_EQ(from, kSecond);
}

TEST_F(DestinationRulesTest, TheFileIsReadAgainWhenItChangesAndItsBadLinesAreReported) {
  const std::string rules = "deny 127.0.0.2\nforbid 10.0.0.0/8\n";
  ASSERT_TRUE(start(&rules));
  EXPECT_TRUE(WaitUntil([&] {
    return daemon->process().stderrText().find(std::string(kAccessFileName) +
                                               " line 2: ") != std::string::npos;
  })) << daemon->process().stderrText();
  LoopbackTcpServer server(EchoHandler);
  EXPECT_TRUE(EchoesThrough(session, kFirst, server.port()));

  // The daemon looks at the file at most once a second: after a second the change is seen.
  replaceRules("deny 127.0.0.0/8\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(RefusedAsAFailedConnect(*daemon, session, kFirst, server.port()));
  EXPECT_EQ(server.accepted(), 1);

  // A symbolic link is not followed: every destination is refused while it stands.
  const std::string path = daemon->home() + "/" + kAccessFileName;
  const std::string elsewhere = daemon->home() + "/elsewhere.conf";
  std::ofstream(elsewhere) << "allow 0.0.0.0/0\n";
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(RefusedAsAFailedConnect(*daemon, session, kFirst, server.port()));

  // No file: everything allowed again.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(EchoesThrough(session, kFirst, server.port()));
}

// Logins from one address, each on a session of its own, as a client retrying would.
LoginOutcome LoginFrom(const TestDaemon& daemon, std::uint32_t source, const std::string& password,
                       const char* user = "alice") {
  SessionClient session;
  session.setSourceAddress(source);
  if (!OpenSession(session, daemon)) return LoginOutcome::kFailed;
  return session.login(user, password, kIoTimeoutMs).outcome;
}

std::size_t RowsWith(const TestDaemon& daemon, const std::string& text) {
  const auto rows = daemon.auditRows();
  return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const auto& row) {
    return row.find(text) != std::string::npos;
  }));
}

TEST(LoginThrottleDaemonTest, ThreeWrongHoldTheAddressForASecondAndOthersLogInMeanwhile) {
  TestDaemon daemon(AuditedSettings(true), {{"TARVO_LOGIN_THROTTLE", "3,300,1"}});
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(LoginFrom(daemon, kFirst, "wrong"), LoginOutcome::kInvalidPassword) << i;
  }
  // Held: the right password is refused unchecked, and still audited.
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret"), LoginOutcome::kInvalidPassword);
  EXPECT_TRUE(WaitUntil([&] {
    return RowsWith(daemon, "\"alice[127.0.0.1]\",\"open\",\"\",\"\",\"invalid password\"") == 4;
  }));
  EXPECT_EQ(LoginFrom(daemon, kSecond, "secret"), LoginOutcome::kAccepted);
  EXPECT_NE(daemon.process().stderrText().find("3 wrong passwords from 127.0.0.1"),
            std::string::npos);

  // The hold is one second: after it the address logs in again.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret"), LoginOutcome::kAccepted);
}

TEST(LoginThrottleDaemonTest, TheDefaultsLetNineMistakesPassAndHoldAtTheTenth) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(LoginFrom(daemon, kFirst, "wrong"), LoginOutcome::kInvalidPassword) << i;
  }
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret"), LoginOutcome::kAccepted);
  EXPECT_EQ(LoginFrom(daemon, kFirst, "wrong"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(LoginFrom(daemon, kSecond, "secret"), LoginOutcome::kAccepted);
}

TEST(LoginThrottleDaemonTest, AGuesserHoldsOnlyTheUserItGuessesAndUnknownNamesAreGuesses) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  for (const char* user : {"alice", "bob", "carol"}) ASSERT_TRUE(daemon.addUser(user, "secret"));
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(LoginFrom(daemon, kFirst, "wrong"), LoginOutcome::kInvalidPassword) << i;
  }
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret", "bob"), LoginOutcome::kAccepted);
  EXPECT_EQ(LoginFrom(daemon, kFirst, "secret", "carol"), LoginOutcome::kAccepted);

  // Ten tries of a name that does not exist hold it too: the eleventh is refused unchecked.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(LoginFrom(daemon, kFirst, "x", "ghost"), LoginOutcome::kUnknownUser) << i;
  }
  EXPECT_EQ(LoginFrom(daemon, kFirst, "x", "ghost"), LoginOutcome::kInvalidPassword);
}

TEST(LoginThrottleDaemonTest, AddressesTakingTurnsAreSlowedAtTheUserAndItsOwnerGetsIn) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  const std::uint32_t own = ::inet_addr("127.0.9.9");
  ASSERT_EQ(LoginFrom(daemon, own, "secret"), LoginOutcome::kAccepted);
  // 100 addresses, one wrong guess each, as fast as the daemon answers: far more than ten a
  // second (the rate itself is checked on a hand-moved clock in access_rules_test).
  for (std::uint32_t i = 0; i < 100; ++i) {
    const std::uint32_t source = htonl(0x7F0A0000u + 1 + i);  // 127.10.0.x
    ASSERT_EQ(LoginFrom(daemon, source, "wrong"), LoginOutcome::kInvalidPassword) << i;
  }
  EXPECT_EQ(LoginFrom(daemon, own, "secret"), LoginOutcome::kAccepted);
  EXPECT_TRUE(WaitUntil([&] {
    return daemon.process().stderrText().find("logins as alice are guessed faster than 10") !=
           std::string::npos;
  }));
}

}  // namespace
}  // namespace tarvo::test
