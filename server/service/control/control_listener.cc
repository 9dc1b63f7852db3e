#include "server/service/control/control_listener.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "server/common/control_records.h"
#include "server/service/base/notifications.h"
#include "server/service/base/notifier.h"

namespace tarvo {

namespace {

// How long the stop waits for the listener: a console request may be inside a store call that
// hangs, and the daemon must still stop.
constexpr std::chrono::seconds kListenerStopWait{3};

std::unique_ptr<LocalPort> ControlPort;
std::thread ListenerThread;
std::atomic<bool> ListenerStopping{false};

// Set by the listener thread as it returns.
struct ListenerEnd {
  Mutex mutex;
  std::condition_variable_any ended;
  bool done GUARDED_BY(mutex) = false;
};

ListenerEnd& TheListenerEnd() {
  static auto* end = new ListenerEnd;  // never destroyed: a stuck listener may outlive main
  return *end;
}

// In accept order. Only the listener thread touches it.
std::vector<std::unique_ptr<ControlConnection>>& Connections() {
  static std::vector<std::unique_ptr<ControlConnection>> table;
  return table;
}

ControlConnection* FindConnection(ConnectionId id) {
  for (auto& connection : Connections()) {
    if (connection->id == id) return connection.get();
  }
  return nullptr;
}

void RemoveConnection(ConnectionId id) {
  ControlPort->close(id);
  if (const ControlConnection* connection = FindConnection(id)) ControlConnectionGone(*connection);
  auto& table = Connections();
  std::erase_if(table, [id](const auto& connection) { return connection->id == id; });
}

void AcceptConsole(const PortEvent& event) {
  // Every request reads at most the request area; a console offering less is not served.
  if (event.peerViewSize < kRequestViewSize) {
    ControlPort->refuse(event.connection);
    return;
  }
  auto connection = std::make_unique<ControlConnection>();
  connection->id = event.connection;
  connection->peer = event.peer;
  if (!SharedSection::Create(kReplyAreaSize, kReplyAreaSize, connection->replyArea)) {
    ControlPort->refuse(event.connection);  // the console tries again
    return;
  }
  if (ControlPort->accept(event.connection, &connection->replyArea) != PortStatus::Ok ||
      ControlPort->complete(event.connection) != PortStatus::Ok) {
    ControlPort->close(event.connection);
    return;
  }
  Connections().push_back(std::move(connection));
}

void ServeRequest(PortEvent& event) {
  ControlConnection* connection = FindConnection(event.connection);
  const SharedSection* requestArea = ControlPort->peerView(event.connection);
  if (connection == nullptr || requestArea == nullptr) return;
  DispatchControlRequest(event.message, *connection,
                         static_cast<std::uint8_t*>(requestArea->base()), requestArea->viewSize());
  // A console that does not read its replies is not waited for: it loses its connection.
  if (ControlPort->reply(event.connection, event.message) != PortStatus::Ok) {
    RemoveConnection(event.connection);
  }
}

void ControlListenerThread() {
  while (!ListenerStopping.load()) {
    PortEvent event;
    switch (ControlPort->receive(event)) {
      case PortStatus::Ok:
        break;
      case PortStatus::Interrupted:
        continue;
      default:
        // Retried; the pause keeps a lasting failure from spinning.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
    }
    switch (event.type) {
      case PortMessageType::ConnectionRequest:
        AcceptConsole(event);
        break;
      case PortMessageType::Request:
        ServeRequest(event);
        break;
      case PortMessageType::PortClosed:
      case PortMessageType::ClientDied:
        RemoveConnection(event.connection);
        break;
      default:
        break;
    }
  }
  Connections().clear();
  ListenerEnd& end = TheListenerEnd();
  MutexLock lock(end.mutex);
  end.done = true;
  end.ended.notify_all();
}

}  // namespace

void SetConsoleAttached(ControlConnection& connection, bool attached) {
  connection.attached = attached;
  // Only live connections count; one removed since leaves the flag as it was until now.
  bool any = attached;
  for (const auto& each : Connections()) any = any || each->attached;
  ConsoleAttached.store(any);
}

PortAccessRule ControlPortRule() {
  const char* group = std::getenv(kAdminGroupVariable);
  return PortAccessRule::ForControlPort(group != nullptr && *group != '\0' ? group
                                                                           : kDefaultAdminGroup);
}

bool OpenControlPort(std::string* error) {
  switch (LocalPort::Create(kControlPortName, ControlPortRule(), ControlPort, error)) {
    case PortStatus::Ok:
      return true;
    case PortStatus::NameTaken:
      if (error) *error = std::string(kControlPortName) + " is held by another process";
      return false;
    default:
      return false;
  }
}

void StartControlListener() {
  StartNotifier(ControlPortRule());
  if (!ControlPort || ListenerThread.joinable()) return;
  ListenerStopping.store(false);
  {
    ListenerEnd& end = TheListenerEnd();
    MutexLock lock(end.mutex);
    end.done = false;
  }
  ListenerThread = std::thread(ControlListenerThread);
}

void StopControlListener() {
  if (ListenerThread.joinable()) {
    ListenerStopping.store(true);
    ControlPort->interrupt();
    ListenerEnd& end = TheListenerEnd();
    bool ended = false;
    {
      MutexLock lock(end.mutex);
      ended = end.ended.wait_for(end.mutex, kListenerStopWait,
                                 [&]() REQUIRES(end.mutex) { return end.done; });
    }
    if (!ended) {
      // Still inside a request (a store that does not answer): the process ends without it,
      // and the port it uses stays for it.
      ListenerThread.detach();
      return;
    }
    ListenerThread.join();
  }
  ControlPort.reset();
}

}  // namespace tarvo
