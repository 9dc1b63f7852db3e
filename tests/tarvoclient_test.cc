// tarvoclient as a process against the real daemon: login outcomes as printed, downloads
// through the SOCKS5 proxy with curl, failed destinations, UDP ASSOCIATE and re-login.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>

#include "client/socks5_protocol.h"
#include "tests/tarvo_daemon_fixture.h"

extern char** environ;

namespace tarvo::test {
namespace {

// A program started for a test, stdout and stderr in files; killed if still running at the end.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, const std::string& dir,
               std::vector<std::string> extraEnv = {}) {
    static int counter = 0;
    outPath_ = dir + "/child-" + std::to_string(++counter) + ".txt";
    std::vector<std::string> envText;
    // Each test's own known-servers file: ports come back in later tests with other keys.
    envText.push_back("XDG_CONFIG_HOME=" + dir);
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).starts_with("XDG_CONFIG_HOME=")) continue;
      envText.emplace_back(*e);
    }
    for (auto& entry : extraEnv) envText.push_back(entry);
    std::vector<char*> env;
    for (auto& entry : envText) env.push_back(entry.data());
    env.push_back(nullptr);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool running() {
    poll();
    return pid_ > 0 && !status_;
  }
  std::optional<int> waitExit(int timeoutMs) {
    WaitUntil([this] { return !running(); }, timeoutMs);
    return status_;
  }
  std::optional<int> stop(int timeoutMs = kIoTimeoutMs) {
    if (running()) ::kill(pid_, SIGTERM);
    return waitExit(timeoutMs);
  }
  std::string output() const {
    std::ifstream file(outPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  bool waitOutput(const std::string& text, int timeoutMs = kIoTimeoutMs) {
    return WaitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
  }

 private:
  void poll() {
    if (pid_ <= 0 || status_) return;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string outPath_;
};

std::string ClientPath() { return TARVOCLIENT_PATH; }

std::vector<std::string> ClientArgs(const TestDaemon& daemon, const std::string& user,
                                    std::vector<std::string> more = {}) {
  std::vector<std::string> args{
      ClientPath(), "--server",   "127.0.0.1:" + std::to_string(daemon.port()), "--user", user,
      "--listen",   "127.0.0.1:0"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// A started tarvoclient and the port it listens on (0 when it did not get that far).
struct RunningClient {
  std::unique_ptr<ChildProcess> process;
  int port = 0;
};

RunningClient StartClient(const TestDaemon& daemon, const std::string& user,
                          const std::string& password, std::vector<std::string> more = {}) {
  RunningClient client;
  client.process =
      std::make_unique<ChildProcess>(ClientArgs(daemon, user, std::move(more)), daemon.home(),
                                     std::vector<std::string>{"TARVO_PASSWORD=" + password});
  const std::string marker = "listening on 127.0.0.1:";
  if (client.process->waitOutput(marker)) {
    std::string text = client.process->output();
    client.port = std::stoi(text.substr(text.find(marker) + marker.size()));
  }
  return client;
}

// What a refused login prints and its exit status, over protocol v1 (v2 tells every refusal
// alike: v2_attack_test).
std::pair<std::optional<int>, std::string> RefusedLogin(const TestDaemon& daemon,
                                                        const std::string& user,
                                                        const std::string& password,
                                                        std::vector<std::string> more = {}) {
  more.insert(more.begin(), {"--protocol", "v1"});
  ChildProcess process(ClientArgs(daemon, user, std::move(more)), daemon.home(),
                       {"TARVO_PASSWORD=" + password});
  std::optional<int> status = process.waitExit(10000);
  return {status, process.output()};
}

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadAll(int fd, std::uint8_t* into, std::size_t count) {
  while (count > 0) {
    ssize_t got = ::recv(fd, into, count, 0);
    if (got <= 0) return false;
    into += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

// Sends a SOCKS5 request (no authentication) and returns the reply code, or -1 when the proxy
// closed or answered something else; bound receives the reply's address and port.
int SocksRequest(int fd, std::uint8_t command, const std::vector<std::uint8_t>& address,
                 std::uint16_t port, sockaddr_in* bound = nullptr) {
  std::vector<std::uint8_t> request = {5, 1, 0, 5, command, 0};
  request.insert(request.end(), address.begin(), address.end());
  request.push_back(static_cast<std::uint8_t>(port >> 8));
  request.push_back(static_cast<std::uint8_t>(port & 0xff));
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return -1;
  }
  std::uint8_t reply[12];
  if (!ReadAll(fd, reply, 12) || reply[0] != 5 || reply[1] != 0 || reply[2] != 5 || reply[5] != 1) {
    return -1;
  }
  if (bound) {
    bound->sin_family = AF_INET;
    std::memcpy(&bound->sin_addr, reply + 6, 4);
    std::memcpy(&bound->sin_port, reply + 10, 2);
  }
  return reply[3];
}

std::vector<std::uint8_t> IPv4Loopback() { return {1, 127, 0, 0, 1}; }
std::vector<std::uint8_t> Domain(const std::string& name) {
  std::vector<std::uint8_t> bytes = {3, static_cast<std::uint8_t>(name.size())};
  bytes.insert(bytes.end(), name.begin(), name.end());
  return bytes;
}

// A loopback port nobody listens on.
int ClosedPort() { return FreeLoopbackPort(); }

bool SameFiles(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  if (!first || !second) return false;
  std::vector<char> x(1 << 20), y(1 << 20);
  for (;;) {
    first.read(x.data(), x.size());
    second.read(y.data(), y.size());
    if (first.gcount() != second.gcount()) return false;
    if (first.gcount() == 0) return true;
    if (std::memcmp(x.data(), y.data(), first.gcount()) != 0) return false;
  }
}

class HttpServer {
 public:
  explicit HttpServer(const std::string& dir)
      : port_(FreeLoopbackPort()),
        process_({"python3", "-m", "http.server", std::to_string(port_), "--bind", "127.0.0.1",
                  "--directory", dir},
                 dir) {
    WaitUntil([this] { return PortAcceptsConnections(port_); }, 20000);
  }
  int port() const { return port_; }

 private:
  int port_;
  ChildProcess process_;
};

TEST(TarvoClient, LoginOutcomesArePrintedAndRefusalsExitNonZero) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  ASSERT_TRUE(daemon.addUser("locked", "secret"));
  ASSERT_TRUE(daemon.store({"lock", "locked"}));

  auto [status, text] = RefusedLogin(daemon, "nobody", "secret");
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("login refused: unknown user"), std::string::npos) << text;
  std::tie(status, text) = RefusedLogin(daemon, "alice", "wrong");
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("login refused: invalid password"), std::string::npos) << text;
  std::tie(status, text) = RefusedLogin(daemon, "locked", "secret");
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("login refused: user locked"), std::string::npos) << text;
  std::tie(status, text) = RefusedLogin(daemon, "alice", "secret", {"--client-version", "2.0.1"});
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("outside the range the server accepts (2.0.4-2.0.5)"), std::string::npos)
      << text;

  RunningClient first = StartClient(daemon, "alice", "secret");
  ASSERT_NE(first.port, 0) << first.process->output();
  EXPECT_NE(first.process->output().find("logged in to"), std::string::npos);
  std::tie(status, text) = RefusedLogin(daemon, "ALICE", "secret");
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("login refused: double connect"), std::string::npos) << text;

  // No daemon at all is not a refusal.
  ChildProcess nowhere(
      {ClientPath(), "--server", "127.0.0.1:" + std::to_string(ClosedPort()), "--user", "alice"},
      daemon.home(), {"TARVO_PASSWORD=secret"});
  EXPECT_EQ(nowhere.waitExit(10000), 1);
  EXPECT_NE(nowhere.output().find("cannot reach the server"), std::string::npos);
  EXPECT_EQ(first.process->stop(), 0);
}

