// The notifier thread: takes queued notifications in order and delivers each to the console's
// notify port, waiting a bounded time for the console's answer. A console that does not answer
// in time loses its notify connection, as after any failed delivery; the next notification
// connects again. No client-serving thread ever waits on a console.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/peer_credentials.h"

namespace tarvo {

// How long one notification may take: connecting, and the console's answer.
inline constexpr int kNotificationTimeoutMs = 1000;
// Notifications waiting beyond this are dropped rather than held without bound.
inline constexpr std::size_t kMaxQueuedNotifications = 10000;
// Largest payload: the console's nominal notification view.
inline constexpr std::size_t kMaxNotificationPayload = 1024;

// Starts the thread. Notifications go only to a notify port whose owner the rule admits (it
// is the control port's rule: the payloads carry passwords).
void StartNotifier(const PortAccessRule& consoleRule);

// Delivers what is queued (dropping the rest after the first failure) and ends the thread.
void StopNotifier();


// Notifications dropped because the queue was full or the payload too long, since start.
std::uint64_t DroppedNotificationCount();

}  // namespace tarvo
