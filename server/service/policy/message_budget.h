// How much of messages.txt one user's text messages may take. Each user has a minute's
// allowance of line bytes; a message whose line does not fit is dropped, and only the first
// drop of each minute is logged, so a client that floods grows the file by a bounded amount
// however fast it sends. Kept per user rather than per session so that logging in again, or a
// second session under MultiConnect, buys no fresh allowance. Network lock held for every call.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace tarvo {

// A person typing never comes near this: over 1,000 characters a second for a whole minute.
inline constexpr std::size_t kMessageBytesPerMinute = 64 * 1024;
inline constexpr std::chrono::seconds kMessageWindow{60};

enum class MessageVerdict {
  kWrite,      // the line fits the allowance and has been charged to it
  kDropFirst,  // dropped, the first of this window: worth one line of its own
  kDrop,       // dropped, already said
};

// Charges a message line of lineBytes to the user's allowance for the current window, which
// starts at the first message after the last window ended.
MessageVerdict ChargeMessageLine(std::string_view user, std::size_t lineBytes);

}  // namespace tarvo
