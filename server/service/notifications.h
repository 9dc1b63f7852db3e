// Notifications to an attached console. While no console is attached nothing is built or sent;
// callers test ConsoleAttached before they assemble a payload.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "server/common/control_codes.h"

namespace tarvo {

// Set while a console is attached to the notification connection.
extern std::atomic<bool> ConsoleAttached;

// Held while one notification is delivered. Lock order: network lock, then this.
extern std::mutex NotifyLock;

// Delivers one notification (an NTF_* code and its payload). Callable from any thread; a
// failed delivery is dropped.
void SendNotification(std::uint32_t code, const void* payload, std::size_t size);

}  // namespace tarvo
