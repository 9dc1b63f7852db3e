// What per-user policy costs a running TarvoServer on loopback, through the client library:
//  1. an unlimited user downloads BYTES with no policy: MB/s and daemon CPU per MB;
//  2. the same with a policy whose rates never bind, so every byte goes through the checks;
//  3. LIMITED users, each limited to RATE bytes/s down, download at once: their MB/s and the
//     daemon CPU per MB of rate-limited traffic; then the unlimited user's BYTES beside them,
//     against the same with the limited relays still (three rounds of each, medians).
// Users and policies are written to the store (TARVO_HOME) by this program itself.
//   policy_load PORT PID BYTES LIMITED RATE
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/blocking_io.h"
#include "bench/loopback_listener.h"
#include "client/tarvo_client_lib.h"
#include "external/reader_policy.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvo::ByteBuffer;
using tarvo::client::ClientStatus;
using tarvo::client::DataConnection;
using tarvo::client::SessionClient;

std::uint16_t gDaemonPort = 0;
const std::uint32_t kLoopback = ::inet_addr("127.0.0.1");

using tarvo::bench::ListenAny;

// The daemon's user and system CPU time so far, in seconds.
double DaemonCpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (std::size_t i = close + 2; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += line[i];
    }
  }
  // After the name: state is field 3, utime 14 and stime 15 (1-based, as proc(5) counts).
  if (fields.size() < 13) return 0;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

bool LogIn(SessionClient& session, const std::string& name, const std::string& password) {
  return session.open("127.0.0.1", gDaemonPort, "2.0.5", 5000) == ClientStatus::kOk &&
         session.login(name, password, 5000).outcome == tarvo::client::LoginOutcome::kAccepted;
}

// A destination that sends the same block over and over to every connection it accepts until
// stopped; each connection has a thread of its own.
class Source {
 public:
  Source() : listener_(ListenAny(port_)) {
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0 || stopping_) {
          if (fd >= 0) ::close(fd);
          return;
        }
        connections_.push_back(fd);
        senders_.emplace_back([this, fd] {
          static const std::vector<char> block(1 << 16, 'p');
          while (!stopping_ && tarvo::bench::SendAll(fd, block.data(), block.size())) {
          }
        });
      }
    });
  }
  ~Source() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    for (auto& sender : senders_) sender.join();
    for (int fd : connections_) ::close(fd);
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_ = 0;
  int listener_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<int> connections_;  // only the acceptor changes these until it is joined
  std::vector<std::thread> senders_;
};

struct Figure {
  double megabytes = 0;
  double seconds = 0;
  double cpuSeconds = 0;
};

