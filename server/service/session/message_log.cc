#include "server/service/session/message_log.h"

#include <cstdio>

#include "server/common/session_protocol.h"
#include "server/service/base/log_text.h"
#include "server/service/policy/message_budget.h"

namespace tarvo {
namespace {

const char* NameAt(const char* const* names, int count, int index) {
  return index >= 0 && index < count ? names[index] : "???";
}

}  // namespace

std::string FormatMessageTime(const std::tm& when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %.2d %.2d:%.2d:%.2d %d", NameAt(kDays, 7, when.tm_wday),
                NameAt(kMonths, 12, when.tm_mon), when.tm_mday, when.tm_hour, when.tm_min,
                when.tm_sec, when.tm_year + 1900);
  return text;
}

std::string FormatMessageLine(const std::tm& when, std::string_view name, std::uint32_t address,
                              std::string_view text) {
  std::string line = FormatMessageTime(when);
  line += " from ";
  AppendEscaped(line, name, false);
  line += '[';
  line += FormatIPv4(address);
  line += "] :";
  std::string escaped;
  AppendEscaped(escaped, text, false, kMaxLoggedMessageText);
  line += escaped;
  line += '\n';
  return line;
}

std::string FormatDropLine(const std::tm& when, std::string_view name, std::uint32_t address,
                           std::size_t droppedBytes) {
  std::string line = FormatMessageTime(when);
  line += " from ";
  AppendEscaped(line, name, false);
  line += '[';
  line += FormatIPv4(address);
  line += "] dropped " + std::to_string(droppedBytes) + " bytes: more than " +
          std::to_string(kMessageBytesPerMinute) +
          " bytes of messages a minute (later drops this minute are not logged)\n";
  return line;
}

bool SaveUserMessage(std::string_view name, std::uint32_t address,
                     std::span<const std::uint8_t> plaintext) {
  const std::string text = TextUpToNul(plaintext);
  const std::tm now = LocalTimeNow();
  std::string line = FormatMessageLine(now, name, address, text);
  switch (ChargeMessageLine(name, line.size())) {
    case MessageVerdict::kWrite:
      return AppendLineToHomeFile(kMessageFileName, line);
    case MessageVerdict::kDropFirst:
      // The message was dropped by rule, not by the file: the session goes on either way.
      AppendLineToHomeFile(kMessageFileName, FormatDropLine(now, name, address, text.size()));
      return true;
    case MessageVerdict::kDrop:
      return true;
  }
  return true;
}

}  // namespace tarvo