TEST(TarvoClient, StatusPrintsLimitAndCounter) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("carol", "pw", 5000000));
  ChildProcess status({ClientPath(), "status", "--server",
                       "127.0.0.1:" + std::to_string(daemon.port()), "--user", "carol"},
                      daemon.home(), {"TARVO_PASSWORD=pw"});
  EXPECT_EQ(status.waitExit(10000), 0);
  EXPECT_NE(status.output().find("limit: 5000000 bytes"), std::string::npos) << status.output();
  EXPECT_NE(status.output().find("counter: 0 bytes"), std::string::npos) << status.output();
}

TEST(TarvoClient, AdministratorMessagesGoToStderrWithoutControlBytes) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  RunningClient client = StartClient(daemon, "alice", "secret");
  ASSERT_NE(client.port, 0) << client.process->output();
  // The administrator's list says which protocol the session speaks.
  ChildProcess sessions({TARVOADM_PATH, "--json", "sessions"}, daemon.home(),
                        {"TARVO_HOME=" + daemon.home()});
  EXPECT_EQ(sessions.waitExit(10000), 0) << sessions.output();
  EXPECT_NE(sessions.output().find("\"protocol\":\"v2\""), std::string::npos) << sessions.output();
  ChildProcess admin({TARVOADM_PATH, "message", "127.0.0.1", "disk full\x1b[2J soon"},
                     daemon.home(), {"TARVO_HOME=" + daemon.home()});
  EXPECT_EQ(admin.waitExit(10000), 0) << admin.output();
  // An escape sequence from the wire could clear or retitle the user's terminal.
  EXPECT_TRUE(client.process->waitOutput("message from the administrator: disk full?[2J soon"))
      << client.process->output();
  EXPECT_EQ(client.process->stop(), 0);
}

