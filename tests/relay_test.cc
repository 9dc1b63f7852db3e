// Relays through the real TarvoServer to destinations run in the test process: TCP relays
// with their flow control, closing rules, audit rows, quota and accounting; UDP channels; name
// look-ups.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "server/common/coding.h"
#include "server/common/session_protocol.h"
#include "server/service/relay/name_resolver.h"
#include "tests/daemon_probe.h"
#include "tests/loopback_servers.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::DataConnection;
using client::LoginOutcome;
using client::ReceivedMessage;
using client::SessionClient;
using Clock = std::chrono::steady_clock;

const std::uint32_t kLoopback = ::inet_addr("127.0.0.1");

std::vector<std::uint8_t> Pattern(std::size_t from, std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = PatternByte(from + i);
  return bytes;
}

bool IsPattern(const ByteBuffer& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes.data()[i] != PatternByte(i)) return false;
  }
  return true;
}

bool LoggedIn(SessionClient& session, const TestDaemon& daemon, const std::string& name = "alice",
              const std::string& password = "secret") {
  return OpenSession(session, daemon) &&
         session.login(name, password, kIoTimeoutMs).outcome == LoginOutcome::kAccepted;
}

// Receives until into holds count bytes; the last status (kOk when all arrived).
ClientStatus ReceiveCount(DataConnection& connection, ByteBuffer& into, std::size_t count,
                          int timeoutMs = kIoTimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (into.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ClientStatus::kTimeout;
    ClientStatus status = connection.receive(into, static_cast<int>(left.count()));
    if (status != ClientStatus::kOk) return status;
  }
  return ClientStatus::kOk;
}

// Receives until the daemon closes the connection; false on time-out or error.
bool ReceiveUntilClosed(DataConnection& connection, ByteBuffer& into,
                        int timeoutMs = kIoTimeoutMs) {
  for (;;) {
    ClientStatus status = connection.receive(into, timeoutMs);
    if (status == ClientStatus::kClosed) return true;
    if (status != ClientStatus::kOk) return false;
  }
}

// A relay that carries a round trip through an echo destination.
bool EchoesThrough(const SessionClient& session, std::uint16_t echoPort) {
  DataConnection relay;
  if (relay.open(session, kLoopback, echoPort, kIoTimeoutMs) != ClientStatus::kOk) return false;
  const std::vector<std::uint8_t> ping = Pattern(0, 1000);
  if (relay.send(ping) != ClientStatus::kOk) return false;
  ByteBuffer back;
  return ReceiveCount(relay, back, ping.size()) == ClientStatus::kOk && IsPattern(back);
}

std::string RelayRow(const std::string& event, std::uint16_t port, const std::string& result) {
  return "\"alice[127.0.0.1]\",\"" + event + "\",\"127.0.0.1\",\"" + std::to_string(port) +
         "\",\"" + result + "\"";
}

// The daemon's rows about relays to port, in order.
std::vector<std::string> RelayRows(const TestDaemon& daemon, std::uint16_t port) {
  std::vector<std::string> rows;
  const std::string needle = ",\"127.0.0.1\",\"" + std::to_string(port) + "\",";
  for (const auto& row : daemon.auditRows()) {
    if (row.find(needle) != std::string::npos) rows.push_back(row);
  }
  return rows;
}

// Reads session messages until one of type arrives (others are dropped).
bool ReadMessageOfType(SessionClient& session, std::uint32_t type, ReceivedMessage& message,
                       int timeoutMs = kIoTimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (session.readMessage(message, static_cast<int>(left.count())) != ClientStatus::kOk) {
      return false;
    }
    if (message.type == type) return true;
  }
}

// A daemon with auditing on and a session logged in as alice.
class RelayTest : public ::testing::Test {
 protected:
  // limit: alice's traffic limit (0 = none).
  bool start(long long limit = 0) {
    return daemon.started() && daemon.addUser("alice", "secret", limit) &&
           LoggedIn(session, daemon);
  }

  TestDaemon daemon;
  SessionClient session;
};