// One download of bytes through a new session of name.
Figure Download(const std::string& name, const Source& source, std::size_t bytes,
                const std::string& pid) {
  Figure figure;
  SessionClient session;
  DataConnection relay;
  if (!LogIn(session, name, "benchpass") ||
      relay.open(session, kLoopback, source.port(), 5000) != ClientStatus::kOk) {
    std::fprintf(stderr, "%s: login or relay failed\n", name.c_str());
    std::exit(1);
  }
  const double cpu = DaemonCpuSeconds(pid);
  const auto start = Clock::now();
  std::size_t received = 0;
  ByteBuffer plaintext;
  while (received < bytes && relay.receive(plaintext, 10'000) == ClientStatus::kOk) {
    received += plaintext.size();
    plaintext.clear();
  }
  figure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figure.cpuSeconds = DaemonCpuSeconds(pid) - cpu;
  figure.megabytes = received / 1e6;
  return figure;
}

void SetRates(const std::string& name, std::int64_t down, std::int64_t up) {
  UserPolicy policy{};
  if (GetUserPolicyStatus(name.c_str(), &policy) != READER_OK) std::exit(1);
  policy.rateDown = down;
  policy.rateUp = up;
  if (SetUserPolicyStatus(name.c_str(), &policy) != READER_OK) std::exit(1);
}

void Print(const char* what, const Figure& f) {
  std::printf("%-44s %8.0f MB/s  %6.3f ms daemon CPU per MB\n", what, f.megabytes / f.seconds,
              1000 * f.cpuSeconds / f.megabytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: policy_load PORT PID BYTES LIMITED RATE\n");
    return 2;
  }
  gDaemonPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const std::string pid = argv[2];
  const std::size_t bytes = std::strtoull(argv[3], nullptr, 10);
  const int limited = std::atoi(argv[4]);
  const std::int64_t rate = std::atoll(argv[5]);
  if (!InitReader() || !SetUserInfo("bench", "benchpass", 0, 0)) return 1;
  Source source;

  const Figure alone = Download("bench", source, bytes, pid);
  Print("unlimited user, no policy:", alone);
  SetRates("bench", 100'000'000'000, 100'000'000'000);
  Print("policy with rates that never bind:", Download("bench", source, bytes, pid));
  SetRates("bench", 0, 0);

  // The limited users, each with one relay that downloads for as long as it may.
  std::vector<std::unique_ptr<SessionClient>> sessions;
  std::vector<std::unique_ptr<DataConnection>> relays;
  for (int i = 0; i < limited; ++i) {
    const std::string name = "limited" + std::to_string(i);
    if (!SetUserInfo(name.c_str(), "benchpass", 0, 0)) return 1;
    SetRates(name, rate, 0);
    sessions.push_back(std::make_unique<SessionClient>());
    relays.push_back(std::make_unique<DataConnection>());
    if (!LogIn(*sessions.back(), name, "benchpass") ||
        relays.back()->open(*sessions.back(), kLoopback, source.port(), 5000) !=
            ClientStatus::kOk) {
      std::fprintf(stderr, "%s: login or relay failed\n", name.c_str());
      return 1;
    }
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> paused{false};  // the limited clients stop reading: their relays go still
  std::atomic<std::size_t> limitedBytes{0};
  std::vector<std::thread> readers;
  for (auto& relay : relays) {
    readers.emplace_back([&, connection = relay.get()] {
      ByteBuffer plaintext;
      for (ClientStatus status = ClientStatus::kOk;
           !stop && (status == ClientStatus::kOk || status == ClientStatus::kTimeout);
           status = connection->receive(plaintext, 1000)) {
        limitedBytes += plaintext.size();
        plaintext.clear();
        while (paused && !stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // past the buckets' first burst

  // The limited users alone for a while: their rate and what their bytes cost the daemon.
  const std::size_t before = limitedBytes;
  const double cpuBefore = DaemonCpuSeconds(pid);
  const auto windowStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  Figure limitedOnly;
  limitedOnly.seconds = std::chrono::duration<double>(Clock::now() - windowStart).count();
  limitedOnly.megabytes = (limitedBytes - before) / 1e6;
  limitedOnly.cpuSeconds = DaemonCpuSeconds(pid) - cpuBefore;
  char label[80];
  std::snprintf(label, sizeof label, "%d users at %.2f MB/s down each, together:", limited,
                rate / 1e6);
  Print(label, limitedOnly);

  // The unlimited user beside them and alone (the limited relays still), by turns, since the
  // machine's own noise is larger than the difference sought.
  std::vector<double> besideRates;
  std::vector<double> aloneRates;
  for (int round = 0; round < 3; ++round) {
    const Figure beside = Download("bench", source, bytes, pid);
    besideRates.push_back(beside.megabytes / beside.seconds);
    paused = true;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Figure still = Download("bench", source, bytes, pid);
    aloneRates.push_back(still.megabytes / still.seconds);
    paused = false;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  std::sort(besideRates.begin(), besideRates.end());
  std::sort(aloneRates.begin(), aloneRates.end());
  std::printf("%-44s %8.0f MB/s (median of 3)\n",
              "unlimited user, limited relays still:", aloneRates[1]);
  std::printf("%-44s %8.0f MB/s (median of 3), %.1f %% of the figure above\n",
              "unlimited user beside them:", besideRates[1],
              100.0 * besideRates[1] / aloneRates[1]);

  stop = true;
  for (auto& reader : readers) reader.join();
  relays.clear();
  sessions.clear();
  return 0;
}
