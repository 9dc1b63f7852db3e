// tarvoclient: logs in to a Tarvo daemon and offers a local SOCKS5 proxy through the tunnel.
//   tarvoclient --server HOST:PORT --user NAME (--password-file FILE | env TARVO_PASSWORD)
//               [--listen 127.0.0.1:1080] [--client-version 2.0.5]
//               [--proxy-user NAME --proxy-password-file FILE]
//               [--enrolment LINE|FILE] [--fingerprint HEX] [--known-servers FILE]
//               [--protocol v2|v1]
//   tarvoclient status --server HOST:PORT --user NAME ...   (prints the limit and the counter)
// Exit status: 0 after a stop by signal, 2 when the daemon refuses the login, 1 otherwise.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "client/proxy_server.h"
#include "client/tunnel_session.h"
#include "client/v2_connector.h"
#include "server/common/v2_wire.h"

namespace tarvo::client {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;

int Usage() {
  std::fputs(
      "usage: tarvoclient [status] --server HOST:PORT --user NAME\n"
      "                   (--password-file FILE | environment TARVO_PASSWORD)\n"
      "                   [--listen ADDRESS:PORT] [--client-version VERSION]\n"
      "                   [--proxy-user NAME --proxy-password-file FILE]\n"
      "                   [--enrolment LINE|FILE] [--fingerprint HEX]\n"
      "                   [--known-servers FILE] [--protocol v2|v1]\n",
      stderr);
  return kExitFailure;
}

bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || value > 65535) return false;
  host = text.substr(0, colon);
  port = static_cast<std::uint16_t>(value);
  return true;
}

// The first line of the file, without its line end.
bool ReadSecret(const std::string& path, std::string& secret) {
  std::ifstream file(path);
  if (!file) return false;
  std::getline(file, secret);
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return true;
}

