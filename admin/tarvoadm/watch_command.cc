// tarvoadm watch: attaches to the daemon's notifications and prints each as one line (or one
// JSON object per line) until SIGINT or SIGTERM; detaches on the way out.
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "admin/tarvoadm/command.h"
#include "console/control_client/notify_listener.h"
#include "platform/presence_lock.h"

namespace tarvo::adm {

namespace {

std::string EventText(const nlohmann::json& event) {
  std::string line = event["event"].get<std::string>();
  for (const auto& [key, value] : event.items()) {
    if (key == "event") continue;
    line += " " + key + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
  }
  return line;
}

}  // namespace

int WatchCommand(Context& context) {
  if (!context.args.empty()) return UsageError(context, "watch takes no arguments");
  // Signals are taken by sigtimedwait below; the listener thread inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  if (auto failed = Connect(context)) return *failed;

  std::mutex output;
  const bool json = context.json;
  auto print = [&output, json](const Notification& notification) {
    const nlohmann::json event = NotificationJson(notification);
    std::lock_guard lock(output);
    std::printf("%s\n", json ? event.dump().c_str() : EventText(event).c_str());
    std::fflush(stdout);
  };
  std::unique_ptr<NotifyListener> listener;
  std::string error;
  switch (NotifyListener::Start(context.client->daemonUser(), print, listener, &error)) {
    case PortStatus::Ok:
      break;
    case PortStatus::NameTaken:
      return Fail(context, kRefused, "another console holds the notify port");
    default:
      return Fail(context, kUnreachable, "cannot create the notify port: " + error);
  }
  if (!context.client->CtlAttach()) return NotDelivered(context);
  if (!json) std::fprintf(stderr, "tarvoadm: watching; interrupt to stop\n");

  int code = kDone;
  for (;;) {
    const timespec second{1, 0};
    if (sigtimedwait(&stopSignals, nullptr, &second) > 0) break;
    if (!IsDaemonRunning()) {
      code = Fail(context, kUnreachable, "the daemon stopped");
      break;
    }
  }
  if (code == kDone) context.client->CtlDetach();
  listener.reset();
  return code;
}

}  // namespace tarvo::adm
