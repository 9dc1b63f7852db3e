// Sessions and login against the real TarvoServer: the opening message and version admission,
// every login outcome with its reply and audit row, the session messages, data connection
// matching, time-outs and the stop path.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "server/common/coding.h"
#include "server/common/password_hash.h"
#include "server/common/session_protocol.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::LoginOutcome;
using client::SessionClient;

const std::vector<std::uint8_t> kHello = ByteList({0x35, 0, 0, 0, 0x1B, 0, 0, 0, 0, 0, 0, 0, 0x0B,
                                                   0, 0, 0, '2', '.', '0', '.', '4', '-', '2',
                                                   '.', '0', '.', '5'});

std::vector<std::uint8_t> ToVector(const ByteBuffer& buffer) {
  return {buffer.data(), buffer.data() + buffer.size()};
}

std::vector<std::uint8_t> LoginFrame(const std::string& name, const std::string& password) {
  std::string key = DeriveSessionKeyText(password.c_str());
  AESEncryptor encryptor(key.c_str(), static_cast<int>(key.size()));
  ByteBuffer payload;
  AppendLoginPayload(payload, name, encryptor);
  ByteBuffer out;
  AppendMessage(out, MessageType::Login, payload.view());
  return ToVector(out);
}

// Opening, then Login for name under the key of password, as one write.
std::vector<std::uint8_t> OpeningAndLogin(const std::string& name, const std::string& password) {
  std::vector<std::uint8_t> out = SessionOpening("2.0.5");
  auto login = LoginFrame(name, password);
  out.insert(out.end(), login.begin(), login.end());
  return out;
}

// Sends bytes on a fresh connection and reads exactly count bytes of answer.
std::vector<std::uint8_t> Exchange(client::Socket& socket, const TestDaemon& daemon,
                                   const std::vector<std::uint8_t>& bytes, std::size_t count) {
  ByteBuffer answer;
  if (!ConnectRaw(socket, daemon) || socket.sendAll(bytes, kIoTimeoutMs) != ClientStatus::kOk ||
      !ReadExactly(socket, answer, count)) {
    return {};
  }
  return ToVector(answer);
}

// A session that is open and logged in as name.
bool LoggedIn(SessionClient& session, const TestDaemon& daemon, const std::string& name,
              const std::string& password) {
  return OpenSession(session, daemon) &&
         session.login(name, password, kIoTimeoutMs).outcome == LoginOutcome::kAccepted;
}

std::string OpenRow(const std::string& name, const std::string& outcome) {
  return "\"" + name + "[127.0.0.1]\",\"open\",\"\",\"\",\"" + outcome + "\"";
}
std::string CloseRow(const std::string& name) {
  return "\"" + name + "[127.0.0.1]\",\"close\",\"\",\"\",\"done\"";
}

