#include "tests/haproxy_balancer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/tarvo_daemon_fixture.h"

extern char** environ;

namespace tarvo::test {

std::string HaproxyBalancer::Binary() {
  for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

std::string HaproxyBalancer::Configuration(int frontPort, const std::vector<int>& backendPorts,
                                           bool proxyHeader) {
  // A data connection must reach the daemon that holds its session: the client's address
  // picks the daemon. Time-outs above the daemon's 30 s idle rule, so it decides who idles.
  std::ostringstream text;
  // No maxconn: HAProxy sizes it from the descriptors it may open.
  text << "defaults\n"
          "    mode tcp\n"
          "    timeout connect 5s\n"
          "    timeout client 120s\n"
          "    timeout server 120s\n"
          "frontend tarvo\n"
          "    bind 127.0.0.1:"
       << frontPort
       << "\n"
          "    default_backend daemons\n"
          "backend daemons\n"
          "    balance source\n";
  for (std::size_t i = 0; i < backendPorts.size(); ++i) {
    text << "    server daemon" << i + 1 << " 127.0.0.1:" << backendPorts[i]
         << (proxyHeader ? " send-proxy-v2" : "") << "\n";
  }
  return text.str();
}

bool HaproxyBalancer::start(const std::vector<int>& backendPorts, bool proxyHeader) {
  const std::string binary = Binary();
  if (binary.empty()) {
    error_ = "haproxy is not installed";
    return false;
  }
  port_ = FreeLoopbackPort();
  const std::string config = dir_.path() + "/haproxy.cfg";
  std::ofstream(config) << Configuration(port_, backendPorts, proxyHeader);
  const std::string log = dir_.path() + "/haproxy.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::string flag = "-db";  // foreground
  std::string file = "-f";
  std::vector<char*> argv{const_cast<char*>(binary.c_str()), flag.data(), file.data(),
                          const_cast<char*>(config.c_str()), nullptr};
  const int spawned = ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    error_ = "haproxy could not be started";
    return false;
  }
  if (!WaitUntil([&] { return PortAcceptsConnections(port_); }, 10000)) {
    error_ = "haproxy does not listen";
    return false;
  }
  return true;
}

void HaproxyBalancer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string HaproxyBalancer::error() const {
  std::ifstream file(dir_.path() + "/haproxy.log");
  std::stringstream log;
  log << file.rdbuf();
  return error_ + "\n" + log.str();
}

}  // namespace tarvo::test
