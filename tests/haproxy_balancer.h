// HAProxy in TCP mode on loopback in front of several daemons, keeping each client address on
// one daemon (balance source), as the README's scale-out recipe configures it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/daemon_process.h"

namespace tarvo::test {

class HaproxyBalancer {
 public:
  // The haproxy program, or empty when it is not installed.
  static std::string Binary();
  // The configuration for a front port and the daemons' ports, as the README gives it; with
  // proxyHeader, each connection passed on starts with a PROXY v2 header (send-proxy-v2).
  static std::string Configuration(int frontPort, const std::vector<int>& backendPorts,
                                   bool proxyHeader = false);

  HaproxyBalancer() = default;
  ~HaproxyBalancer() { stop(); }
  HaproxyBalancer(const HaproxyBalancer&) = delete;
  HaproxyBalancer& operator=(const HaproxyBalancer&) = delete;

  // Starts it in the foreground on a free port and waits (bounded) until it accepts; false
  // with error() telling why.
  bool start(const std::vector<int>& backendPorts, bool proxyHeader = false);
  void stop();

  int port() const { return port_; }
  std::string error() const;

 private:
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

}  // namespace tarvo::test
