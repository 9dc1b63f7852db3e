#include "console/control_client/notify_listener.h"

#include <chrono>

#include "server/common/control_records.h"

namespace tarvo {

PortStatus NotifyListener::Start(uid_t daemonUser, Callback callback,
                                 std::unique_ptr<NotifyListener>& listener, std::string* error) {
  listener.reset();
  std::unique_ptr<NotifyListener> made(new NotifyListener());
  // The payloads carry passwords: only the daemon may deliver them here.
  PortStatus status = LocalPort::Create(kNotifyPortName, PortAccessRule::UserAndRoot(daemonUser),
                                        made->port_, error);
  if (status != PortStatus::Ok) return status;
  made->callback_ = std::move(callback);
  made->thread_ = std::thread(&NotifyListener::NotifyListenerThread, made.get());
  listener = std::move(made);
  return PortStatus::Ok;
}

NotifyListener::~NotifyListener() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  port_->interrupt();
  thread_.join();
}

void NotifyListener::NotifyListenerThread() {
  ConnectionId current = 0;
  while (!stopping_.load()) {
    PortEvent event;
    switch (port_->receive(event)) {
      case PortStatus::Ok:
        break;
      case PortStatus::Interrupted:
        continue;
      default:
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // no spinning
        continue;
    }
    switch (event.type) {
      case PortMessageType::ConnectionRequest:
        // The daemon connects anew after each attach, detach and failed delivery: the newest
        // connection replaces the one before.
        if (port_->accept(event.connection, nullptr) != PortStatus::Ok ||
            port_->complete(event.connection) != PortStatus::Ok) {
          port_->close(event.connection);
          break;
        }
        if (current != 0) port_->close(current);
        current = event.connection;
        break;
      case PortMessageType::Request: {
        const SharedSection* area = port_->peerView(event.connection);
        const ControlMessage message = ToControlMessage(event.message);
        Notification notification;
        if (area != nullptr &&
            DecodeNotification(message.code, static_cast<const std::uint8_t*>(area->base()),
                               area->viewSize(), notification) &&
            callback_) {
          callback_(notification);
        }
        if (port_->reply(event.connection, event.message) != PortStatus::Ok) {
          port_->close(event.connection);
          if (current == event.connection) current = 0;
        }
        break;
      }
      case PortMessageType::PortClosed:
      case PortMessageType::ClientDied:
        port_->close(event.connection);
        if (current == event.connection) current = 0;
        break;
      default:
        break;
    }
  }
}

}  // namespace tarvo
