#include "tests/control_test_support.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace tarvo::test {

std::unique_ptr<ControlClient> ConnectTo(const TestDaemon& daemon) {
  ::setenv("TARVO_RUNTIME_DIR", daemon.home().c_str(), 1);
  std::unique_ptr<ControlClient> client;
  if (ControlClient::ConnectControlPort(client) != PortStatus::Ok) return nullptr;
  client->setRequestTimeout(30000);
  return client;
}

NotifyListener::Callback NotificationLog::callback() {
  return [this](const Notification& notification) {
    std::lock_guard lock(mutex_);
    received_.push_back(notification);
    arrived_.notify_all();
  };
}

std::vector<Notification> NotificationLog::waitFor(std::size_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return received_.size() >= count; });
  return received_;
}

std::vector<Notification> NotificationLog::all() {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::uint32_t> Codes(const std::vector<Notification>& notifications) {
  std::vector<std::uint32_t> codes;
  for (const auto& notification : notifications) codes.push_back(notification.code);
  return codes;
}

bool LoggedIn(client::SessionClient& session, const TestDaemon& daemon, const std::string& name,
              const std::string& password) {
  return OpenSession(session, daemon) &&
         session.login(name, password, kIoTimeoutMs).outcome == client::LoginOutcome::kAccepted;
}

ToolRun RunTool(const char* program, const std::string& runtimeDir,
                const std::vector<std::string>& args, int captured) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], captured);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::freopen("/dev/null", "w", captured == 1 ? stderr : stdout);
    ::setenv("TARVO_RUNTIME_DIR", runtimeDir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(program, argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  ToolRun run;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, got);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace tarvo::test
