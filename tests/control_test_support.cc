#include "tests/control_test_support.h"

#include <stdlib.h>

#include <chrono>

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

}  // namespace tarvo::test
