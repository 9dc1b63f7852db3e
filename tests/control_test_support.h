// Helpers for control-channel tests: a daemon with a connected control client, a notify
// listener that records what it receives, and logged-in sessions.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/tarvo_client_lib.h"
#include "console/control_client/control_client.h"
#include "console/control_client/notify_listener.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {

// Points this process's runtime directory at the daemon's, then connects.
std::unique_ptr<ControlClient> ConnectTo(const TestDaemon& daemon);

// Records notifications in arrival order.
class NotificationLog {
 public:
  NotifyListener::Callback callback();
  // Waits (bounded) until at least count notifications have arrived; a copy of them.
  std::vector<Notification> waitFor(std::size_t count, int timeoutMs = kIoTimeoutMs);
  std::vector<Notification> all();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Notification> received_;
};

// The codes of notifications, in order.
std::vector<std::uint32_t> Codes(const std::vector<Notification>& notifications);

// A session logged in as name.
bool LoggedIn(client::SessionClient& session, const TestDaemon& daemon, const std::string& name,
              const std::string& password);

// What a tool run printed on the stream it was asked for, and how it exited.
struct ToolRun {
  int exit = -1;
  std::string output;
};

// Runs program with args against runtimeDir (TARVO_RUNTIME_DIR) and waits for it; captured is
// 1 for its standard output or 2 for its standard error, the other goes to /dev/null.
ToolRun RunTool(const char* program, const std::string& runtimeDir,
                const std::vector<std::string>& args, int captured);

inline std::uint32_t Loopback() { return 0x0100007F; }  // 127.0.0.1 in network order

}  // namespace tarvo::test