TEST(OpeningTest, HelloBytesAndVersionAdmission) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());

  client::Socket hello;
  EXPECT_EQ(Exchange(hello, daemon, SessionOpening("2.0.4"), 27), kHello);

  std::vector<std::uint8_t> refused = kHello;
  refused[0] = 54;
  for (const char* version : {"2.0.3", "2.0.6", "2.1", "2.0.5.1", ""}) {
    SCOPED_TRACE(version);
    client::Socket socket;
    EXPECT_EQ(Exchange(socket, daemon, SessionOpening(version), 27), refused);
    EXPECT_TRUE(ClosedByPeer(socket));
  }
  for (const char* version : {"2.0.4", "2.0.5", "2.0.5.0"}) {
    SCOPED_TRACE(version);
    SessionClient session;
    std::string range;
    EXPECT_EQ(session.open("127.0.0.1", daemon.port(), version, kIoTimeoutMs, &range),
              ClientStatus::kOk);
    EXPECT_EQ(range, "2.0.4-2.0.5");
  }

  // One byte per write, each after the daemon had a chance to read the previous one.
  client::Socket slow;
  ASSERT_TRUE(ConnectRaw(slow, daemon));
  for (std::uint8_t byte : SessionOpening("2.0.5")) {
    ASSERT_EQ(slow.sendAll({&byte, 1}, kIoTimeoutMs), ClientStatus::kOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ByteBuffer answer;
  ASSERT_TRUE(ReadExactly(slow, answer, 27));
  EXPECT_EQ(ToVector(answer), kHello);

  // A wrong code, a length outside 12..128, an unknown kind: closed without a reply.
  for (auto bytes : {ByteList({53, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                     ByteList({52, 0, 0, 0, 11, 0, 0, 0}), ByteList({52, 0, 0, 0, 129, 0, 0, 0}),
                     ByteList({52, 0, 0, 0, 16, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0})}) {
    client::Socket socket;
    ASSERT_TRUE(ConnectRaw(socket, daemon));
    ASSERT_EQ(socket.sendAll(bytes, kIoTimeoutMs), ClientStatus::kOk);
    ByteBuffer nothing;
    EXPECT_EQ(socket.receiveSome(nothing, 64, kIoTimeoutMs), ClientStatus::kClosed);
  }
}

TEST(OpeningTest, DataConnectionIsMatchedEvenWhenItsSessionIdArrivesLater) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "alice", "secret"));

  // The destination: a matched data connection is relayed to it.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

  ByteBuffer opening;
  AppendDataOpening(opening, session.sessionId());
  AppendDestinationHeader(opening, address.sin_addr.s_addr, ntohs(address.sin_port));
  const auto bytes = ToVector(opening);

  // The opening message alone, then the session id and destination in a second write.
  client::Socket matched;
  ASSERT_TRUE(ConnectRaw(matched, daemon));
  ASSERT_EQ(matched.sendAll({bytes.data(), 16}, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_TRUE(StaysQuiet(matched, 300));
  ASSERT_EQ(matched.sendAll({bytes.data() + 16, bytes.size() - 16}, kIoTimeoutMs),
            ClientStatus::kOk);
  pollfd incoming{listener.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&incoming, 1, kIoTimeoutMs), 1);
  UniqueFd relayed(::accept(listener.get(), nullptr, nullptr));
  EXPECT_TRUE(relayed.valid());

  ByteBuffer wrong;
  AppendDataOpening(wrong, session.sessionId() ^ 1);
  client::Socket unmatched;
  ASSERT_TRUE(ConnectRaw(unmatched, daemon));
  ASSERT_EQ(unmatched.sendAll(wrong.view(), kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_TRUE(ClosedByPeer(unmatched));

  // The data connection ends with its session.
  session.close();
  EXPECT_TRUE(ClosedByPeer(matched));
}

TEST(LoginTest, EveryOutcomeHasItsReplyAndAuditRow) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret", 5000));
  ASSERT_TRUE(daemon.addUser("bob", "pw"));
  ASSERT_TRUE(daemon.store({"lock", "bob"}));
  ASSERT_TRUE(daemon.addUser("dora", "p\xC3\xA4ss\xC3\xB6rd"));

  auto refusal = [](unsigned type) { return ByteList({type, 0, 0, 0, 8, 0, 0, 0}); };
  auto withHello = [](std::vector<std::uint8_t> reply) {
    std::vector<std::uint8_t> all = kHello;
    all.insert(all.end(), reply.begin(), reply.end());
    return all;
  };
  struct Refused {
    const char* name;
    const char* password;
    unsigned type;
  };
  for (const Refused& r : {Refused{"nobody", "secret", 3}, Refused{"bob", "pw", 55},
                           Refused{"alice", "wrong", 9}}) {
    SCOPED_TRACE(r.name);
    client::Socket socket;
    EXPECT_EQ(Exchange(socket, daemon, OpeningAndLogin(r.name, r.password), 35),
              withHello(refusal(r.type)));
    EXPECT_TRUE(ClosedByPeer(socket));
  }

  // Opening and Login in one write: the dispatcher leaves the Login for the session.
  client::Socket alice;
  auto accepted = Exchange(alice, daemon, OpeningAndLogin("alice", "secret"), 39);
  ASSERT_EQ(accepted.size(), 39u);
  EXPECT_EQ(std::vector<std::uint8_t>(accepted.begin(), accepted.begin() + 35),
            withHello(ByteList({1, 0, 0, 0, 12, 0, 0, 0})));
  EXPECT_NE(DecodeFixed32(accepted.data() + 35), 0u);

  client::Socket again;
  EXPECT_EQ(Exchange(again, daemon, OpeningAndLogin("ALICE", "secret"), 35),
            withHello(refusal(2)));

  SessionClient dora;
  ASSERT_TRUE(LoggedIn(dora, daemon, "dora", "p\xC3\xA4ss\xC3\xB6rd"));
  std::int64_t limit = -1, counter = -1;
  ASSERT_EQ(dora.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_EQ(limit, 0);

  // TrafficInfo of alice's session, raw: limit and counter as stored.
  ASSERT_EQ(alice.sendAll(ByteList({7, 0, 0, 0, 8, 0, 0, 0}), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer figures;
  ASSERT_TRUE(ReadExactly(alice, figures, 24));
  EXPECT_EQ(DecodeFixed32(figures.data()), 7u);
  EXPECT_EQ(DecodeFixed32(figures.data() + 4), 24u);
  EXPECT_EQ(DecodeFixed64(figures.data() + 8), 5000u);
  EXPECT_EQ(DecodeFixed64(figures.data() + 16), 0u);

  alice.close();
  const std::vector<std::string> expected = {
      OpenRow("nobody", "unknown user"), OpenRow("bob", "user locked"),
      OpenRow("alice", "invalid password"), OpenRow("alice", "done"),
      OpenRow("ALICE", "double connect"), OpenRow("dora", "done"), CloseRow("alice")};
  EXPECT_TRUE(WaitUntil([&] { return daemon.auditRows().size() == expected.size(); }));
  EXPECT_EQ(daemon.auditRows(), expected);
}

TEST(LoginTest, MalformedAndRepeatedLoginsCloseTheSession) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("carol", "pw"));
  ASSERT_TRUE(daemon.addUser("erin", "pw"));

  auto closesSilently = [&](const std::vector<std::uint8_t>& message) {
    SessionClient session;
    if (!OpenSession(session, daemon) || session.sendRaw(message) != ClientStatus::kOk) {
      return false;
    }
    ByteBuffer nothing;
    return session.socket().receiveSome(nothing, 64, kIoTimeoutMs) == ClientStatus::kClosed;
  };
  std::vector<std::uint8_t> shortLogin = ByteList({0, 0, 0, 0, 0x0B, 0x01, 0, 0});  // 8 + 259
  shortLogin.resize(8 + 259);
  EXPECT_TRUE(closesSilently(shortLogin));
  // 8 + 260 bytes, name length 129.
  std::vector<std::uint8_t> longName = ByteList({0, 0, 0, 0, 0x0C, 0x01, 0, 0, 129, 0, 0, 0});
  longName.resize(8 + 260);
  EXPECT_TRUE(closesSilently(longName));
  EXPECT_TRUE(closesSilently(ByteList({7, 0, 0, 0, 7, 0, 0, 0})));
  EXPECT_TRUE(closesSilently(ByteList({7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(daemon.readFile("vpn_log.csv"), "");

  // TrafficInfo and an unknown type before login: no answer, and the session stays.
  SessionClient carol;
  ASSERT_TRUE(OpenSession(carol, daemon));
  ASSERT_EQ(carol.sendMessage(MessageType::TrafficInfo), ClientStatus::kOk);
  ASSERT_EQ(carol.sendMessage(99, ByteList({1, 2, 3})), ClientStatus::kOk);
  auto login = carol.login("carol", "pw", kIoTimeoutMs);  // reads the next message
  EXPECT_EQ(login.outcome, LoginOutcome::kAccepted);

  // A second Login on a logged-in session ends it without a reply; it was listed once.
  ByteBuffer payload;
  AppendLoginPayload(payload, "erin", *carol.encryptor());
  ASSERT_EQ(carol.sendMessage(MessageType::Login, payload.view()), ClientStatus::kOk);
  ByteBuffer nothing;
  EXPECT_EQ(carol.socket().receiveSome(nothing, 64, kIoTimeoutMs), ClientStatus::kClosed);
  SessionClient carolAgain;
  EXPECT_TRUE(LoggedIn(carolAgain, daemon, "carol", "pw"));

  // Logins pipelined after a refusal are not tried.
  client::Socket guesses;
  auto bytes = OpeningAndLogin("erin", "wrong");
  auto second = LoginFrame("erin", "pw");
  bytes.insert(bytes.end(), second.begin(), second.end());
  ASSERT_TRUE(ConnectRaw(guesses, daemon));
  ASSERT_EQ(guesses.sendAll(bytes, kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer answer;
  ASSERT_TRUE(ReadExactly(guesses, answer, 35));
  EXPECT_EQ(DecodeFixed32(answer.data() + 27), MessageType::InvalidPassword);
  EXPECT_TRUE(ClosedByPeer(guesses));

  // The empty name is looked up like any other.
  SessionClient empty;
  ASSERT_TRUE(OpenSession(empty, daemon));
  EXPECT_EQ(empty.login("", "pw", kIoTimeoutMs).outcome, LoginOutcome::kUnknownUser);

  const std::vector<std::string> expected = {
      OpenRow("carol", "done"), CloseRow("carol"), OpenRow("carol", "done"),
      OpenRow("erin", "invalid password"), OpenRow("", "unknown user")};
  EXPECT_TRUE(WaitUntil([&] { return daemon.auditRows().size() == expected.size(); }));
  EXPECT_EQ(daemon.auditRows(), expected);
}

TEST(LoginTest, MultiConnectAdmitsSessionsOfOneUser) {
  TestDaemon daemon(AuditedSettings(/*multiConnect=*/true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  SessionClient first, second;
  ASSERT_TRUE(LoggedIn(first, daemon, "alice", "secret"));
  ASSERT_TRUE(LoggedIn(second, daemon, "Alice", "secret"));
  EXPECT_NE(first.sessionId(), second.sessionId());
}

// Names and texts keep every printable byte, the backslash included; only quotes (doubled in
// the audit row) and control bytes (visible escapes) change, so a line stays one line.
TEST(MessageTest, TextMessagesAndHostileNamesStayOneLine) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  ASSERT_TRUE(daemon.addUser("CORP\\alice", "secret"));
  SessionClient alice;
  ASSERT_TRUE(LoggedIn(alice, daemon, "alice", "secret"));

  ASSERT_EQ(alice.sendTextMessage("hello"), ClientStatus::kOk);
  std::string hostile = "x\r\ny\"z";
  hostile += std::string(10 * 1024, 'q');
  ASSERT_EQ(alice.sendTextMessage(hostile), ClientStatus::kOk);
  // The answer to TrafficInfo comes after the messages before it were handled.
  std::int64_t limit, counter;
  ASSERT_EQ(alice.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  SessionClient domain;
  ASSERT_TRUE(LoggedIn(domain, daemon, "CORP\\alice", "secret"));
  ASSERT_EQ(domain.sendTextMessage("C:\\temp\\ \"q\" \x01\r\n\xC3\xA4"), ClientStatus::kOk);
  ASSERT_EQ(domain.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);

  auto lines = daemon.messageLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4} from )"
                           R"(alice\[127\.0\.0\.1\] :hello)")))
      << lines[0];
  EXPECT_EQ(lines[1].find('\r'), std::string::npos);
  EXPECT_LT(lines[1].size(), 2048u);
  EXPECT_EQ(lines[2].substr(24),
            " from CORP\\alice[127.0.0.1] :C:\\temp\\ \"q\" \\x01\\r\\n\xC3\xA4");

  // Names the client chose, with quotes, line ends, commas and control bytes, stay one row.
  std::string forged = "a\",\"close\r\n\"2026/01/01\",\"";
  forged += std::string(128 - forged.size(), 'n');
  for (const std::string& name : {forged, std::string("a\"b"), std::string("p\x01q")}) {
    SessionClient refused;
    ASSERT_TRUE(OpenSession(refused, daemon));
    EXPECT_EQ(refused.login(name, "pw", kIoTimeoutMs).outcome, LoginOutcome::kUnknownUser);
  }
  domain.close();
  const std::vector<std::string> expected = {
      OpenRow("alice", "done"),
      OpenRow("CORP\\alice", "done"),
      OpenRow("a\"\",\"\"close\\r\\n\"\"2026/01/01\"\",\"\"" + forged.substr(25), "unknown user"),
      OpenRow("a\"\"b", "unknown user"),
      OpenRow("p\\x01q", "unknown user"),
      CloseRow("CORP\\alice")};
  EXPECT_TRUE(WaitUntil([&] { return daemon.auditRows().size() == expected.size(); }));
  EXPECT_EQ(daemon.auditRows(), expected);
}

// The two time-outs run as separate cases so that a parallel ctest overlaps them.
TEST(TimeoutTest, IncompleteOpeningIsClosedAfter15Seconds) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  client::Socket socket;
  ASSERT_TRUE(ConnectRaw(socket, daemon));
  ASSERT_EQ(socket.sendAll(ByteList({52, 0, 0}), kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_TRUE(ClosedByPeer(socket, 25000));
}

TEST(TimeoutTest, SilentSessionIsDeletedAfter30SecondsAndAnyMessageKeepsOneAlive) {
  TestDaemon daemon(AuditedSettings(/*multiConnect=*/true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  SessionClient silent, chatty;
  ASSERT_TRUE(LoggedIn(silent, daemon, "alice", "secret"));
  ASSERT_TRUE(LoggedIn(chatty, daemon, "alice", "secret"));

  bool closed = false;
  for (int step = 0; step < 9 && !closed; ++step) {  // at most 45 s
    ASSERT_EQ(chatty.sendMessage(5), ClientStatus::kOk);  // an ignored type
    closed = ClosedByPeer(silent.socket(), 5000);
  }
  EXPECT_TRUE(closed);
  std::int64_t limit, counter;
  EXPECT_EQ(chatty.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_TRUE(WaitUntil([&] { return daemon.auditRows().size() == 3; }));
  EXPECT_EQ(daemon.auditRows().back(), CloseRow("alice"));
}

TEST(StopTest, SigtermWritesCloseRowsOfLoggedInSessionsAndExitsZero) {
  TestDaemon daemon(AuditedSettings(/*multiConnect=*/true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  std::vector<SessionClient> sessions(3);
  for (auto& session : sessions) ASSERT_TRUE(LoggedIn(session, daemon, "alice", "secret"));
  SessionClient announced;  // not logged in: no row
  ASSERT_TRUE(OpenSession(announced, daemon));

  EXPECT_EQ(daemon.process().stop(SIGTERM), 0);
  const auto rows = daemon.auditRows();
  ASSERT_EQ(rows.size(), 6u);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(rows[i], CloseRow("alice"));
  for (auto& session : sessions) EXPECT_TRUE(ClosedByPeer(session.socket()));
}

}  // namespace
}  // namespace tarvo::test