TEST_F(RelayTest, DestinationThatSendsAndClosesDeliversAllThenTheRelayEnds) {
  ASSERT_TRUE(start());
  LoopbackTcpServer source(SourceHandler(100'000));

  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, source.port(), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer received;
  EXPECT_TRUE(ReceiveUntilClosed(relay, received));
  EXPECT_EQ(received.size(), 100'000u);
  EXPECT_TRUE(IsPattern(received));

  // A completed relay: "connect" "done", then "disconnect" "done".
  EXPECT_TRUE(WaitUntil([&] { return RelayRows(daemon, source.port()).size() == 2; }));
  EXPECT_EQ(RelayRows(daemon, source.port()),
            (std::vector<std::string>{RelayRow("connect", source.port(), "done"),
                                      RelayRow("disconnect", source.port(), "done")}));
}

TEST_F(RelayTest, BothDirectionsArriveByteIdenticalOnParallelRelays) {
  ASSERT_TRUE(start());
  LoopbackTcpServer echo(EchoHandler);

  constexpr std::size_t kBytes = 4 << 20;
  constexpr int kRelays = 3;
  std::vector<DataConnection> relays(kRelays);
  std::vector<std::thread> senders;
  std::atomic<int> sendFailures{0};
  for (auto& relay : relays) {
    ASSERT_EQ(relay.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
    // Odd piece sizes, so records and reads never line up with cipher units.
    senders.emplace_back([&relay, &sendFailures] {
      for (std::size_t at = 0; at < kBytes;) {
        const std::size_t piece = std::min<std::size_t>(kBytes - at, 70'001);
        if (relay.send(Pattern(at, piece), 10'000) != ClientStatus::kOk) ++sendFailures;
        at += piece;
      }
    });
  }
  for (auto& relay : relays) {
    ByteBuffer back;
    EXPECT_EQ(ReceiveCount(relay, back, kBytes, 30'000), ClientStatus::kOk);
    EXPECT_EQ(back.size(), kBytes);
    EXPECT_TRUE(IsPattern(back));
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(sendFailures.load(), 0);

  // The client closing its data connection ends the relay.
  relays[0].close();
  EXPECT_TRUE(WaitUntil([&] {
    auto rows = RelayRows(daemon, echo.port());
    return std::count(rows.begin(), rows.end(), RelayRow("disconnect", echo.port(), "done")) == 1;
  }));
}

TEST_F(RelayTest, RelayToAClosedPortWritesConnectFailAndNoDisconnect) {
  ASSERT_TRUE(start());
  const auto closedPort = static_cast<std::uint16_t>(FreeLoopbackPort());

  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, closedPort, kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer received;
  EXPECT_TRUE(ReceiveUntilClosed(relay, received));
  EXPECT_EQ(received.size(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return !RelayRows(daemon, closedPort).empty(); }));
  EXPECT_EQ(RelayRows(daemon, closedPort),
            std::vector<std::string>{RelayRow("connect", closedPort, "fail")});

  // A data connection that closes before its header makes no relay and no row.
  client::Socket early;
  ASSERT_TRUE(ConnectRaw(early, daemon));
  ByteBuffer opening;
  AppendDataOpening(opening, session.sessionId());
  opening.append("\x7f\x00", 2);
  ASSERT_EQ(early.sendAll(opening.view(), kIoTimeoutMs), ClientStatus::kOk);
  early.close();
  EXPECT_TRUE(EchoesThrough(session, LoopbackTcpServer(EchoHandler).port()));
  EXPECT_EQ(RelayRows(daemon, closedPort).size(), 1u);
}

// An IPv4 address of one of this host's interfaces other than loopback, or 0 when none.
std::uint32_t InterfaceAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  std::uint32_t found = 0;
  for (const ifaddrs* each = list; each != nullptr && found == 0; each = each->ifa_next) {
    if (each->ifa_addr == nullptr || each->ifa_addr->sa_family != AF_INET) continue;
    const std::uint32_t address =
        reinterpret_cast<const sockaddr_in*>(each->ifa_addr)->sin_addr.s_addr;
    if ((ntohl(address) >> 24) != 127) found = address;
  }
  ::freeifaddrs(list);
  return found;
}

// The daemon listens on every local address: a relay to its port at any of them would hand a
// logged-in user the login from the host itself. Each fails as a refused connection would.
TEST_F(RelayTest, RelaysToTheDaemonsOwnPortFailAsARefusedConnection) {
  ASSERT_TRUE(start());
  std::vector<std::uint32_t> addresses = {kLoopback, ::inet_addr("127.0.0.9"),
                                          ::inet_addr("0.0.0.0")};
  if (const std::uint32_t own = InterfaceAddress(); own != 0) addresses.push_back(own);
  for (const std::uint32_t address : addresses) {
    const std::string dotted = FormatIPv4(address);
    SCOPED_TRACE(dotted);
    DataConnection relay;
    ASSERT_EQ(relay.open(session, address, daemon.port(), kIoTimeoutMs), ClientStatus::kOk);
    ByteBuffer received;
    EXPECT_TRUE(ReceiveUntilClosed(relay, received));
    EXPECT_EQ(received.size(), 0u);
    const std::string row = "\"alice[127.0.0.1]\",\"connect\",\"" + dotted + "\",\"" +
                            std::to_string(daemon.port()) + "\",\"fail\"";
    EXPECT_TRUE(WaitUntil([&] {
      const auto rows = daemon.auditRows();
      return std::find(rows.begin(), rows.end(), row) != rows.end();
    }));
  }
  // No row says a relay reached the port, and the session relays elsewhere as before.
  for (const auto& row : daemon.auditRows()) {
    EXPECT_EQ(row.find("\"" + std::to_string(daemon.port()) + "\",\"done\""), std::string::npos)
        << row;
  }
  EXPECT_TRUE(EchoesThrough(session, LoopbackTcpServer(EchoHandler).port()));
}

TEST_F(RelayTest, AThousandDataConnectionsOpenedAtOnceAllRelay) {
  // What a download manager does: connect them all first, then send every opening message.
  ASSERT_TRUE(start());
  constexpr int kRelays = 1000;
  constexpr std::size_t kBytes = 2000;
  if (RaiseDescriptorLimit(8192) < kRelays * 2 + 256) GTEST_SKIP() << "descriptor limit too low";
  LoopbackTcpServer source(SourceHandler(kBytes));
  std::vector<client::Socket> relays(kRelays);
  for (auto& relay : relays) ASSERT_TRUE(ConnectRaw(relay, daemon));
  ByteBuffer opening;
  AppendDataOpening(opening, session.sessionId());
  AppendDestinationHeader(opening, kLoopback, source.port());
  for (auto& relay : relays) {
    ASSERT_EQ(relay.sendAll(opening.view(), kIoTimeoutMs), ClientStatus::kOk);
  }
  int complete = 0;
  for (auto& relay : relays) {
    AESDecryptor decryptor(session.keyText().c_str(), static_cast<int>(session.keyText().size()));
    ByteBuffer records;
    while (relay.receiveSome(records, 65536, kIoTimeoutMs) == ClientStatus::kOk) {
    }
    ByteBuffer plaintext = decryptor.transform(records.data(), records.size());
    if (plaintext.size() == kBytes && IsPattern(plaintext)) ++complete;
  }
  EXPECT_EQ(complete, kRelays);
}

// True while some socket of this host is sending its SYN to port on 127.0.0.1.
bool ConnectionInProgressTo(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (remote == wanted && state == "02") return true;  // SYN_SENT
  }
  return false;
}

// A client that sends its request and closes its side before the destination has accepted
// still has the request delivered, then the relay ends as any other.
TEST_F(RelayTest, RequestSentAndClosedWhileConnectingStillReachesTheDestination) {
  ASSERT_TRUE(start());
  // A listener whose accept queue is full drops the relay's SYN, so the daemon's connection
  // stays in progress until the kernel sends the SYN again, about a second later.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopback;
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::uint16_t port = ntohs(address.sin_port);
  UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, port, kIoTimeoutMs), ClientStatus::kOk);
  const std::vector<std::uint8_t> request = Pattern(0, 3000);
  ASSERT_EQ(relay.send(request), ClientStatus::kOk);
  ASSERT_EQ(::shutdown(relay.socket().fd(), SHUT_WR), 0);

  // Once the daemon's SYN has been dropped, make room: the filler goes, and the relay's
  // connection is the next one accepted.
  EXPECT_TRUE(WaitUntil([&] { return ConnectionInProgressTo(port); }));
  UniqueFd(::accept(listener.get(), nullptr, nullptr));
  pollfd ready{listener.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, kIoTimeoutMs), 1);
  UniqueFd destination(::accept(listener.get(), nullptr, nullptr));
  ASSERT_TRUE(destination.valid());
  timeval wait{kIoTimeoutMs / 1000, 0};
  ::setsockopt(destination.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ByteBuffer received;
  std::uint8_t buffer[4096];
  ssize_t n;
  while ((n = ::recv(destination.get(), buffer, sizeof buffer, 0)) > 0) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(n, 0) << "the relay did not end its side";
  EXPECT_EQ(received.size(), request.size());
  EXPECT_TRUE(IsPattern(received));
  EXPECT_TRUE(WaitUntil([&] { return RelayRows(daemon, port).size() == 2; }));
  EXPECT_EQ(RelayRows(daemon, port),
            (std::vector<std::string>{RelayRow("connect", port, "done"),
                                      RelayRow("disconnect", port, "done")}));
}

TEST_F(RelayTest, SlowDestinationPausesReadingFromTheClientAndLosesNothing) {
  ASSERT_TRUE(start());
  std::atomic<bool> release{false};
  std::atomic<std::size_t> received{0};
  std::atomic<bool> intact{true};
  LoopbackTcpServer sink(SinkHandler(release, received, intact));
  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, sink.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_TRUE(EchoesThrough(session, LoopbackTcpServer(EchoHandler).port()));  // warm up
  const long before = ResidentKiB(daemon.process().pid());
  ASSERT_GT(before, 0);

  // Push until the client cannot send any more: the daemon has stopped reading.
  constexpr std::size_t kPiece = 256 << 10;
  constexpr std::size_t kMost = 200 << 20;
  std::size_t pushed = 0;
  bool stalled = false;
  while (pushed < kMost) {
    if (relay.send(Pattern(pushed, kPiece), 1000) != ClientStatus::kOk) {
      stalled = true;
      break;
    }
    pushed += kPiece;
  }
  const long after = ResidentKiB(daemon.process().pid());
  EXPECT_TRUE(stalled) << "pushed " << pushed << " bytes without back-pressure";
  // The daemon holds about one queue's worth per side, not what the client pushed.
  EXPECT_LT(after - before, 16 * 1024)
      << "VmRSS " << before << " -> " << after << " KiB after " << pushed << " bytes";
  std::printf(
      "slow destination: pushed %zu MB before the client stalled; daemon VmRSS %ld -> "
      "%ld KiB\n",
      pushed >> 20, before, after);

  // Once the destination reads, everything the client got out arrives, in order.
  release.store(true);
  EXPECT_TRUE(WaitUntil([&] { return received.load() >= pushed; }, 30'000));
  EXPECT_TRUE(intact.load());
}

TEST_F(RelayTest, OverQuotaCutsRelaysAndRefusesNewOnesWhileUdpFlowsUntilAReset) {
  ASSERT_TRUE(start(1'000'000));
  LoopbackTcpServer echo(EchoHandler);
  UdpEchoServer udpEcho;

  // Both directions count: about 500,000 bytes each way reach the limit.
  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer back;
  bool cut = false;
  for (std::size_t at = 0; at < (4 << 20) && !cut; at += 50'000) {
    if (relay.send(Pattern(at, 50'000), 2000) != ClientStatus::kOk) {
      cut = true;
      break;
    }
    ClientStatus status = ReceiveCount(relay, back, at + 50'000, 2000);
    cut = status == ClientStatus::kClosed || status == ClientStatus::kIoError;
  }
  EXPECT_TRUE(cut);
  EXPECT_LT(back.size(), 1'000'000u);
  EXPECT_TRUE(IsPattern(back));

  // A new relay is closed at once, without a connection to the destination.
  const int acceptedBefore = echo.accepted();
  DataConnection refused;
  ASSERT_EQ(refused.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  ByteBuffer nothing;
  EXPECT_TRUE(ReceiveUntilClosed(refused, nothing));
  EXPECT_EQ(echo.accepted(), acceptedBefore);

  // Datagrams are not counted and still flow.
  const std::vector<std::uint8_t> hello{'h', 'i'};
  ASSERT_EQ(session.sendUdpData(kLoopback, udpEcho.port(), 1, hello), ClientStatus::kOk);
  ReceivedMessage message;
  ASSERT_TRUE(ReadMessageOfType(session, MessageType::UdpData, message));

  // Once the cut relay's bytes are stored, the store resets the counter: the session rereads
  // it and relays again. TrafficInfo tells the limit reached at once, stored or not.
  std::int64_t limit = 0, counter = 0;
  ASSERT_EQ(session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_GE(counter, limit);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return session.trafficInfo(limit, counter, kIoTimeoutMs) == ClientStatus::kOk &&
               daemon.storedCounter("alice") >= limit;
      },
      15'000));
  ASSERT_TRUE(daemon.store({"reset", "alice"}));
  bool relaying = false;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (!relaying && Clock::now() < deadline) {
    ASSERT_EQ(session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
    relaying = EchoesThrough(session, echo.port());
    if (!relaying) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_TRUE(relaying);
}

TEST_F(RelayTest, TrafficIsStoredAboutEveryElevenSeconds) {
  ASSERT_TRUE(start());
  LoopbackTcpServer echo(EchoHandler);
  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);

  auto stored = [&] {
    std::int64_t limit = 0, counter = -1;
    EXPECT_EQ(session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
    return daemon.storedCounter("alice");
  };
  // Polls the stored counter (TrafficInfo keeps the session alive) until it reads want.
  auto waitForCounter = [&](std::int64_t want, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      if (stored() == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  auto roundTrip = [&](std::size_t count) {
    ByteBuffer back;
    ASSERT_EQ(relay.send(Pattern(0, count)), ClientStatus::kOk);
    ASSERT_EQ(ReceiveCount(relay, back, count), ClientStatus::kOk);
  };

  roundTrip(10'000);  // 10,000 bytes each way
  // TrafficInfo counts them at once; the store has them at the next store.
  std::int64_t limit = 0, counter = 0;
  ASSERT_EQ(session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
  EXPECT_EQ(counter, 20'000);
  ASSERT_TRUE(waitForCounter(20'000, 15));
  const auto firstStore = Clock::now();
  roundTrip(5'000);
  ASSERT_TRUE(waitForCounter(30'000, 15));
  // The next store waits for the interval since the last one. That no store happens without
  // traffic, and the interval's exact edges, are checked on the fake clock in
  // session_rules_test (NothingCountedMakesNoStoreCall,
  // CountedBytesAreStoredElevenSecondsAfterTheLastStore).
  EXPECT_GE(Clock::now() - firstStore, std::chrono::seconds(10));
  EXPECT_EQ(stored(), 30'000);
}

TEST_F(RelayTest, StoppingTheDaemonWritesTheRowsOfOpenRelays) {
  ASSERT_TRUE(start());
  LoopbackTcpServer echo(EchoHandler);
  DataConnection relay;
  ASSERT_EQ(relay.open(session, kLoopback, echo.port(), kIoTimeoutMs), ClientStatus::kOk);
  ASSERT_EQ(relay.send(Pattern(0, 10)), ClientStatus::kOk);
  ByteBuffer back;
  ASSERT_EQ(ReceiveCount(relay, back, 10), ClientStatus::kOk);

  EXPECT_EQ(daemon.process().stop(SIGTERM), 0) << daemon.process().stderrText();
  EXPECT_EQ(RelayRows(daemon, echo.port()),
            (std::vector<std::string>{RelayRow("connect", echo.port(), "done"),
                                      RelayRow("disconnect", echo.port(), "done")}));
  const auto rows = daemon.auditRows();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back(), "\"alice[127.0.0.1]\",\"close\",\"\",\"\",\"done\"");
}

// One UdpData reply: the source, the channel and the datagram.
struct UdpReply {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  std::uint32_t channel = 0;
  ByteBuffer datagram;
};

bool ReadUdpReply(SessionClient& session, UdpReply& reply) {
  ReceivedMessage message;
  if (!ReadMessageOfType(session, MessageType::UdpData, message)) return false;
  UdpDataHeader header;
  if (!ParseUdpDataReply(message.payload.view(), header)) return false;
  reply.address = header.address;
  reply.port = header.port;
  reply.channel = header.channel;
  reply.datagram.clear();
  return session.decipher(header.record, reply.datagram) == ClientStatus::kOk;
}

// The echo server's answer ends with the port that sent the datagram (network order).
std::uint16_t SenderPort(const ByteBuffer& echoed) {
  return static_cast<std::uint16_t>((echoed.data()[echoed.size() - 2] << 8) |
                                    echoed.data()[echoed.size() - 1]);
}

TEST_F(RelayTest, DatagramsComeBackOnTheirChannelWithTheSourceAddressAndPort) {
  ASSERT_TRUE(start());
  UdpEchoServer echo;

  const std::vector<std::uint8_t> datagram = Pattern(0, 1000);
  ASSERT_EQ(session.sendUdpData(kLoopback, echo.port(), 7, datagram, 0xBEEF), ClientStatus::kOk);
  UdpReply reply;
  ASSERT_TRUE(ReadUdpReply(session, reply));
  EXPECT_EQ(reply.channel, 7u);
  EXPECT_EQ(reply.address, kLoopback);
  EXPECT_EQ(reply.port, echo.port());
  ASSERT_EQ(reply.datagram.size(), datagram.size() + 2);
  EXPECT_TRUE(std::equal(datagram.begin(), datagram.end(), reply.datagram.data()));
  const std::uint16_t channelPort = SenderPort(reply.datagram);

  // Another channel is another socket.
  ASSERT_EQ(session.sendUdpData(kLoopback, echo.port(), 8, datagram), ClientStatus::kOk);
  ASSERT_TRUE(ReadUdpReply(session, reply));
  EXPECT_EQ(reply.channel, 8u);
  EXPECT_NE(SenderPort(reply.datagram), channelPort);

  // Closing an unknown channel changes nothing: channel 7 still sends from its socket.
  ASSERT_EQ(session.sendUdpClose(12345), ClientStatus::kOk);
  ASSERT_EQ(session.sendUdpData(kLoopback, echo.port(), 7, {}), ClientStatus::kOk);
  ASSERT_TRUE(ReadUdpReply(session, reply));
  EXPECT_EQ(reply.channel, 7u);
  ASSERT_EQ(reply.datagram.size(), 2u);  // an empty datagram, echoed with the port
  EXPECT_EQ(SenderPort(reply.datagram), channelPort);

  // Closing channel 7 ends its socket; the id then makes a new channel.
  ASSERT_EQ(session.sendUdpClose(7), ClientStatus::kOk);
  ASSERT_EQ(session.sendUdpData(kLoopback, echo.port(), 7, datagram), ClientStatus::kOk);
  ASSERT_TRUE(ReadUdpReply(session, reply));
  EXPECT_EQ(reply.channel, 7u);
  EXPECT_NE(SenderPort(reply.datagram), channelPort);

  // A malformed UdpData (header cut short) is ignored; the session goes on.
  ASSERT_EQ(session.sendMessage(MessageType::UdpData, ByteList({1, 2, 3})), ClientStatus::kOk);
  std::int64_t limit = 0, counter = 0;
  EXPECT_EQ(session.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
}

// Bytes after the datagram's record do not belong to it: the datagram still goes out, whole,
// and the next message deciphers as usual.
TEST_F(RelayTest, ADatagramFollowedByStrayBytesIsStillSent) {
  ASSERT_TRUE(start());
  UdpEchoServer echo;
  const std::vector<std::uint8_t> datagram = Pattern(0, 100);
  // One byte (half a record prefix), then a prefix and the start of a unit.
  for (const std::vector<std::uint8_t>& stray :
       {ByteList({0x5A}), ByteList({0x40, 0x00, 1, 2, 3})}) {
    ByteBuffer frame;
    AppendUdpDataRequest(frame, *session.encryptor(), kLoopback, echo.port(), 0, 3, datagram);
    frame.append(stray);
    EncodeFixed32(frame.data() + 4, static_cast<std::uint32_t>(frame.size()));
    ASSERT_EQ(session.sendRaw(frame.view()), ClientStatus::kOk);
    UdpReply reply;
    ASSERT_TRUE(ReadUdpReply(session, reply)) << stray.size();
    ASSERT_EQ(reply.datagram.size(), datagram.size() + 2);
    EXPECT_TRUE(std::equal(datagram.begin(), datagram.end(), reply.datagram.data()));

    ASSERT_EQ(session.sendUdpData(kLoopback, echo.port(), 3, datagram), ClientStatus::kOk);
    ASSERT_TRUE(ReadUdpReply(session, reply));
    EXPECT_TRUE(std::equal(datagram.begin(), datagram.end(), reply.datagram.data()));
  }
}

// Sends one datagram to 127.0.0.1:port from a socket of its own bound to source; the port it
// was sent from (host order), or 0 on failure.
std::uint16_t SendDatagramFrom(const char* source, std::uint16_t port, std::string_view text) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ::inet_addr(source);
  socklen_t length = sizeof local;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = kLoopback;
  remote.sin_port = htons(port);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), length) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      ::sendto(fd.get(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&remote),
               sizeof remote) != static_cast<ssize_t>(text.size())) {
    return 0;
  }
  return ntohs(local.sin_port);
}

// A channel sends to an echo server on 127.0.0.1; then strangers at 127.0.0.2 and at
// 127.0.0.1 (another port) send to the channel's socket, and the echo server answers once
// more. What reaches the client, in order, up to that last echo: each reply's datagram.
std::vector<std::string> DatagramsAfterStrangers(bool restricted) {
  ServerSettingsRecord settings = AuditedSettings();
  settings.UdpAddressRestricted = restricted;
  TestDaemon daemon(settings);
  SessionClient session;
  UdpEchoServer echo;
  std::vector<std::string> delivered;
  if (!daemon.started() || !daemon.addUser("alice", "secret") || !LoggedIn(session, daemon)) {
    ADD_FAILURE() << "no session";
    return delivered;
  }
  const std::vector<std::uint8_t> first{'o', 'n', 'e'};
  UdpReply reply;
  if (session.sendUdpData(kLoopback, echo.port(), 5, first) != ClientStatus::kOk ||
      !ReadUdpReply(session, reply)) {
    ADD_FAILURE() << "no echo";
    return delivered;
  }
  const std::uint16_t channelPort = SenderPort(reply.datagram);
  // Queued in the channel's socket before the second echo can be.
  EXPECT_NE(SendDatagramFrom("127.0.0.2", channelPort, "stranger"), 0);
  EXPECT_NE(SendDatagramFrom("127.0.0.1", channelPort, "neighbour"), 0);
  const std::vector<std::uint8_t> second{'t', 'w', 'o'};
  EXPECT_EQ(session.sendUdpData(kLoopback, echo.port(), 5, second), ClientStatus::kOk);
  while (ReadUdpReply(session, reply)) {
    EXPECT_EQ(reply.channel, 5u);
    if (reply.port == echo.port()) {
      delivered.emplace_back("echo");
      break;
    }
    delivered.push_back(FormatIPv4(reply.address) + " " +
                        std::string(reinterpret_cast<const char*>(reply.datagram.data()),
                                    reply.datagram.size()));
  }
  return delivered;
}

// By default a channel passes datagrams from any sender, as peer-to-peer programs need; with
// UdpAddressRestricted only from addresses it has sent to, whatever their port.
TEST(UdpSenderTest, DefaultPassesEverySenderRestrictedOnlyAddressesSentTo) {
  EXPECT_EQ(DatagramsAfterStrangers(false),
            (std::vector<std::string>{"127.0.0.2 stranger", "127.0.0.1 neighbour", "echo"}));
  EXPECT_EQ(DatagramsAfterStrangers(true),
            (std::vector<std::string>{"127.0.0.1 neighbour", "echo"}));
}

// The answers that arrive within waitMs: name -> address, and when the first came.
struct Answers {
  std::vector<std::pair<std::string, std::uint32_t>> names;
  Clock::duration firstAfter{};
};

Answers ReadResolveAnswers(SessionClient& session, Clock::time_point asked, std::size_t most,
                           int waitMs) {
  Answers answers;
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  while (answers.names.size() < most) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    ReceivedMessage message;
    if (left.count() <= 0 || !ReadMessageOfType(session, MessageType::Resolve, message,
                                                static_cast<int>(left.count()))) {
      break;
    }
    if (answers.names.empty()) answers.firstAfter = Clock::now() - asked;
    ByteBuffer plaintext;
    EXPECT_EQ(session.decipher(message.payload.view(), plaintext), ClientStatus::kOk);
    std::uint32_t address = 0;
    std::string name;
    EXPECT_TRUE(ParseResolveAnswer(plaintext.view(), address, name));
    answers.names.emplace_back(name, address);
  }
  return answers;
}

TEST_F(RelayTest, NamesThatResolveAreAnsweredNoSoonerThanASecondLater) {
  ASSERT_TRUE(start());

  const std::vector<std::string> names{"localhost", "nonexistent.invalid", "127.0.0.2"};
  const auto asked = Clock::now();
  ASSERT_EQ(session.sendResolve(names), ClientStatus::kOk);
  Answers answers = ReadResolveAnswers(session, asked, 3, 4000);
  ASSERT_EQ(answers.names.size(), 2u);
  EXPECT_GE(answers.firstAfter, std::chrono::milliseconds(1000));
  std::sort(answers.names.begin(), answers.names.end());
  EXPECT_EQ(answers.names[0], std::make_pair(std::string("127.0.0.2"), ::inet_addr("127.0.0.2")));
  EXPECT_EQ(answers.names[1], std::make_pair(std::string("localhost"), kLoopback));

  // A count larger than the records sent: the records there are answered, nothing is read past
  // the payload.
  ByteBuffer frame;
  AppendResolveRequest(frame, *session.encryptor(), std::vector<std::string>{"localhost"});
  ByteBuffer payload;
  PutFixed32(payload, 1000);
  payload.append(frame.data() + kMessageHeaderSize + 4, frame.size() - kMessageHeaderSize - 4);
  const auto askedAgain = Clock::now();
  ASSERT_EQ(session.sendMessage(MessageType::Resolve, payload.view()), ClientStatus::kOk);
  answers = ReadResolveAnswers(session, askedAgain, 2, 2500);
  ASSERT_EQ(answers.names.size(), 1u);
  EXPECT_EQ(answers.names[0].first, "localhost");

  // A session that ends with look-ups pending leaves the daemon sound.
  ASSERT_EQ(session.sendResolve(names), ClientStatus::kOk);
  session.close();
  SessionClient next;
  // The daemon may not have seen the first session end yet: a second one is a double connect.
  ASSERT_TRUE(WaitUntil([&] {
    next = SessionClient();
    return LoggedIn(next, daemon);
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  std::int64_t limit = 0, counter = 0;
  EXPECT_EQ(next.trafficInfo(limit, counter, kIoTimeoutMs), ClientStatus::kOk);
}

// ---- Look-ups through a name server run by the test ----

// The daemon is pointed at the test's name server (kNameServersVariable). In its zone n<i>.test
// is 10.0.x.y with i = x * 256 + y; a name starting with "hang" is never answered.
std::uint32_t ZoneAddress(unsigned i) { return htonl(0x0a000000u | i); }

std::optional<std::uint32_t> Zone(const std::string& name) {
  unsigned i = 0;
  if (std::sscanf(name.c_str(), "n%u.test", &i) == 1) return ZoneAddress(i);
  return std::nullopt;
}

std::string ZoneName(unsigned i) { return "n" + std::to_string(i) + ".test"; }

class ResolverTest : public ::testing::Test {
 protected:
  bool start() {
    return daemon.started() && daemon.addUser("alice", "secret") && daemon.addUser("bob", "pw") &&
           LoggedIn(session, daemon);
  }

  LoopbackNameServer names{Zone};
  TestDaemon daemon{AuditedSettings(), {{kNameServersVariable, names.address()}}};
  SessionClient session;
};

TEST_F(ResolverTest, NamesThatHangForOneSessionDelayNoOtherSession) {
  ASSERT_TRUE(start());
  SessionClient other;
  ASSERT_TRUE(LoggedIn(other, daemon, "bob", "pw"));
  // Once look-ups have started, the resolver thread keeps one descriptor (its wake-up).
  const long restingFds = OpenDescriptors(daemon.process().pid()) + 1;
  std::vector<std::string> hanging;
  for (std::size_t i = 0; i < kMaxPendingNamesPerSession; ++i) {
    hanging.push_back("hang" + std::to_string(i) + ".test");
  }
  ASSERT_EQ(session.sendResolve(hanging), ClientStatus::kOk);
  // All of them are in the resolver, waiting on the name server.
  ASSERT_TRUE(WaitUntil([&] { return names.questions() >= static_cast<int>(hanging.size()); }));

  const auto asked = Clock::now();
  ASSERT_EQ(other.sendResolve(std::vector<std::string>{ZoneName(7)}), ClientStatus::kOk);
  Answers answers = ReadResolveAnswers(other, asked, 1, 4000);
  ASSERT_EQ(answers.names.size(), 1u);
  std::printf("[ figures ] a name answered after %lld ms while another session has %zu hanging\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(answers.firstAfter).count()),
              hanging.size());
  EXPECT_EQ(answers.names[0], std::make_pair(ZoneName(7), ZoneAddress(7)));
  EXPECT_GE(answers.firstAfter, kResolveAnswerDelay);

  // The hanging names are given up (their resolver sockets close), and the session that asked
  // for them is answered again.
  ASSERT_TRUE(WaitUntil(
      [&] { return OpenDescriptors(daemon.process().pid()) <= restingFds; },
      static_cast<int>(std::chrono::milliseconds(kResolverChannelOpen + kResolverChannelGrace)
                           .count()) + 3000));
  const auto askedAgain = Clock::now();
  ASSERT_EQ(session.sendResolve(std::vector<std::string>{ZoneName(8)}), ClientStatus::kOk);
  answers = ReadResolveAnswers(session, askedAgain, 1, 4000);
  ASSERT_EQ(answers.names.size(), 1u);
  EXPECT_EQ(answers.names[0].second, ZoneAddress(8));
}

TEST_F(ResolverTest, HundredsOfNamesInOneBurstAreAllAnswered) {
  ASSERT_TRUE(start());
  // One request of 300 names, then 256 requests of one name each, as tarvoclient sends them
  // when it has its most names outstanding.
  std::vector<std::string> burst;
  for (unsigned i = 0; i < 300; ++i) burst.push_back(ZoneName(i));
  const auto asked = Clock::now();
  ASSERT_EQ(session.sendResolve(burst), ClientStatus::kOk);
  for (unsigned i = 300; i < 556; ++i) {
    ASSERT_EQ(session.sendResolve(std::vector<std::string>{ZoneName(i)}), ClientStatus::kOk);
  }
  Answers answers = ReadResolveAnswers(session, asked, 556, 10000);
  ASSERT_EQ(answers.names.size(), 556u);
  EXPECT_GE(answers.firstAfter, kResolveAnswerDelay);
  std::vector<bool> seen(556, false);
  for (const auto& [name, address] : answers.names) {
    unsigned i = 0;
    ASSERT_EQ(std::sscanf(name.c_str(), "n%u.test", &i), 1) << name;
    ASSERT_LT(i, seen.size());
    EXPECT_FALSE(seen[i]) << name;
    seen[i] = true;
    EXPECT_EQ(address, ZoneAddress(i)) << name;
  }
}

TEST_F(ResolverTest, EachNameIsAnsweredWhenItResolvesNotWithTheSlowestOfItsRequest) {
  ASSERT_TRUE(start());
  const std::vector<std::string> request{"hang.test", ZoneName(1), "localhost", "127.0.0.9"};
  const auto asked = Clock::now();
  ASSERT_EQ(session.sendResolve(request), ClientStatus::kOk);
  // Well before the hanging name is given up (kResolverChannelOpen at least).
  Answers answers = ReadResolveAnswers(session, asked, 3, 3500);
  ASSERT_EQ(answers.names.size(), 3u);
  EXPECT_GE(answers.firstAfter, kResolveAnswerDelay);
  std::sort(answers.names.begin(), answers.names.end());
  EXPECT_EQ(answers.names[0], std::make_pair(std::string("127.0.0.9"), ::inet_addr("127.0.0.9")));
  EXPECT_EQ(answers.names[1], std::make_pair(std::string("localhost"), kLoopback));
  EXPECT_EQ(answers.names[2], std::make_pair(ZoneName(1), ZoneAddress(1)));
}

}  // namespace
}  // namespace tarvo::test