class SignalStop : public IoHandler {
 public:
  explicit SignalStop(EventLoop& loop) : loop_(loop) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ >= 0) loop_.add(fd_, EPOLLIN, this);
  }
  ~SignalStop() override {
    if (fd_ >= 0) {
      loop_.remove(fd_);
      ::close(fd_);
    }
  }
  void onIo(int, std::uint32_t) override {
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof info) == sizeof info) {
    }
    loop_.stop();
  }

 private:
  EventLoop& loop_;
  int fd_ = -1;
};

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int Status(TunnelConfig config, bool useV2, const V2Options& v2Options) {
  SessionClient session;
  EventLoop loop;
  std::unique_ptr<V2Connector> v2;
  if (useV2) {
    v2 = std::make_unique<V2Connector>(loop, v2Options);
    config.v2 = v2.get();
  }
  LoginReport report = LogIn(session, config);
  // v2's pump runs on the loop while this thread waits for the answer on the inner end.
  std::thread pump;
  if (v2 && report.accepted) pump = std::thread([&loop] { loop.run(); });
  struct Joiner {
    EventLoop& loop;
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) {
        loop.stop();
        thread.join();
      }
    }
  } joiner{loop, pump};
  if (!report.accepted) {
    std::fprintf(stderr, "tarvoclient: %s\n", report.text.c_str());
    return report.refused ? kExitRefused : kExitFailure;
  }
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  ClientStatus status = session.trafficInfo(limit, counter, config.loginTimeoutMs);
  if (status != ClientStatus::kOk) {
    std::fprintf(stderr, "tarvoclient: no traffic figures: %s\n", ToString(status));
    return kExitFailure;
  }
  std::printf("user: %s\n", config.user.c_str());
  if (limit == 0) {
    std::printf("limit: none\n");
  } else {
    std::printf("limit: %lld bytes\n", static_cast<long long>(limit));
  }
  std::printf("counter: %lld bytes\n", static_cast<long long>(counter));
  return 0;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool statusOnly = false;
  if (!args.empty() && (args[0] == "status" || args[0] == "--status")) {
    statusOnly = true;
    args.erase(args.begin());
  }
  TunnelConfig config;
  ProxyOptions options;
  std::string server;
  std::string passwordFile;
  std::string proxyPasswordFile;
  std::string listen = "127.0.0.1:1080";
  std::string enrolmentText;
  std::string protocol = "v2";
  V2Options v2Options;
  const std::map<std::string, std::string*> optionsByName = {
      {"--enrolment", &enrolmentText},
      {"--fingerprint", &v2Options.fingerprint},
      {"--known-servers", &v2Options.knownServersPath},
      {"--protocol", &protocol},
      {"--server", &server},
      {"--user", &config.user},
      {"--password-file", &passwordFile},
      {"--listen", &listen},
      {"--client-version", &config.version},
      {"--proxy-user", &options.proxyUser},
      {"--proxy-password-file", &proxyPasswordFile},
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--status") {
      statusOnly = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage();
    const std::string& value = args[++i];
    auto target = optionsByName.find(arg);
    if (target == optionsByName.end()) return Usage();
    *target->second = value;
  }
  if (!enrolmentText.empty()) {
    // A file that holds the line, or the line itself.
    std::string line = enrolmentText;
    if (!enrolmentText.starts_with("tarvo://") && !ReadSecret(enrolmentText, line)) {
      std::fprintf(stderr, "tarvoclient: cannot read the enrolment file %s\n", enrolmentText.c_str());
      return kExitFailure;
    }
    Enrolment enrolment;
    if (!ParseEnrolment(line, enrolment)) {
      std::fputs("tarvoclient: the enrolment line is not tarvo://USER@HOST:PORT/?fingerprint=HEX\n",
                 stderr);
      return kExitFailure;
    }
    if (server.empty()) server = enrolment.host + ":" + std::to_string(enrolment.port);
    if (config.user.empty()) config.user = enrolment.user;
    if (v2Options.fingerprint.empty()) v2Options.fingerprint = enrolment.fingerprint;
  }
  if (server.empty() || config.user.empty()) return Usage();
  if (protocol != "v1" && protocol != "v2") {
    std::fputs("tarvoclient: --protocol is v2 (the default) or v1\n", stderr);
    return kExitFailure;
  }
  if (!v2Options.fingerprint.empty()) {
    const std::string given = v2Options.fingerprint;
    v2Options.fingerprint = NormalizeFingerprint(given);
    if (v2Options.fingerprint.empty()) {
      std::fprintf(stderr, "tarvoclient: \"%s\" is not a key fingerprint (64 hex digits)\n",
                   given.c_str());
      return kExitFailure;
    }
  }
  if (v2Options.knownServersPath.empty()) v2Options.knownServersPath = DefaultKnownServersPath();
  if (protocol == "v1") {
    std::fputs("tarvoclient: warning: protocol v1 lets anyone on the path read the traffic and "
               "replay the login\n",
               stderr);
  }
  if (!SplitHostPort(server, config.host, config.port)) {
    std::fprintf(stderr, "tarvoclient: --server wants HOST:PORT, not \"%s\"\n", server.c_str());
    return kExitFailure;
  }
  if (!passwordFile.empty()) {
    if (!ReadSecret(passwordFile, config.password)) {
      std::fprintf(stderr, "tarvoclient: cannot read the password file %s\n", passwordFile.c_str());
      return kExitFailure;
    }
  } else if (const char* env = std::getenv("TARVO_PASSWORD")) {
    config.password = env;
  } else {
    std::fputs("tarvoclient: give the password with --password-file or TARVO_PASSWORD\n", stderr);
    return kExitFailure;
  }
  // TLS writes with write(): a daemon that has gone must not end the client by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (statusOnly) return Status(config, protocol == "v2", v2Options);

  if (!options.proxyUser.empty() &&
      (proxyPasswordFile.empty() || !ReadSecret(proxyPasswordFile, options.proxyPassword))) {
    std::fputs("tarvoclient: --proxy-user needs a readable --proxy-password-file\n", stderr);
    return kExitFailure;
  }
  std::string listenHost;
  std::uint16_t listenPort = 0;
  options.listen.sin_family = AF_INET;
  if (!SplitHostPort(listen, listenHost, listenPort) ||
      inet_pton(AF_INET, listenHost.c_str(), &options.listen.sin_addr) != 1) {
    std::fprintf(stderr, "tarvoclient: --listen wants IPv4ADDRESS:PORT, not \"%s\"\n",
                 listen.c_str());
    return kExitFailure;
  }
  options.listen.sin_port = htons(listenPort);

  RaiseDescriptorLimit();
  EventLoop loop;
  if (!loop.valid()) return kExitFailure;
  SignalStop stopper(loop);
  std::unique_ptr<V2Connector> v2;
  if (protocol == "v2") {
    v2 = std::make_unique<V2Connector>(loop, v2Options);
    config.v2 = v2.get();
  }
  TunnelSession tunnel(loop, config);
  LoginReport report = tunnel.start();
  std::fprintf(stderr, "tarvoclient: %s\n", report.text.c_str());
  if (!report.accepted) return report.refused ? kExitRefused : kExitFailure;
  ProxyServer proxy(loop, tunnel, options);
  if (!proxy.listen()) return kExitFailure;
  std::fprintf(stderr, "tarvoclient: SOCKS5 proxy listening on %s:%u\n", listenHost.c_str(),
               proxy.listenPort());
  loop.setAfterBatch([&proxy] { proxy.deleteRetired(); });
  return loop.run() ? 0 : kExitFailure;
}

}  // namespace
}  // namespace tarvo::client

int main(int argc, char** argv) { return tarvo::client::Main(argc, argv); }
