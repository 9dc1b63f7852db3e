// Whole-daemon figures over loopback, against a TarvoServer that daemon_load.sh started:
//   daemon_load idle PORT PID USER PASSWORD [SESSIONS] [SECONDS]
//     CPU time the daemon uses while SESSIONS logged-in sessions sit idle (each sends one
//     ignored message halfway, as a client must within 30 s to stay logged in).
//   daemon_load logins|logins-v2 PORT USER PASSWORD [CLIENTS] [LOGINS_PER_CLIENT]
//     logins per second with CLIENTS clients logging in at once (connect, Hello, Login, close;
//     over v2: TLS handshake, opening frame, LoginAccepted; each client's first login is a
//     full handshake, its later ones resume with the ticket the first one got).
//   daemon_load guess PORT PID USER [ADDRESSES] [SECONDS] [CLIENTS]
//     wrong passwords at USER as fast as CLIENTS clients can send them, the source addresses
//     taking turns over ADDRESSES loopback addresses (127.1.x.y); attempts a second and the
//     daemon's CPU.
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_cpu.h"
#include "client/tarvo_client_lib.h"
#include "client/v2_connector.h"
#include "server/common/password_hash.h"

namespace {

using tarvo::client::ClientStatus;
using tarvo::client::LoginOutcome;
using tarvo::client::SessionClient;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 10000;

bool LogIn(SessionClient& session, std::uint16_t port, const std::string& user,
           const std::string& password) {
  return session.open("127.0.0.1", port, "2.0.5", kTimeoutMs) == ClientStatus::kOk &&
         session.login(user, password, kTimeoutMs).outcome == LoginOutcome::kAccepted;
}

// utime + stime of the whole process, in clock ticks (/proc/PID/stat fields 14 and 15).
long long ProcessTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return utime + stime;
}

using tarvo::bench::ProcessCpuNs;

int Idle(std::uint16_t port, pid_t pid, const std::string& user, const std::string& password,
         int sessions, int seconds) {
  std::vector<SessionClient> clients(static_cast<std::size_t>(sessions));
  for (auto& client : clients) {
    if (!LogIn(client, port, user, password)) {
      std::fprintf(stderr, "login failed\n");
      return 1;
    }
  }
  // Let the logins' work settle before measuring.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long long ticks0 = ProcessTicks(pid);
  const long long ns0 = ProcessCpuNs(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds) / 2);
  for (auto& client : clients) client.sendMessage(5);  // an ignored type keeps a session alive
  std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const long long ticks = ProcessTicks(pid) - ticks0;
  const long long ns = ProcessCpuNs(pid) - ns0;

  int alive = 0;
  for (auto& client : clients) {
    std::int64_t limit, counter;
    if (client.trafficInfo(limit, counter, kTimeoutMs) == ClientStatus::kOk) ++alive;
  }
  const double tickSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::printf("idle: %d logged-in sessions for %.1f s: daemon CPU %.3f ms (%.4f%% of one core; "
              "utime+stime %lld ticks = %.4f%%); sessions still served afterwards: %d\n",
              sessions, wall, static_cast<double>(ns) / 1e6, static_cast<double>(ns) / 1e7 / wall,
              ticks, tickSeconds * 100.0 / wall, alive);
  return alive == sessions ? 0 : 1;
}

// A load thread's v2 client: one connector (its TLS context made once) for all its logins. Its
// known-servers file learns the key on first use.
struct V2Client {
  explicit V2Client(const std::string& knownServers)
      : connector(loop, tarvo::client::V2Options{"", knownServers}) {}
  tarvo::EventLoop loop;
  tarvo::client::V2Connector connector;
};

// One v2 login: a full TLS handshake, the opening frame, LoginAccepted.
bool LogInV2(V2Client& client, std::uint16_t port, const std::string& user,
             const std::string& key) {
  tarvo::client::V2Connector& connector = client.connector;
  int fd = -1;
  std::uint32_t id = 0;
  std::string why;
  const bool in = connector.openSession("127.0.0.1", port, user, key, kTimeoutMs, fd, id, why) ==
                  ClientStatus::kOk;
  if (fd >= 0) ::close(fd);
  return in;
}

