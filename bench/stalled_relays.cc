// What one user's stalled relays cost another user: the other user's 1 MiB download through a
// running TarvoServer, timed without and then with the attacker's relays stalled both ways
// (the client reads nothing and sends without end, the destinations write without end and
// read nothing); and the host's TCP memory and the daemon's share of it before and during;
// then the attacker's own download, on a narrow relay.
//   stalled_relays DAEMON_PORT PID ATTACKER PASSWORD OTHER PASSWORD [RELAYS] [ROUNDS]
#include "tests/stalled_relays.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/relay_download.h"
#include "client/tarvo_client_lib.h"

namespace {

using tarvo::client::SessionClient;

constexpr int kTimeoutMs = 20000;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "stalled_relays: %s\n", what.c_str());
  std::exit(1);
}

void LogIn(SessionClient& session, std::uint16_t port, const char* user, const char* password) {
  if (session.open("127.0.0.1", port, "2.0.5", kTimeoutMs) != tarvo::client::ClientStatus::kOk ||
      session.login(user, password, kTimeoutMs).outcome != tarvo::client::LoginOutcome::kAccepted) {
    Fail(std::string("login of ") + user + " refused");
  }
}

// The median of rounds 1 MiB downloads, in seconds, after one that warms the path.
double MedianDownload(const SessionClient& session, int rounds) {
  tarvo::bench::DownloadThrough(session, 1 << 20);
  std::vector<double> seconds;
  for (int i = 0; i < rounds; ++i) {
    const tarvo::bench::Download download = tarvo::bench::DownloadThrough(session, 1 << 20);
    if (download.bytes != (1u << 20)) Fail("a download came short");
    seconds.push_back(std::chrono::duration<double>(download.took).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) Fail("usage: DAEMON_PORT PID ATTACKER PASSWORD OTHER PASSWORD [RELAYS] [ROUNDS]");
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const pid_t pid = std::atoi(argv[2]);
  const int relayCount = argc > 7 ? std::atoi(argv[7]) : 1024;
  const int rounds = argc > 8 ? std::atoi(argv[8]) : 15;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }

  SessionClient attacker, other;
  LogIn(attacker, port, argv[3], argv[4]);
  LogIn(other, port, argv[5], argv[6]);
  const long pagesBefore = tarvo::test::HostTcpMemoryPages();
  const long daemonBefore = tarvo::test::SocketMemory(pid);
  const double without = MedianDownload(other, rounds);

  tarvo::test::FloodingDestination destination;
  std::vector<tarvo::client::DataConnection> relays;
  if (!tarvo::test::StallRelays(attacker, destination.port(), relayCount, relays)) {
    Fail("could not open the attacker's relays");
  }
  const long daemonDuring = tarvo::test::SettledSocketMemory(pid);
  const long pagesDuring = tarvo::test::HostTcpMemoryPages();
  const double with = MedianDownload(other, rounds);
  // On a second session of the attacker (the first has no relay left): its wide relays are
  // all held by the stalled ones, so this one stays narrow.
  SessionClient attackerAgain;
  LogIn(attackerAgain, port, argv[3], argv[4]);
  const double narrow = MedianDownload(attackerAgain, rounds);

  const long pageKiB = ::sysconf(_SC_PAGESIZE) / 1024;
  std::printf(
      "host TCP memory (/proc/net/sockstat mem): %ld pages (%ld KiB) before, %ld pages "
      "(%ld KiB) during %d stalled relays\n",
      pagesBefore, pagesBefore * pageKiB, pagesDuring, pagesDuring * pageKiB, relayCount);
  std::printf("daemon's sockets (ss skmem r+w): %ld KiB before, %ld KiB during\n",
              daemonBefore >> 10, daemonDuring >> 10);
  std::printf("another user's 1 MiB download, median of %d: %.4f s without, %.4f s with (%.2fx)\n",
              rounds, without, with, with / without);
  std::printf("the attacker's own 1 MiB download on a narrow relay meanwhile: %.4f s\n", narrow);
  return 0;
}
