// What a name look-up costs the two ways the daemon could make it: c-ares on one thread, or a
// pool of threads calling getaddrinfo. Prints figures, asserts nothing.
//   c-ares: names answered by a DNS server on loopback (per second, CPU per name); names the
//     server never answers, all in flight at once (memory per name); /etc/hosts names.
//   threads: /etc/hosts names through getaddrinfo on 4 threads; memory per thread blocked in a
//     call, which is what one hanging name costs a pool (and the pool's size is how many names
//     may hang before every other one waits).
// Usage: name_lookups [names]   (default 20000)
#include <ares.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/loopback_servers.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB() { return tarvo::test::ResidentKiB(static_cast<int>(::getpid())); }

std::optional<std::uint32_t> Zone(const std::string& name) {
  unsigned i = 0;
  if (std::sscanf(name.c_str(), "n%u.test", &i) == 1) return htonl(0x0a000000u | i);
  return std::nullopt;
}

struct Tally {
  int done = 0;
  int found = 0;
};

void Count(void* data, int status, int, hostent*) {
  auto* tally = static_cast<Tally*>(data);
  ++tally->done;
  if (status == ARES_SUCCESS) ++tally->found;
}

ares_channel Channel(const std::string& servers) {
  ares_channel channel = nullptr;
  ares_options options{};
  options.socket_receive_buffer_size = 4 << 20;
  if (ares_init_options(&channel, &options, ARES_OPT_SOCK_RCVBUF) != ARES_SUCCESS) std::exit(1);
  if (!servers.empty() && ares_set_servers_ports_csv(channel, servers.c_str()) != ARES_SUCCESS) {
    std::exit(1);
  }
  return channel;
}

// Processes the channel until count look-ups are done or timeLimit passes.
void Run(ares_channel channel, const Tally& tally, int count, Clock::duration timeLimit) {
  const auto end = Clock::now() + timeLimit;
  while (tally.done < count && Clock::now() < end) {
    fd_set read, write;
    FD_ZERO(&read);
    FD_ZERO(&write);
    const int nfds = ares_fds(channel, &read, &write);
    timeval limit{0, 100000}, tv{};
    timeval* wait = ares_timeout(channel, &limit, &tv);
    ::select(nfds, &read, &write, nullptr, wait);
    ares_process(channel, &read, &write);
  }
}

void CaresAnswered(int names) {
  tarvo::test::LoopbackNameServer server(Zone);
  ares_channel channel = Channel(server.address());
  Tally tally;
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < names; ++i) {
    ares_gethostbyname(channel, ("n" + std::to_string(i) + ".test").c_str(), AF_INET, Count,
                       &tally);
  }
  Run(channel, tally, names, std::chrono::seconds(60));
  const double wall = Seconds(Clock::now() - start);
  // The server's thread shares this process: its CPU is in the figure too.
  std::printf("c-ares, DNS on loopback: %d of %d names in %.3f s (%.0f names/s), %.1f us CPU "
              "per name (client and server)\n",
              tally.found, names, wall, tally.found / wall, (CpuSeconds() - cpu) * 1e6 / names);
  ares_destroy(channel);
}

void CaresHanging(int names) {
  tarvo::test::LoopbackNameServer server(Zone);  // answers no "hang" name
  ares_channel channel = Channel(server.address());
  Tally tally;
  const long before = ResidentKiB();
  for (int i = 0; i < names; ++i) {
    ares_gethostbyname(channel, ("hang" + std::to_string(i) + ".test").c_str(), AF_INET, Count,
                       &tally);
  }
  Run(channel, tally, names, std::chrono::milliseconds(500));  // all sent, none answered
  const long after = ResidentKiB();
  std::printf("c-ares, %d names in flight: %ld KiB more resident, %.0f bytes per name, one "
              "thread\n",
              names, after - before, (after - before) * 1024.0 / names);
  ares_destroy(channel);
}

void CaresHosts(int names) {
  ares_channel channel = Channel("");
  Tally tally;
  const auto start = Clock::now();
  for (int i = 0; i < names; ++i) ares_gethostbyname(channel, "localhost", AF_INET, Count, &tally);
  std::printf("c-ares, /etc/hosts: %d names in %.3f s (%.0f names/s) on one thread\n", tally.found,
              Seconds(Clock::now() - start), tally.found / Seconds(Clock::now() - start));
  ares_destroy(channel);
}

void PoolHosts(int names) {
  constexpr int kThreads = 4;
  std::atomic<int> next{0}, found{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (next.fetch_add(1) < names) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        if (::getaddrinfo("localhost", nullptr, &hints, &result) == 0) {
          ++found;
          ::freeaddrinfo(result);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double wall = Seconds(Clock::now() - start);
  std::printf("getaddrinfo, /etc/hosts: %d names in %.3f s (%.0f names/s) on %d threads\n",
              found.load(), wall, found / wall, kThreads);
}

void PoolBlocked(int threads) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> waiting{0};
  const long before = ResidentKiB();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      std::unique_lock lock(mutex);
      ++waiting;
      released.wait(lock, [&] { return release; });
    });
  }
  while (waiting.load() < threads) std::this_thread::yield();
  const long after = ResidentKiB();
  std::printf("thread pool, %d threads blocked (one hanging name each): %ld KiB more resident, "
              "%.0f bytes per name, 8 MiB of address space each\n",
              threads, after - before, (after - before) * 1024.0 / threads);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  for (auto& thread : pool) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  const int names = argc > 1 ? std::atoi(argv[1]) : 20000;
  ares_library_init(ARES_LIB_INIT_ALL);
  CaresHanging(names);  // first, while the heap has no freed memory to reuse
  CaresAnswered(1000);
  CaresAnswered(names);
  CaresHosts(names);
  PoolHosts(names);
  PoolBlocked(1024);
  return 0;
}
