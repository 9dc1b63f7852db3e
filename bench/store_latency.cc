// A relay's round trip while the user store is slow and busy; run by store_latency.sh.
//   store_latency proxy TARGET_PORT DELAY_US
//     a delay proxy to 127.0.0.1:TARGET_PORT holding each direction DELAY_US; prints its port,
//     runs until SIGTERM or SIGINT.
//   store_latency run PORT USER PASSWORD PROBE_USER PROBE_PASSWORD ECHO_PORT CLIENTS SECONDS
//     PROBE_USER relays one-byte round trips to the echo server on ECHO_PORT: first SECONDS
//     alone, then SECONDS while CLIENTS clients log in as USER again and again (after one
//     second of the same load to let the store connections open); prints the round trip's
//     median, p99 and max and the logins per second.
#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "server/common/password_hash.h"
#include "tests/delay_proxy.h"

namespace {

using tarvo::client::ClientStatus;
using tarvo::client::DataConnection;
using tarvo::client::LoginOutcome;
using tarvo::client::SessionClient;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 10000;

int Proxy(std::uint16_t target, long long delayUs) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  // Blocked before the proxy's thread starts, so only sigwait sees them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  tarvo::test::DelayProxy proxy(target, std::chrono::microseconds(delayUs));
  if (!proxy.start()) {
    std::fprintf(stderr, "proxy: cannot listen\n");
    return 1;
  }
  std::printf("%u\n", proxy.port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  proxy.stop();
  return 0;
}

struct Figures {
  std::size_t count = 0;
  double medianUs = 0, p99Us = 0, maxUs = 0;
};

Figures Summarise(std::vector<double> samples) {
  Figures figures;
  figures.count = samples.size();
  if (samples.empty()) return figures;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double fraction) {
    return samples[std::min(samples.size() - 1,
                            static_cast<std::size_t>(fraction * static_cast<double>(samples.size())))];
  };
  figures.medianUs = at(0.5);
  figures.p99Us = at(0.99);
  figures.maxUs = samples.back();
  return figures;
}

// One-byte round trips through relay for seconds; the session hears from its client every few
// seconds, as a client must within 30 s. Empty when a round trip failed.
std::vector<double> RoundTrips(SessionClient& session, DataConnection& relay, double seconds) {
  std::vector<double> samples;
  const auto start = Clock::now();
  auto lastMessage = start;
  const std::uint8_t byte[1] = {42};
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    const auto sent = Clock::now();
    if (relay.send(byte) != ClientStatus::kOk) return {};
    tarvo::ByteBuffer back;
    while (back.size() < 1) {
      if (relay.receive(back, kTimeoutMs) != ClientStatus::kOk) return {};
    }
    const auto got = Clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(got - sent).count());
    if (got - lastMessage > std::chrono::seconds(5)) {
      if (session.sendMessage(5) != ClientStatus::kOk) return {};  // an ignored type
      lastMessage = got;
    }
  }
  return samples;
}

void Print(const char* what, const Figures& figures) {
  std::printf("%s: %zu round trips: median %.3f ms, p99 %.3f ms, max %.3f ms\n", what,
              figures.count, figures.medianUs / 1000, figures.p99Us / 1000, figures.maxUs / 1000);
}

int Run(std::uint16_t port, const std::string& user, const std::string& password,
        const std::string& probeUser, const std::string& probePassword, std::uint16_t echoPort,
        int clients, double seconds) {
  SessionClient probe;
  DataConnection relay;
  if (probe.open("127.0.0.1", port, "2.0.5", kTimeoutMs) != ClientStatus::kOk ||
      probe.login(probeUser, probePassword, kTimeoutMs).outcome != LoginOutcome::kAccepted ||
      relay.open(probe, ::inet_addr("127.0.0.1"), echoPort, kTimeoutMs) != ClientStatus::kOk) {
    std::fprintf(stderr, "the probe user could not log in and open its relay\n");
    return 1;
  }

  // (b) no login load.
  const Figures quiet = Summarise(RoundTrips(probe, relay, seconds));
  if (quiet.count == 0) {
    std::fprintf(stderr, "a round trip failed without load\n");
    return 1;
  }
  Print("round trip, no logins", quiet);

  // (a) the same while clients log in without pause.
  const std::string key = tarvo::DeriveSessionKeyText(password.c_str());
  std::atomic<bool> stop{false}, counting{false};
  std::atomic<long> done{0}, failed{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      while (!stop) {
        SessionClient session;
        const bool in = session.open("127.0.0.1", port, "2.0.5", kTimeoutMs) == ClientStatus::kOk &&
                        session.loginWithKey(user, key, kTimeoutMs).outcome ==
                            LoginOutcome::kAccepted;
        if (counting && !stop) (in ? done : failed)++;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  counting = true;
  const auto start = Clock::now();
  const Figures loaded = Summarise(RoundTrips(probe, relay, seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const long logins = done.load();
  const long refused = failed.load();
  stop = true;
  for (auto& thread : threads) thread.join();
  if (loaded.count == 0) {
    std::fprintf(stderr, "a round trip failed under login load\n");
    return 1;
  }
  Print(("round trip, " + std::to_string(clients) + " clients logging in").c_str(), loaded);
  std::printf("logins: %d clients: %ld done, %ld failed in %.2f s: %.0f logins/s\n", clients,
              logins, refused, wall, static_cast<double>(logins) / wall);
  return refused == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "proxy" && argc == 4) {
    return Proxy(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoll(argv[3]));
  }
  if (mode == "run" && argc == 10) {
    return Run(static_cast<std::uint16_t>(std::atoi(argv[2])), argv[3], argv[4], argv[5], argv[6],
               static_cast<std::uint16_t>(std::atoi(argv[7])), std::atoi(argv[8]),
               std::atof(argv[9]));
  }
  std::fprintf(stderr,
               "usage: store_latency proxy TARGET_PORT DELAY_US\n"
               "       store_latency run PORT USER PASSWORD PROBE_USER PROBE_PASSWORD ECHO_PORT "
               "CLIENTS SECONDS\n");
  return 2;
}
