// Notifications to an attached console. Senders never wait on the console: a notification is
// queued, in order, and the notifier thread (notifier.h, where these are defined) delivers it. Callers test
// ConsoleAttached before they assemble the payload of a "while attached" notification.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/thread_annotations.h"

#include "server/common/control_codes.h"

namespace tarvo {

// Set while a console is attached (SetConsoleAttached, control_listener.h).
extern std::atomic<bool> ConsoleAttached;

// Guards the queue of notifications waiting for delivery; held only to add or take one.
// Lock order: network lock, then this.
extern Mutex NotifyLock;

// Queues one notification (an NTF_* code and its payload, copied). Callable from any thread;
// never waits on the console. A notification that cannot be delivered is dropped.
// requested: a console's request asked for it, so it goes to the console attached or not.
void SendNotification(std::uint32_t code, const void* payload, std::size_t size,
                      bool requested = false);

// Something beside the console that takes every notification as it is sent (the management
// API's event stream), on the sender's thread; it must not wait. Set once something follows the
// events, cleared at the end.
using NotificationTap = void (*)(std::uint32_t code, const void* payload, std::size_t size);
void SetNotificationTap(NotificationTap tap);
// Gives the tap alone a notification no console asked for (a change made without asking).
void TapNotification(std::uint32_t code, const void* payload, std::size_t size);

// Whether notifications are wanted at all: a console is attached or a tap takes them. Senders
// ask this before they assemble a payload.
bool NotificationsWanted();

// Queues the end of the current notify connection, after the notifications queued before it:
// the next notification connects anew (to whichever console then owns the notify port).
void DropNotifyConnection();

}  // namespace tarvo
