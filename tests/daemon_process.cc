#include "tests/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "server/service/base/settings.h"

namespace tarvo::test {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/tarvo-test-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

int FreeLoopbackPort() {
  // The socket stays bound, never listening, until this process ends: with SO_REUSEADDR on it
  // a server that sets SO_REUSEADDR too (the daemon, PostgreSQL, tarvoclient) can still bind
  // and listen on the port, while no other socket can take it in the meantime. Without it, a
  // connection of a test running alongside could be given the port as its own source port
  // between this choice and the server's bind.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);  // every address: no source port on any of them
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (port < 0) ::close(fd);
  return port;  // fd is kept open on purpose
}

bool PortAcceptsConnections(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

std::string TarvoServerPath() { return TARVO_SERVER_PATH; }

DaemonProcess::DaemonProcess(std::string home)
    : home_(std::move(home)), runtimeDir_(home_) {}

DaemonProcess::~DaemonProcess() {
  if (running()) stop(SIGKILL, 10000);
  if (notifyFd_ >= 0) ::close(notifyFd_);
  if (pidFd_ >= 0) ::close(pidFd_);
}

void DaemonProcess::setEnv(std::string name, std::string value) {
  env_.emplace_back(std::move(name), std::move(value));
}

bool DaemonProcess::writeSettings(int port) {
  ServerSettingsRecord settings;
  settings.ServerPort = port;
  return SaveSettingsFile(home_ + "/" + kSettingsFileName, settings);
}

bool DaemonProcess::start() {
  // A restart after an exit begins afresh.
  if (running()) return false;
  for (int* fd : {&notifyFd_, &pidFd_}) {
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  }
  status_.reset();
  notifications_.clear();
  stderrPath_ = home_ + "/daemon-stderr.txt";
  notifyPath_ = home_ + "/notify.sock";
  notifyFd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (notifyPath_.size() >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, notifyPath_.c_str());
  ::unlink(notifyPath_.c_str());
  if (::bind(notifyFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;

  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // A test that dies (a failed check that aborts, a sanitizer report) must not leave its
    // daemon running with ctest's output pipe open: the run would hang until the time-out.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    int nothing = ::open("/dev/null", O_WRONLY);
    if (nothing >= 0) ::dup2(nothing, STDOUT_FILENO);
    ::setenv("TARVO_HOME", home_.c_str(), 1);
    ::setenv("TARVO_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    ::setenv("NOTIFY_SOCKET", notifyPath_.c_str(), 1);
    for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
    std::string path = TarvoServerPath();
    ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  return pidFd_ >= 0;
}

void DaemonProcess::readNotifications() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(notifyFd_, buffer, sizeof buffer, 0);
    if (n < 0) return;
    notifications_.emplace_back(buffer, static_cast<std::size_t>(n));
  }
}

bool DaemonProcess::waitReady(int timeoutMs) {
  const std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    readNotifications();
    for (const auto& message : notifications_) {
      if (message.find("READY=1") != std::string::npos) return true;
    }
    if (!running()) return false;
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) return false;
    pollfd fds[2] = {{notifyFd_, POLLIN, 0}, {pidFd_, POLLIN, 0}};
    ::poll(fds, 2, left);
    if (fds[1].revents & POLLIN) {
      readNotifications();
      waitExit(0);
    }
  }
}

std::optional<int> DaemonProcess::waitExit(int timeoutMs) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  pollfd fd{pidFd_, POLLIN, 0};
  if (::poll(&fd, 1, timeoutMs) != 1) return std::nullopt;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  readNotifications();
  return status_;
}

std::optional<int> DaemonProcess::stop(int signal, int timeoutMs) {
  if (running()) ::kill(pid_, signal);
  return waitExit(timeoutMs);
}

std::string DaemonProcess::stderrText() const {
  std::ifstream file(stderrPath_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<int> ExitStatusAsNobody(const std::function<int()>& body) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
        ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0) {
      ::_exit(10);
    }
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace tarvo::test
