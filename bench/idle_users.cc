// Many logged-in idle users on one daemon; run by idle_users.sh.
//   idle_users run PORT PID METRICS_PORT USERS SECONDS
//     logs in USERS sessions as the users u0..u(USERS-1) (password "pw"), measures the daemon's
//     memory per session (RSS, and the kernel's TCP memory of both ends), then for SECONDS
//     sends each session's TrafficInfo every 10 s as the client does, while a fresh login as
//     "probe" (password "pw") is timed every 250 ms. Prints the daemon's CPU (schedstat, all
//     threads), its store calls and statements a second (its metrics) and the fresh logins'
//     latency.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_cpu.h"
#include "client/tarvo_client_lib.h"
#include "server/common/password_hash.h"
#include "server/common/session_protocol.h"

namespace {

using tarvo::client::ClientStatus;
using tarvo::client::LoginOutcome;
using tarvo::client::SessionClient;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 10000;
constexpr auto kKeepAlive = std::chrono::seconds(10);  // the client's TrafficInfo interval

using tarvo::bench::ProcessCpuNs;

long long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

// The kernel's memory for TCP sockets, in pages (/proc/net/sockstat "TCP: ... mem N").
long long TcpMemPages() {
  std::ifstream sockstat("/proc/net/sockstat");
  for (std::string line; std::getline(sockstat, line);) {
    if (line.rfind("TCP:", 0) != 0) continue;
    const std::size_t at = line.find(" mem ");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + 5);
  }
  return -1;
}

// One counter from the daemon's metrics endpoint (tarvo_store_statements_total,
// tarvo_store_call_seconds_count); -1 when unread or absent.
long long MetricsValue(std::uint16_t port, const std::string& metric) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
  address.sin_port = htons(port);
  std::string text;
  static constexpr char kRequest[] = "GET /metrics HTTP/1.0\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) > 0) {
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, n);
  }
  ::close(fd);
  const std::string name = "\n" + metric + " ";
  const std::size_t at = text.find(name);
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size());
}

bool LogIn(SessionClient& session, std::uint16_t port, const std::string& user,
           const std::string& key) {
  return session.open("127.0.0.1", port, "2.0.5", kTimeoutMs) == ClientStatus::kOk &&
         session.loginWithKey(user, key, kTimeoutMs).outcome == LoginOutcome::kAccepted;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

int Run(std::uint16_t port, pid_t pid, std::uint16_t metricsPort, int users, int seconds) {
  const std::string key = tarvo::DeriveSessionKeyText("pw");
  const long long rss0 = RssKiB(pid);
  const long long tcp0 = TcpMemPages();
  std::vector<SessionClient> sessions(static_cast<std::size_t>(users));
  std::atomic<int> failed{0};
  {
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = t; i < users; i += kThreads) {
          if (!LogIn(sessions[i], port, "u" + std::to_string(i), key)) ++failed;
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  if (failed.load() != 0) {
    std::fprintf(stderr, "%d logins failed\n", failed.load());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the logins' work settles
  const long long rss1 = RssKiB(pid);
  const long long tcp1 = TcpMemPages();
  std::printf("memory: %d idle sessions: daemon RSS +%.0f bytes a session (%lld -> %lld KiB); "
              "kernel TCP memory of both ends +%.0f bytes a session\n",
              users, (rss1 - rss0) * 1024.0 / users, rss0, rss1,
              (tcp1 - tcp0) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / users);

  std::atomic<bool> stop{false};
  // Each session's keep-alive every 10 s, spread evenly; the answers wait unread.
  std::thread keepAlives([&] {
    const auto start = Clock::now();
    for (long round = 0; !stop.load(); ++round) {
      for (int i = 0; i < users && !stop.load(); ++i) {
        std::this_thread::sleep_until(start + round * kKeepAlive + kKeepAlive * i / users);
        sessions[i].sendMessage(tarvo::MessageType::TrafficInfo);
      }
    }
  });
  std::vector<double> loginMs;
  std::atomic<std::size_t> loginCount{0};
  std::thread probe([&] {
    while (!stop.load()) {
      SessionClient fresh;
      const auto began = Clock::now();
      if (LogIn(fresh, port, "probe", key)) {
        loginMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
        ++loginCount;
      } else {
        ++failed;
      }
      fresh.close();
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });

  std::this_thread::sleep_for(kKeepAlive);  // every session has sent one
  const std::size_t logins0 = loginCount.load();
  const long long ns0 = ProcessCpuNs(pid);
  const long long statements0 = MetricsValue(metricsPort, "tarvo_store_statements_total");
  const long long calls0 = MetricsValue(metricsPort, "tarvo_store_call_seconds_count");
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const long long ns = ProcessCpuNs(pid) - ns0;
  const std::size_t logins = loginCount.load() - logins0;
  const long long statements =
      MetricsValue(metricsPort, "tarvo_store_statements_total") - statements0;
  const long long calls = MetricsValue(metricsPort, "tarvo_store_call_seconds_count") - calls0;
  stop = true;
  keepAlives.join();
  probe.join();

  int served = 0;
  for (auto& session : sessions) {
    std::int64_t limit = 0, counter = 0;
    if (session.trafficInfo(limit, counter, kTimeoutMs) == ClientStatus::kOk) ++served;
  }
  // A daemon without the statement counter shows its store calls only.
  std::printf("idle: %d sessions of distinct users, keep-alive every 10 s, %.1f s: daemon CPU "
              "%.3f%% of one core; store calls %.1f/s, statements %.1f/s (the timed logins' "
              "own: %.1f/s)\n",
              users, wall, static_cast<double>(ns) / 1e7 / wall, calls / wall,
              statements0 < 0 ? -1.0 : statements / wall, logins / wall);
  std::printf("fresh logins meanwhile: %zu, median %.2f ms, p99 %.2f ms, max %.2f ms, %d failed; "
              "sessions still served afterwards: %d\n",
              loginMs.size(), Percentile(loginMs, 0.5), Percentile(loginMs, 0.99),
              Percentile(loginMs, 1.0), failed.load(), served);
  return served == users && failed.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "run" && argc >= 7) {
    return Run(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]),
               static_cast<std::uint16_t>(std::atoi(argv[4])), std::atoi(argv[5]),
               std::atoi(argv[6]));
  }
  std::fprintf(stderr, "usage: idle_users run PORT PID METRICS_PORT USERS SECONDS\n");
  return 2;
}
