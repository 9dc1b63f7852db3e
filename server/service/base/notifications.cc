#include "server/service/base/notifications.h"

#include "server/service/base/notifier.h"

namespace tarvo {

std::atomic<bool> ConsoleAttached{false};
std::mutex NotifyLock;

void SendNotification(std::uint32_t code, const void* payload, std::size_t size) {
  QueuedNotification item;
  item.code = code;
  const auto* bytes = static_cast<const std::uint8_t*>(payload);
  item.payload.assign(bytes, bytes + size);
  QueueNotification(std::move(item));
}

void DropNotifyConnection() {
  QueuedNotification item;
  item.dropConnection = true;
  QueueNotification(std::move(item));
}

}  // namespace tarvo
