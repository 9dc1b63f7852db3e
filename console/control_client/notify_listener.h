// The console's notify port and the thread that serves it: each notification from the daemon
// is decoded and handed to a callback on the listener thread, then answered at once. The
// callback must not block (the GUI posts an event; tarvoadm prints a line): the daemon waits
// only a bounded time for the answer before it drops the connection.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "console/control_client/notification.h"
#include "platform/local_port.h"

namespace tarvo {

class NotifyListener {
 public:
  using Callback = std::function<void(const Notification&)>;

  // Creates the notify port, admitting only daemonUser and root, and starts the thread.
  // NameTaken: another console holds the port (this one then gets no notifications).
  static PortStatus Start(uid_t daemonUser, Callback callback,
                          std::unique_ptr<NotifyListener>& listener, std::string* error = nullptr);
  // Stops the thread and removes the port.
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

 private:
  NotifyListener() = default;
  void NotifyListenerThread();

  std::unique_ptr<LocalPort> port_;
  Callback callback_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tarvo