TEST(TarvoClient, CurlFetches100MBByteIdenticalByHostName) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  const std::string file = daemon.home() + "/big.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (int i = 0; i < 100; ++i) {  // 100 blocks of 1 MiB
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
    }
  }
  HttpServer http(daemon.home());
  RunningClient client = StartClient(daemon, "alice", "secret");
  ASSERT_NE(client.port, 0) << client.process->output();

  const std::string copy = daemon.home() + "/copy.bin";
  // The name is resolved by the daemon, not here.
  ChildProcess curl({"curl", "-sS", "--socks5-hostname", "127.0.0.1:" + std::to_string(client.port),
                     "-o", copy, "http://localhost:" + std::to_string(http.port()) + "/big.bin"},
                    daemon.home());
  EXPECT_EQ(curl.waitExit(180000), 0) << curl.output();
  EXPECT_TRUE(SameFiles(file, copy));

  const std::string port = std::to_string(http.port());
  EXPECT_TRUE(WaitUntil([&] {
    auto rows = daemon.auditRows();
    std::string all;
    for (auto& row : rows) all += row + "\n";
    return all.find("\"connect\",\"127.0.0.1\",\"" + port + "\",\"done\"") != std::string::npos &&
           all.find("\"disconnect\",\"127.0.0.1\",\"" + port + "\",\"done\"") != std::string::npos;
  }));
  EXPECT_EQ(client.process->stop(), 0);
}

