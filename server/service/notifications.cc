#include "server/service/notifications.h"

namespace tarvo {

std::atomic<bool> ConsoleAttached{false};
std::mutex NotifyLock;

void SendNotification(std::uint32_t, const void*, std::size_t) {
  if (!ConsoleAttached.load()) return;
  std::lock_guard lock(NotifyLock);
  // No console can attach yet: the control channel that delivers notifications comes later.
}

}  // namespace tarvo
