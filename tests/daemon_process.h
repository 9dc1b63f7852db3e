// Starts the real TarvoServer for a test: its own temporary home and runtime directory, a
// settings file, extra environment, stderr kept in a file, readiness and exit waited for
// through the kernel (the daemon's READY=1 notification and a pidfd), never by sleeping.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::test {

// A directory under /tmp that is removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A free TCP port, held for this process until it ends: servers that bind with SO_REUSEADDR
// can listen on it, nothing else can take it, and until one listens connections to it are
// refused.
int FreeLoopbackPort();

// Runs body in a child process as the user nobody, without supplementary groups: an outsider to
// the daemon. The child's exit status (body's result; 10 when it could not become nobody), or
// nothing when this process is not root or there is no user nobody.
std::optional<int> ExitStatusAsNobody(const std::function<int()>& body);

// True when something accepts TCP connections on 127.0.0.1:port.
bool PortAcceptsConnections(int port);

// The built daemon.
std::string TarvoServerPath();

class DaemonProcess {
 public:
  // home doubles as the runtime directory unless setRuntimeDir says otherwise.
  explicit DaemonProcess(std::string home);
  ~DaemonProcess();  // kills a daemon still running
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  const std::string& home() const { return home_; }
  void setRuntimeDir(std::string dir) { runtimeDir_ = std::move(dir); }
  void setEnv(std::string name, std::string value);
  // Writes tarvoserver.ini in the home with this port (other settings at their defaults).
  bool writeSettings(int port);

  // Starts the daemon, also again after it exited; false when it could not be started at all.
  bool start();
  // Waits for READY=1. False when the daemon exited first or timeoutMs passed.
  bool waitReady(int timeoutMs = 10000);
  // Waits for the exit; its status (exit code, or 128 + signal), or nullopt on time-out.
  std::optional<int> waitExit(int timeoutMs = 10000);
  // Sends signal and waits for the exit as waitExit does.
  std::optional<int> stop(int signal, int timeoutMs = 10000);

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !status_; }
  // Everything the daemon wrote on stderr so far.
  std::string stderrText() const;
  // The systemd notifications received so far, one entry per message.
  const std::vector<std::string>& notifications() const { return notifications_; }

 private:
  void readNotifications();

  std::string home_;
  std::string runtimeDir_;
  std::vector<std::pair<std::string, std::string>> env_;
  std::string stderrPath_;
  std::string notifyPath_;
  int notifyFd_ = -1;
  int pidFd_ = -1;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::vector<std::string> notifications_;
};

}  // namespace tarvo::test
