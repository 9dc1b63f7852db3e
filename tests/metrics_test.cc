// The metrics of a real TarvoServer: after logins of every kind, relays, a refused relay and a
// refused datagram, name look-ups and a session's end, each figure of a scrape is checked by
// value, on the local socket the tools read and on the loopback endpoint Prometheus scrapes;
// promtool accepts the text.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "console/control_client/service_metrics.h"
#include "platform/fd.h"
#include "server/common/session_protocol.h"
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

const std::uint32_t kDenied = ::inet_addr("127.0.0.1");
const std::uint32_t kAllowed = ::inet_addr("127.0.0.2");

// One HTTP/1.0 exchange with the loopback endpoint: the whole answer, or empty.
std::string HttpExchange(int port, const std::string& request) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  timeval timeout{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return {};
  }
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  return answer;
}

// The status code of an answer, or empty.
std::string Status(const std::string& answer) {
  return answer.rfind("HTTP/1.", 0) == 0 && answer.size() >= 12 ? answer.substr(9, 3) : "";
}

std::string Body(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// promtool's verdict on the text: its output, empty when it found nothing wrong.
bool PromtoolAccepts(const std::string& text, std::string& said) {
  const std::string path = ::testing::TempDir() + "/scrape.prom";
  std::ofstream(path) << text;
  FILE* run = ::popen(("promtool check metrics < " + path + " 2>&1").c_str(), "r");
  if (run == nullptr) return false;
  char line[512];
  while (std::fgets(line, sizeof line, run) != nullptr) said += line;
  return ::pclose(run) == 0;
}

bool NextMessageOfType(SessionClient& session, std::uint32_t type, ReceivedMessage& message) {
  for (int skipped = 0; skipped < 16; ++skipped) {
    if (session.readMessage(message, kIoTimeoutMs) != ClientStatus::kOk) return false;
    if (message.type == type) return true;
  }
  return false;
}

LoginOutcome LoginFrom(const TestDaemon& daemon, SessionClient& session, const char* source,
                       const std::string& name, const std::string& password) {
  session.setSourceAddress(::inet_addr(source));
  if (!OpenSession(session, daemon)) return LoginOutcome::kFailed;
  return session.login(name, password, kIoTimeoutMs).outcome;
}

class MetricsTest : public ::testing::Test {
 protected:
  // A daemon serving its metrics on a loopback port, per user, denying 127.0.0.1 to relays and
  // holding an address after two wrong passwords.
  void SetUp() override {
    metricsPort = FreeLoopbackPort();
    ServerSettingsRecord settings = AuditedSettings(/*multiConnect=*/true);
    settings.MetricsAddress = "127.0.0.1:" + std::to_string(metricsPort);
    settings.MetricsPerUser = true;
    daemon = std::make_unique<TestDaemon>(
        settings, std::vector<std::pair<std::string, std::string>>{{"TARVO_LOGIN_THROTTLE", "2,300,300"}},
        std::vector<std::pair<std::string, std::string>>{{kAccessFileName, "deny 127.0.0.1/32\n"}});
    ASSERT_TRUE(daemon->started());
    ASSERT_TRUE(daemon->addUser("alice", "secret"));
    ASSERT_TRUE(daemon->addUser("bob", "hunter2"));
    // The tools find the daemon's socket in its runtime directory.
    ::setenv("TARVO_RUNTIME_DIR", daemon->home().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("TARVO_RUNTIME_DIR"); }

  MetricsReading scrape() {
    MetricsReading reading;
    std::string error;
    EXPECT_TRUE(ReadServiceMetrics(reading, &error)) << error;
    return reading;
  }

  int metricsPort = 0;
  std::unique_ptr<TestDaemon> daemon;
};

TEST_F(MetricsTest, EachFigureCountsWhatHappened) {
  LoopbackTcpServer echo(EchoHandler, "127.0.0.2");
  LoopbackTcpServer denied(EchoHandler, "127.0.0.1");
  UdpEchoServer udpEcho("127.0.0.2");
  ASSERT_NE(echo.port(), 0) << "127.0.0.2 cannot be bound here";

  SessionClient alice, bob, wrong1, wrong2, held, stranger;
  ASSERT_EQ(LoginFrom(*daemon, alice, "127.0.0.1", "alice", "secret"), LoginOutcome::kAccepted);
  EXPECT_EQ(LoginFrom(*daemon, wrong1, "127.0.0.3", "alice", "guess1"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(LoginFrom(*daemon, wrong2, "127.0.0.3", "alice", "guess2"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(LoginFrom(*daemon, held, "127.0.0.3", "alice", "secret"), LoginOutcome::kInvalidPassword);
  EXPECT_EQ(LoginFrom(*daemon, stranger, "127.0.0.4", "nobody", "x"), LoginOutcome::kUnknownUser);
  ASSERT_EQ(LoginFrom(*daemon, bob, "127.0.0.5", "bob", "hunter2"), LoginOutcome::kAccepted);

  ASSERT_TRUE(EchoesThrough(alice, kAllowed, echo.port(), 700));
  ASSERT_TRUE(ClosedWithoutAByte(alice, kDenied, denied.port()));
  ASSERT_TRUE(EchoesThrough(bob, kAllowed, echo.port(), 300));
  // One datagram through the echo (it answers with two bytes more), one to a denied address.
  const std::vector<std::uint8_t> datagram(100, 0x42);
  ASSERT_EQ(alice.sendUdpData(kDenied, denied.port(), 7, datagram), ClientStatus::kOk);
  ASSERT_EQ(alice.sendUdpData(kAllowed, udpEcho.port(), 7, datagram), ClientStatus::kOk);
  ReceivedMessage message;
  ASSERT_TRUE(NextMessageOfType(alice, MessageType::UdpData, message));
  const std::vector<std::string> names{"localhost"};
  ASSERT_EQ(alice.sendResolve(names), ClientStatus::kOk);
  ASSERT_TRUE(NextMessageOfType(alice, MessageType::Resolve, message));
  bob.close();
  // Bob's session and the closed relays leave the gauges, and his last count reaches the store
  // (a call after the five logins that read it).
  ASSERT_TRUE(WaitUntil([&] {
    const MetricsReading now = scrape();
    return now.value("tarvo_sessions") == 1 && now.value("tarvo_relays", {{"kind", "tcp"}}) == 0 &&
           now.value("tarvo_store_call_seconds_count").value_or(0) >= 6;
  }));

  const MetricsReading m = scrape();
  const auto logins = [&](const char* outcome) {
    return m.value("tarvo_logins_total", {{"outcome", outcome}}).value_or(-1);
  };
  EXPECT_EQ(logins("accepted"), 2);
  EXPECT_EQ(logins("wrong_password"), 2);
  EXPECT_EQ(logins("throttled"), 1);
  EXPECT_EQ(logins("unknown_user"), 1);
  for (const char* none : {"locked", "expired", "double_connect", "store_failed"}) {
    EXPECT_EQ(logins(none), 0) << none;
  }
  EXPECT_EQ(m.value("tarvo_login_throttle_holds_total"), 1);

  EXPECT_EQ(m.value("tarvo_relays_opened_total", {{"kind", "tcp"}}), 3);
  EXPECT_EQ(m.value("tarvo_relays_opened_total", {{"kind", "udp"}}), 1);
  EXPECT_EQ(m.value("tarvo_relays", {{"kind", "udp"}}), 1);
  EXPECT_EQ(m.value("tarvo_relays_refused_total", {{"kind", "tcp"}}), 1);
  EXPECT_EQ(m.value("tarvo_relays_refused_total", {{"kind", "udp"}}), 1);
  EXPECT_EQ(denied.accepted(), 0);

  EXPECT_EQ(m.value("tarvo_relayed_bytes_total", {{"direction", "up"}}), 700 + 300 + 100);
  EXPECT_EQ(m.value("tarvo_relayed_bytes_total", {{"direction", "down"}}), 700 + 300 + 102);
  const auto user = [&](const char* name, const char* direction) {
    return m.value("tarvo_user_relayed_bytes_total", {{"user", name}, {"direction", direction}})
        .value_or(-1);
  };
  EXPECT_EQ(user("alice", "up"), 800);
  EXPECT_EQ(user("alice", "down"), 802);
  EXPECT_EQ(user("bob", "up"), 300);
  EXPECT_EQ(user("bob", "down"), 300);
  EXPECT_EQ(m.value("tarvo_user_sessions", {{"user", "alice"}}), 1);
  EXPECT_EQ(m.value("tarvo_user_sessions", {{"user", "bob"}}), 0);

  // None of the store calls failed, and the histogram's buckets add up to its count.
  EXPECT_EQ(m.value("tarvo_store_call_seconds_bucket", {{"le", "+Inf"}}),
            m.value("tarvo_store_call_seconds_count"));
  EXPECT_EQ(m.value("tarvo_store_failures_total"), 0);
  EXPECT_EQ(m.value("tarvo_resolver_answer_seconds_count"), 1);
  EXPECT_EQ(m.value("tarvo_resolver_pending_names"), 0);

  const double fds = m.value("tarvo_open_fds").value_or(0);
  EXPECT_GT(fds, 10);  // listeners, logs, the store, two sessions' sockets
  EXPECT_LT(fds, m.value("tarvo_max_fds").value_or(0));
  EXPECT_GT(m.value("tarvo_network_loop_busy_seconds_total").value_or(0), 0);
  const double share = m.value("tarvo_network_loop_busy_ratio").value_or(-1);
  EXPECT_GE(share, 0);
  EXPECT_LE(share, 1);

  // The loopback endpoint serves the same families, and promtool finds nothing to say.
  const std::string answer =
      HttpExchange(metricsPort, "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n");
  ASSERT_EQ(Status(answer), "200") << answer;
  EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  MetricsReading overTcp;
  std::string error;
  ASSERT_TRUE(ParseMetricsText(Body(answer), overTcp, &error)) << error;
  ASSERT_EQ(overTcp.families.size(), m.families.size());
  for (std::size_t i = 0; i < m.families.size(); ++i) {
    EXPECT_EQ(overTcp.families[i].name, m.families[i].name);
  }
  std::string said;
  EXPECT_TRUE(PromtoolAccepts(Body(answer), said)) << said;
  EXPECT_EQ(said, "");
}

// Per-user series carry the stored name: two spellings of alice logged in at once add their
// bytes and sessions to one series, and no series is made for either spelling.
TEST_F(MetricsTest, SpellingsOfOneUserShareTheStoredNamesSeries) {
  LoopbackTcpServer echo(EchoHandler, "127.0.0.2");
  ASSERT_NE(echo.port(), 0) << "127.0.0.2 cannot be bound here";
  SessionClient shouted, capital;
  ASSERT_EQ(LoginFrom(*daemon, shouted, "127.0.0.6", "ALICE", "secret"), LoginOutcome::kAccepted);
  ASSERT_EQ(LoginFrom(*daemon, capital, "127.0.0.7", "Alice", "secret"), LoginOutcome::kAccepted);
  ASSERT_TRUE(EchoesThrough(shouted, kAllowed, echo.port(), 500));
  ASSERT_TRUE(EchoesThrough(capital, kAllowed, echo.port(), 200));
  ASSERT_TRUE(WaitUntil([&] { return scrape().value("tarvo_relays", {{"kind", "tcp"}}) == 0; }));

  const MetricsReading m = scrape();
  EXPECT_EQ(m.value("tarvo_user_sessions", {{"user", "alice"}}), 2);
  EXPECT_EQ(m.value("tarvo_user_relayed_bytes_total", {{"user", "alice"}, {"direction", "up"}}), 700);
  EXPECT_EQ(m.value("tarvo_user_relayed_bytes_total", {{"user", "alice"}, {"direction", "down"}}),
            700);
  EXPECT_EQ(std::count_if(m.samples.begin(), m.samples.end(),
                          [](const MetricSample& s) { return s.name == "tarvo_user_sessions"; }),
            1);
}

TEST_F(MetricsTest, OnlyGetOfTheMetricsPathIsAnswered) {
  EXPECT_EQ(Status(HttpExchange(metricsPort, "GET / HTTP/1.0\r\n\r\n")), "404");
  EXPECT_EQ(Status(HttpExchange(metricsPort,
                                "POST /metrics HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc")),
            "405");
  // A request line that is not HTTP is closed, answered or not.
  EXPECT_NE(Status(HttpExchange(metricsPort, "NONSENSE\r\n\r\n")), "200");
  // After the bad requests the endpoint still serves, and so does the daemon.
  EXPECT_EQ(Status(HttpExchange(metricsPort,
                                "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")),
            "200");
  SessionClient session;
  EXPECT_EQ(LoginFrom(*daemon, session, "127.0.0.1", "alice", "secret"), LoginOutcome::kAccepted);
}

TEST(MetricsSettingTest, AnAddressThatIsNotLoopbackIsRefusedAndTheToolsStillRead) {
  ServerSettingsRecord settings = AuditedSettings();
  settings.MetricsAddress = "0.0.0.0:" + std::to_string(FreeLoopbackPort());
  TestDaemon daemon(settings);
  ASSERT_TRUE(daemon.started());
  EXPECT_TRUE(WaitUntil([&] {
    return daemon.process().stderrText().find("[MetricsAddress]:" + settings.MetricsAddress +
                                              " is not used") != std::string::npos;
  })) << daemon.process().stderrText();
  ::setenv("TARVO_RUNTIME_DIR", daemon.home().c_str(), 1);
  MetricsReading reading;
  std::string error;
  EXPECT_TRUE(ReadServiceMetrics(reading, &error)) << error;
  // Without [MetricsPerUser] there is no per-user family.
  EXPECT_FALSE(reading.value("tarvo_user_sessions").has_value());
  EXPECT_EQ(reading.value("tarvo_sessions"), 0);
  ::unsetenv("TARVO_RUNTIME_DIR");
  // No daemon: the tools say so.
  ::setenv("TARVO_RUNTIME_DIR", ::testing::TempDir().c_str(), 1);
  EXPECT_FALSE(ReadServiceMetrics(reading, &error));
  EXPECT_NE(error.find("no daemon"), std::string::npos) << error;
  ::unsetenv("TARVO_RUNTIME_DIR");
}

TEST_F(MetricsTest, OutsidersCannotReadTheLocalSocket) {
  const std::optional<int> status = ExitStatusAsNobody([] {
    MetricsReading reading;
    std::string error;
    const bool read = ReadServiceMetrics(reading, &error);
    return !read && error.find("access denied") != std::string::npos ? 0 : 20;
  });
  if (!status) GTEST_SKIP() << "needs root and the user nobody";
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(scrape().value("tarvo_sessions").has_value());  // root still reads
}

}  // namespace
}  // namespace tarvo::test
