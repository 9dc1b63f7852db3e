// One relay's one-byte round trip, and a server's idle CPU, while N idle relays to an echo
// server are held open; run by idle_relays.sh, once per path and N.
//   idle_relays tarvo DAEMON_PORT USER PASSWORD ECHO_PORT N ROUNDS SECONDS PID
//     relays are data connections of the wire client library, 1,000 per session
//   idle_relays socks SOCKS_PORT ECHO_PORT N ROUNDS SECONDS PID
//     relays are SOCKS5 CONNECTs through the proxy on SOCKS_PORT
// Prints one line: median_us p99_us idle_cpu_percent vmrss_kib (PID's, with the N relays open).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/blocking_io.h"
#include "client/tarvo_client_lib.h"

using tarvo::bench::RecvAll;
using tarvo::bench::SendAll;

namespace {

using Clock = std::chrono::steady_clock;
using tarvo::ByteBuffer;
using tarvo::client::ClientStatus;
using tarvo::client::DataConnection;
using tarvo::client::SessionClient;

constexpr int kTimeoutMs = 20000;
// Relays opened before their echoes are awaited: well under the daemon's 64 connections per
// address that may wait for their opening message, yet enough to open thousands quickly.
constexpr int kBatch = 32;
constexpr int kRelaysPerSession = 1000;  // the daemon takes 1,024
constexpr int kWarmUp = 100;
// A session that sends nothing for 30 s is ended.
constexpr auto kKeepAlive = std::chrono::seconds(10);
constexpr std::uint32_t kIgnoredMessage = 5;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "idle_relays: %s\n", what.c_str());
  std::exit(1);
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// utime + stime of the whole process in clock ticks (fields 14 and 15 of /proc/PID/stat).
long long ProcessTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t paren = text.rfind(')');  // the command name may hold spaces
  if (paren == std::string::npos) Fail("cannot read /proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::atoll(field.c_str());
  }
  return ticks;
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Times rounds one-byte round trips after a warm-up: "median p99" in microseconds.
std::string TimeRoundTrips(const std::function<bool()>& roundTrip, int rounds) {
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(rounds));
  for (int i = 0; i < kWarmUp + rounds; ++i) {
    const auto start = Clock::now();
    if (!roundTrip()) Fail("round trip " + std::to_string(i) + " failed");
    if (i >= kWarmUp) {
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  std::sort(micros.begin(), micros.end());
  const std::size_t n = micros.size();
  const std::size_t p99 = (n * 99 + 99) / 100 - 1;  // nearest rank
  char text[64];
  std::snprintf(text, sizeof text, "%.1f %.1f", micros[n / 2], micros[std::min(p99, n - 1)]);
  return text;
}

// The server's CPU over seconds of wall time, as % of one core, and its resident memory.
std::string IdleFigures(pid_t pid, int seconds) {
  const long long ticks0 = ProcessTicks(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long long ticks = ProcessTicks(pid) - ticks0;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double percent =
      100.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / wall;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %ld", percent, ResidentKiB(pid));
  return text;
}

// Sends an ignored message on every session now and then, so none falls to the idle rule.
class KeepAlive {
 public:
  explicit KeepAlive(std::vector<SessionClient>& sessions)
      : thread_([this, &sessions] {
          std::unique_lock lock(mutex_);
          while (!wake_.wait_for(lock, kKeepAlive, [this] { return stop_; })) {
            for (auto& session : sessions) session.sendMessage(kIgnoredMessage);
          }
        }) {}
  ~KeepAlive() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

bool EchoOne(DataConnection& relay, std::uint8_t byte) {
  ByteBuffer back;
  if (relay.send({&byte, 1}, kTimeoutMs) != ClientStatus::kOk) return false;
  while (back.empty()) {
    if (relay.receive(back, kTimeoutMs) != ClientStatus::kOk) return false;
  }
  return back.size() == 1 && back.data()[0] == byte;
}

int Tarvo(std::uint16_t daemonPort, const std::string& user, const std::string& password,
          std::uint16_t echoPort, int count, int rounds, int seconds, pid_t pid) {
  const int sessionCount = std::max(1, (count + kRelaysPerSession - 1) / kRelaysPerSession);
  std::vector<SessionClient> sessions(static_cast<std::size_t>(sessionCount));
  for (auto& session : sessions) {
    ClientStatus status = session.open("127.0.0.1", daemonPort, "2.0.5", kTimeoutMs);
    if (status != ClientStatus::kOk) Fail(std::string("session: ") + ToString(status));
    if (session.login(user, password, kTimeoutMs).outcome !=
        tarvo::client::LoginOutcome::kAccepted) {
      Fail("login refused (several sessions of one user need [MultiConnect]:yes)");
    }
  }
  KeepAlive keepAlive(sessions);
  const std::uint32_t loopback = ::inet_addr("127.0.0.1");

  std::vector<DataConnection> relays(static_cast<std::size_t>(count));
  for (int first = 0; first < count; first += kBatch) {
    const int end = std::min(count, first + kBatch);
    const std::uint8_t byte = 'i';
    for (int i = first; i < end; ++i) {
      auto& relay = relays[static_cast<std::size_t>(i)];
      ClientStatus status = relay.open(sessions[static_cast<std::size_t>(i / kRelaysPerSession)],
                                       loopback, echoPort, kTimeoutMs);
      if (status == ClientStatus::kOk) status = relay.send({&byte, 1}, kTimeoutMs);
      if (status != ClientStatus::kOk) {
        Fail("relay " + std::to_string(i) + ": " + ToString(status));
      }
    }
    // The echo proves the relay connected end to end before it counts.
    for (int i = first; i < end; ++i) {
      ByteBuffer back;
      while (back.empty()) {
        ClientStatus status = relays[static_cast<std::size_t>(i)].receive(back, kTimeoutMs);
        if (status != ClientStatus::kOk) {
          Fail("relay " + std::to_string(i) + " echo: " + ToString(status));
        }
      }
    }
  }

  // The measured relay rides on the last session, which has room for it.
  DataConnection probe;
  if (probe.open(sessions.back(), loopback, echoPort, kTimeoutMs) != ClientStatus::kOk) {
    Fail("probe relay failed");
  }
  std::uint8_t next = 0;
  const std::string roundTrips = TimeRoundTrips([&] { return EchoOne(probe, ++next); }, rounds);
  probe.close();
  const std::string idle = IdleFigures(pid, seconds);
  // The oldest relay still echoes: no session or relay was dropped while it sat idle.
  if (count > 0 && !EchoOne(relays.front(), 'e')) Fail("an idle relay was dropped");
  std::printf("%s %s\n", roundTrips.c_str(), idle.c_str());
  return 0;
}

// A blocking socket to 127.0.0.1:port with send and receive time-outs; the greeting and
// CONNECT request to 127.0.0.1:echoPort are sent at once, the replies read later.
int SocksConnect(std::uint16_t port, std::uint16_t echoPort) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(std::string("socket: ") + std::strerror(errno));
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  timeval timeout{kTimeoutMs / 1000, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Fail(std::string("connect to the SOCKS proxy: ") + std::strerror(errno));
  }
  const auto high = static_cast<unsigned char>(echoPort >> 8);
  const auto low = static_cast<unsigned char>(echoPort & 0xff);
  // The greeting (no authentication), then CONNECT to an IPv4 address.
  const unsigned char request[] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, high, low};
  if (!SendAll(fd, request, sizeof request)) Fail("SOCKS request not sent");
  return fd;
}

void SocksReply(int fd) {
  unsigned char reply[12];  // method choice, then a reply with an IPv4 address
  if (!RecvAll(fd, reply, sizeof reply) || reply[1] != 0 || reply[3] != 0) {
    Fail("SOCKS CONNECT refused or not answered");
  }
}

int Socks(std::uint16_t socksPort, std::uint16_t echoPort, int count, int rounds, int seconds,
          pid_t pid) {
  std::vector<int> relays;
  relays.reserve(static_cast<std::size_t>(count));
  for (int first = 0; first < count; first += kBatch) {
    const int end = std::min(count, first + kBatch);
    for (int i = first; i < end; ++i) relays.push_back(SocksConnect(socksPort, echoPort));
    char byte = 'i';
    for (int i = first; i < end; ++i) {
      SocksReply(relays[static_cast<std::size_t>(i)]);
      if (!SendAll(relays[static_cast<std::size_t>(i)], &byte, 1)) Fail("relay send failed");
    }
    for (int i = first; i < end; ++i) {
      if (!RecvAll(relays[static_cast<std::size_t>(i)], &byte, 1)) {
        Fail("relay " + std::to_string(i) + " echo failed");
      }
    }
  }

  int probe = SocksConnect(socksPort, echoPort);
  SocksReply(probe);
  unsigned char next = 0;
  const std::string roundTrips = TimeRoundTrips(
      [&] {
        unsigned char sent = ++next, back = 0;
        return SendAll(probe, &sent, 1) && RecvAll(probe, &back, 1) && back == sent;
      },
      rounds);
  ::close(probe);
  const std::string idle = IdleFigures(pid, seconds);
  if (count > 0) {
    char byte = 'e';
    if (!SendAll(relays.front(), &byte, 1) || !RecvAll(relays.front(), &byte, 1)) {
      Fail("an idle relay was dropped");
    }
  }
  std::printf("%s %s\n", roundTrips.c_str(), idle.c_str());
  for (int fd : relays) ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();
  std::vector<std::string> args(argv + 1, argv + argc);
  auto number = [&](std::size_t i) { return std::atoi(args.at(i).c_str()); };
  auto port = [&](std::size_t i) { return static_cast<std::uint16_t>(number(i)); };
  const bool roundsGiven =
      (args.size() == 9 && number(6) > 0) || (args.size() == 7 && number(4) > 0);
  if (roundsGiven && args.size() == 9 && args[0] == "tarvo") {
    return Tarvo(port(1), args[2], args[3], port(4), number(5), number(6), number(7), number(8));
  }
  if (roundsGiven && args.size() == 7 && args[0] == "socks") {
    return Socks(port(1), port(2), number(3), number(4), number(5), number(6));
  }
  std::fputs(
      "usage: idle_relays tarvo DAEMON_PORT USER PASSWORD ECHO_PORT N ROUNDS SECONDS PID\n"
      "       idle_relays socks SOCKS_PORT ECHO_PORT N ROUNDS SECONDS PID\n",
      stderr);
  return 2;
}