TEST(TarvoClient, FailedDestinationsGetTheirSocksReplies) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  RunningClient client = StartClient(daemon, "alice", "secret");
  ASSERT_NE(client.port, 0) << client.process->output();

  int fd = ConnectLoopback(client.port);
  EXPECT_EQ(SocksRequest(fd, 1, IPv4Loopback(), static_cast<std::uint16_t>(ClosedPort())),
            static_cast<int>(socks::Reply::kConnectionRefused));
  ::close(fd);
  // The daemon answers no name that does not resolve: the client gives up after a while.
  fd = ConnectLoopback(client.port);
  EXPECT_EQ(SocksRequest(fd, 1, Domain("no-such-host.invalid"), 80),
            static_cast<int>(socks::Reply::kHostUnreachable));
  ::close(fd);
  fd = ConnectLoopback(client.port);
  std::vector<std::uint8_t> ipv6(17, 0);
  ipv6[0] = 4;
  EXPECT_EQ(SocksRequest(fd, 1, ipv6, 80),
            static_cast<int>(socks::Reply::kAddressTypeNotSupported));
  ::close(fd);
  fd = ConnectLoopback(client.port);
  EXPECT_EQ(SocksRequest(fd, 2, IPv4Loopback(), 80),
            static_cast<int>(socks::Reply::kCommandNotSupported));
  ::close(fd);
  EXPECT_TRUE(WaitUntil([&] {
    for (auto& row : daemon.auditRows()) {
      if (row.find("\"connect\"") != std::string::npos &&
          row.find("\"fail\"") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(client.process->stop(), 0);
}

TEST(TarvoClient, ProxyUserAndPasswordAreChecked) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  { std::ofstream(daemon.home() + "/proxy-pass") << "letmein\n"; }
  RunningClient client =
      StartClient(daemon, "alice", "secret",
                  {"--proxy-user", "app", "--proxy-password-file", daemon.home() + "/proxy-pass"});
  ASSERT_NE(client.port, 0) << client.process->output();

  auto attempt = [&](const std::vector<std::uint8_t>& bytes, std::size_t replySize) {
    int fd = ConnectLoopback(client.port);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::vector<std::uint8_t> reply(replySize);
    bool got = ReadAll(fd, reply.data(), reply.size());
    ::close(fd);
    return got ? reply : std::vector<std::uint8_t>{};
  };
  // Without credentials no method is acceptable.
  EXPECT_EQ(attempt({5, 1, 0}, 2), (std::vector<std::uint8_t>{5, 0xff}));
  const std::vector<std::uint8_t> wrong = {5, 1, 2, 1, 3, 'a', 'p', 'p', 3, 'b', 'a', 'd'};
  EXPECT_EQ(attempt(wrong, 4), (std::vector<std::uint8_t>{5, 2, 1, 1}));
  std::vector<std::uint8_t> right = {5, 1, 2, 1, 3, 'a', 'p', 'p', 7};
  for (char c : std::string("letmein")) right.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(attempt(right, 4), (std::vector<std::uint8_t>{5, 2, 1, 0}));
  EXPECT_EQ(client.process->stop(), 0);
}

TEST(TarvoClient, UdpAssociateRoundTripThroughTheTunnel) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  RunningClient client = StartClient(daemon, "alice", "secret");
  ASSERT_NE(client.port, 0) << client.process->output();

  // A UDP echo server on loopback.
  int echo = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in echoAddress{};
  echoAddress.sin_family = AF_INET;
  echoAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(echo, reinterpret_cast<sockaddr*>(&echoAddress), sizeof echoAddress), 0);
  socklen_t length = sizeof echoAddress;
  ::getsockname(echo, reinterpret_cast<sockaddr*>(&echoAddress), &length);
  std::atomic<bool> stop{false};
  std::thread echoThread([&] {
    while (!stop) {
      pollfd entry{echo, POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) continue;
      char buffer[2048];
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t got = ::recvfrom(echo, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
      if (got > 0) {
        ::sendto(echo, buffer, got, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
      }
    }
  });

  int control = ConnectLoopback(client.port);
  sockaddr_in relay{};
  ASSERT_EQ(SocksRequest(control, 3, {1, 0, 0, 0, 0}, 0, &relay), 0);
  int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  ::setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  // By address, and by a name the daemon resolves.
  for (const auto& destination : {IPv4Loopback(), Domain("localhost")}) {
    std::vector<std::uint8_t> datagram = {0, 0, 0};
    datagram.insert(datagram.end(), destination.begin(), destination.end());
    datagram.push_back(static_cast<std::uint8_t>(ntohs(echoAddress.sin_port) >> 8));
    datagram.push_back(static_cast<std::uint8_t>(ntohs(echoAddress.sin_port) & 0xff));
    const std::string payload = "ping through the tunnel";
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    ASSERT_EQ(::sendto(udp, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&relay), sizeof relay),
              static_cast<ssize_t>(datagram.size()));
    std::uint8_t answer[2048];
    ssize_t got = ::recv(udp, answer, sizeof answer, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(10 + payload.size()));
    // The answer names its source: the echo server's address and port.
    EXPECT_EQ(answer[3], 1);
    EXPECT_EQ(std::memcmp(answer + 4, &echoAddress.sin_addr, 4), 0);
    EXPECT_EQ(std::memcmp(answer + 8, &echoAddress.sin_port, 2), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer + 10), payload.size()), payload);
  }
  ::close(udp);
  ::close(control);
  stop = true;
  echoThread.join();
  ::close(echo);
  EXPECT_EQ(client.process->stop(), 0);
}

TEST(TarvoClient, LogsInAgainAfterTheDaemonComesBack) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret"));
  HttpServer http(daemon.home());
  { std::ofstream(daemon.home() + "/small.txt") << "hello"; }
  RunningClient client = StartClient(daemon, "alice", "secret");
  ASSERT_NE(client.port, 0) << client.process->output();

  // An open relay ends with its session.
  int fd = ConnectLoopback(client.port);
  ASSERT_EQ(SocksRequest(fd, 1, IPv4Loopback(), static_cast<std::uint16_t>(http.port())), 0);
  ASSERT_EQ(daemon.process().stop(SIGTERM), 0);
  EXPECT_TRUE(client.process->waitOutput("session lost"));
  std::uint8_t byte;
  EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
  ::close(fd);

  DaemonProcess again(daemon.home());
  ASSERT_TRUE(again.start() && again.waitReady());
  EXPECT_TRUE(client.process->waitOutput("logged in to", 40000));
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::string text = client.process->output();
        return text.rfind("logged in to") > text.find("session lost");
      },
      40000));
  ChildProcess curl({"curl", "-sS", "--socks5", "127.0.0.1:" + std::to_string(client.port),
                     "http://127.0.0.1:" + std::to_string(http.port()) + "/small.txt"},
                    daemon.home());
  EXPECT_EQ(curl.waitExit(20000), 0);
  EXPECT_NE(curl.output().find("hello"), std::string::npos);
  EXPECT_EQ(client.process->stop(), 0);
  EXPECT_EQ(again.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tarvo::test
