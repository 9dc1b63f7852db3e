#include "install/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace tarvo::install {
namespace {

// Waits for the child through a pidfd, so the time-out costs no polling loop.
bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout, int& status) {
  int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidFd >= 0) {
    pollfd entry{pidFd, POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int ready = 0;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      if (ready >= 0 || errno != EINTR) break;
    }
    ::close(pidFd);
    if (ready <= 0) return false;
  }
  // Without pidfd support (kernels before 5.3) the wait is unbounded.
  pid_t done = 0;
  do {
    done = ::waitpid(pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  return done == pid;
}

}  // namespace

bool RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
  if (arguments.empty()) return false;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;

  int status = 0;
  if (!WaitForExit(pid, timeout, status)) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tarvo::install
