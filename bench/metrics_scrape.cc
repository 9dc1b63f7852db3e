// What scraping the metrics costs a transfer: downloads of BYTES through a running TarvoServer,
// in turns without and with a scraper that GETs /metrics from the loopback endpoint every
// INTERVAL ms while the download runs; prints each round, the medians and their ratio. Then
// the daemon's processor time per scrape (PID's utime + stime over 2,000 scrapes).
//   metrics_scrape DAEMON_PORT METRICS_PORT PID BYTES ROUNDS INTERVAL_MS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay_download.h"
#include "client/tarvo_client_lib.h"

namespace {

using Clock = std::chrono::steady_clock;

// One GET /metrics; the size of the answer, 0 when it failed.
std::size_t Scrape(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
  address.sin_port = htons(port);
  std::size_t size = 0;
  static constexpr char kRequest[] = "GET /metrics HTTP/1.0\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) > 0) {
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) size += n;
  }
  ::close(fd);
  return size;
}

double CpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t at = text.rfind(')');
  if (at == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t from = at + 2;
  while (from < text.size() && fields.size() < 15) {
    const std::size_t space = text.find(' ', from);
    fields.push_back(text.substr(from, space - from));
    from = space == std::string::npos ? text.size() : space + 1;
  }
  // Fields 14 and 15 of the file (utime, stime) are the 12th and 13th after the name.
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr,
                 "usage: metrics_scrape DAEMON_PORT METRICS_PORT PID BYTES ROUNDS INTERVAL_MS\n");
    return 2;
  }
  const auto daemonPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const auto metricsPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
  const std::string pid = argv[3];
  const std::size_t bytes = std::strtoull(argv[4], nullptr, 10);
  const int rounds = std::atoi(argv[5]);
  const std::chrono::milliseconds interval(std::atoi(argv[6]));

  tarvo::client::SessionClient session;
  if (session.open("127.0.0.1", daemonPort, "2.0.5", 5000) != tarvo::client::ClientStatus::kOk ||
      session.login("bench", "benchpass", 5000).outcome != tarvo::client::LoginOutcome::kAccepted) {
    std::fprintf(stderr, "login failed\n");
    return 1;
  }
  const std::size_t textSize = Scrape(metricsPort);
  if (textSize == 0) {
    std::fprintf(stderr, "no metrics on 127.0.0.1:%u\n", metricsPort);
    return 1;
  }
  tarvo::bench::DownloadThrough(session, bytes / 4);  // warm-up

  std::vector<double> plain, scraped;
  for (int round = 0; round < rounds; ++round) {
    // Taking turns in both orders spreads the machine's drift over both kinds.
    for (int turn = 0; turn < 2; ++turn) {
      const bool scraping = (turn == 0) == (round % 2 == 1);
      std::atomic<bool> done{false};
      int scrapes = 0;
      std::thread scraper;
      if (scraping) {
        scraper = std::thread([&] {
          auto next = Clock::now();
          while (!done.load()) {
            if (Scrape(metricsPort) > 0) ++scrapes;
            next += interval;
            std::this_thread::sleep_until(next);
          }
        });
      }
      // A session silent for 30 s is ended, whatever its relays do: a real client asks for
      // its traffic now and then, and so does this one.
      std::int64_t limit = 0, counter = 0;
      if (session.trafficInfo(limit, counter, 5000) != tarvo::client::ClientStatus::kOk) {
        std::fprintf(stderr, "the session has ended\n");
        return 1;
      }
      const tarvo::bench::Download download = tarvo::bench::DownloadThrough(session, bytes);
      done = true;
      if (scraper.joinable()) scraper.join();
      const double rate = download.megabytesPerSecond();
      (scraping ? scraped : plain).push_back(rate);
      std::printf("round %d %-8s %zu MB: %.0f MB/s%s\n", round + 1,
                  scraping ? "scraped" : "plain", download.bytes >> 20, rate,
                  scraping ? (" (" + std::to_string(scrapes) + " scrapes)").c_str() : "");
    }
  }
  const double plainMedian = Median(plain), scrapedMedian = Median(scraped);
  std::printf("median plain %.0f MB/s, scraped every %lld ms %.0f MB/s: %.1f %% of plain\n",
              plainMedian, static_cast<long long>(interval.count()), scrapedMedian,
              100.0 * scrapedMedian / plainMedian);

  const int count = 2000;
  const double before = CpuSeconds(pid);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) Scrape(metricsPort);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%d scrapes of %zu bytes: %.0f us each, daemon CPU %.0f us each\n", count, textSize,
              1e6 * seconds / count, 1e6 * (CpuSeconds(pid) - before) / count);
  return 0;
}
