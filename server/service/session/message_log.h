// The message log messages.txt in the home directory: one line per text message a logged-in
// client sends to the administrator, written whatever AuditType says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

namespace tarvo {

inline constexpr char kMessageFileName[] = "messages.txt";
// Longest message text in a line, counted after escaping; a longer text is cut before the
// first escape or byte that does not fit, so a line never exceeds about 1.2 KB.
inline constexpr std::size_t kMaxLoggedMessageText = 1023;

// Appends the line for a message (its plaintext as deciphered, taken up to its first NUL), or
// drops it when the user's allowance is spent (message_budget.h), logging the first drop of
// each minute in a line of its own. False when messages.txt cannot be opened for a message
// line: the caller closes the session. A line the open file does not take is lost and the
// session goes on.
bool SaveUserMessage(std::string_view name, std::uint32_t address,
                     std::span<const std::uint8_t> plaintext);

// "Mon Jan 05 09:03:07 2026": the asctime form, but the day of month with a leading zero and
// English names whatever the locale.
std::string FormatMessageTime(const std::tm& when);

// The whole line, line end included: time, " from ", name, "[address] :", text. Control
// characters in name and text are escaped so the line stays one line.
std::string FormatMessageLine(const std::tm& when, std::string_view name, std::uint32_t address,
                              std::string_view text);

// The line that stands for the messages of a user dropped in one minute: who, and the size
// of the text that was dropped first. Unlike a message line it has no " :" after the address.
std::string FormatDropLine(const std::tm& when, std::string_view name, std::uint32_t address,
                           std::size_t droppedBytes);

}  // namespace tarvo