int Logins(std::uint16_t port, const std::string& user, const std::string& password,
           int clients, int perClient, bool v2) {
  std::atomic<int> done{0}, failed{0};
  // Derived once: what is measured is the daemon's work, not the load generator's.
  const std::string key = tarvo::DeriveSessionKeyText(password.c_str());
  char knownTemplate[] = "/tmp/daemon_load_known_XXXXXX";
  const int knownFd = ::mkstemp(knownTemplate);
  if (knownFd >= 0) ::close(knownFd);
  const std::string knownServers = knownTemplate;
  // The key is learnt once, before the threads share the file.
  if (V2Client first(knownServers); v2 && !LogInV2(first, port, user, key)) {
    std::fprintf(stderr, "v2 login failed\n");
    return 1;
  }
  std::latch go(1);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      V2Client client(knownServers);
      go.wait();
      for (int i = 0; i < perClient; ++i) {
        if (v2) {
          (LogInV2(client, port, user, key) ? done : failed)++;
          continue;
        }
        SessionClient session;
        const bool in = session.open("127.0.0.1", port, "2.0.5", kTimeoutMs) == ClientStatus::kOk &&
                        session.loginWithKey(user, key, kTimeoutMs).outcome ==
                            LoginOutcome::kAccepted;
        (in ? done : failed)++;
      }
    });
  }
  const auto start = Clock::now();
  go.count_down();
  for (auto& thread : threads) thread.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  ::unlink(knownServers.c_str());
  std::printf("logins%s: %d clients x %d logins: %d done, %d failed in %.2f s: %.0f logins/s\n",
              v2 ? " over v2 (resumed after each client's first)" : "", clients, perClient, done.load(), failed.load(), wall,
              done.load() / wall);
  return failed.load() == 0 ? 0 : 1;
}

int Guess(std::uint16_t port, pid_t pid, const std::string& user, int addresses, int seconds,
          int clients) {
  const std::string key = tarvo::DeriveSessionKeyText("not the password");
  std::atomic<int> next{0}, attempts{0}, failed{0};
  const long long ns0 = ProcessCpuNs(pid);
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      while (Clock::now() < end) {
        const std::uint32_t n = static_cast<std::uint32_t>(next++ % addresses);
        SessionClient session;
        session.setSourceAddress(htonl(0x7F010001u + n));  // 127.1.0.1 onwards
        const bool answered =
            session.open("127.0.0.1", port, "2.0.5", kTimeoutMs) == ClientStatus::kOk &&
            session.loginWithKey(user, key, kTimeoutMs).outcome == LoginOutcome::kInvalidPassword;
        (answered ? attempts : failed)++;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const long long ns = ProcessCpuNs(pid) - ns0;
  std::printf("guess: %d clients over %d addresses for %.1f s: %d wrong passwords refused "
              "(%.0f a second), %d failed; daemon CPU %.1f%% of one core\n",
              clients, addresses, wall, attempts.load(), attempts.load() / wall, failed.load(),
              static_cast<double>(ns) / 1e7 / wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "idle" && argc >= 6) {
    return Idle(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), argv[4],
                argv[5], argc > 6 ? std::atoi(argv[6]) : 100, argc > 7 ? std::atoi(argv[7]) : 30);
  }
  if ((mode == "logins" || mode == "logins-v2") && argc >= 5) {
    return Logins(static_cast<std::uint16_t>(std::atoi(argv[2])), argv[3], argv[4],
                  argc > 5 ? std::atoi(argv[5]) : 50, argc > 6 ? std::atoi(argv[6]) : 20,
                  mode == "logins-v2");
  }
  if (mode == "guess" && argc >= 5) {
    return Guess(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), argv[4],
                 argc > 5 ? std::atoi(argv[5]) : 4200, argc > 6 ? std::atoi(argv[6]) : 20,
                 argc > 7 ? std::atoi(argv[7]) : 16);
  }
  std::fprintf(stderr,
               "usage: daemon_load idle PORT PID USER PASSWORD [SESSIONS] [SECONDS]\n"
               "       daemon_load logins|logins-v2 PORT USER PASSWORD [CLIENTS] [LOGINS_PER_CLIENT]\n"
               "       daemon_load guess PORT PID USER [ADDRESSES] [SECONDS] [CLIENTS]\n");
  return 2;
}
