// Output and argument helpers shared by the subcommands.
#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "admin/tarvoadm/command.h"

namespace tarvo::adm {

int Done(const Context& context, const std::string& text, nlohmann::json result) {
  if (context.json) {
    if (result.is_null()) result = nlohmann::json::object();
    if (result.is_object()) result["ok"] = true;
    std::printf("%s\n", result.dump().c_str());
  } else if (!text.empty()) {
    std::printf("%s\n", text.c_str());
  }
  return kDone;
}

int Fail(const Context& context, int code, const std::string& message) {
  std::fprintf(stderr, "tarvoadm: %s\n", message.c_str());
  if (context.json) {
    nlohmann::json result = {{"ok", false}, {"exit", code}, {"error", message}};
    std::printf("%s\n", result.dump().c_str());
  }
  return code;
}

int NotDelivered(const Context& context) {
  return Fail(context, kUnreachable,
              std::string("the daemon did not answer (") +
                  PortStatusName(context.client->lastPortStatus()) + ")");
}

int UsageError(const Context& context, const std::string& message) {
  return Fail(context, kUsage, message + " (tarvoadm --help for usage)");
}

bool ParseAddress(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

std::string FormatAddress(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr value{};
  value.s_addr = address;
  ::inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}

bool ParseSessionId(const std::string& text, std::uint32_t& id) {
  const std::size_t start = text.starts_with("0x") || text.starts_with("0X") ? 2 : 0;
  if (text.size() == start || !std::isxdigit(static_cast<unsigned char>(text[start]))) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str() + start, &end, 16);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  id = static_cast<std::uint32_t>(value);
  return true;
}

std::string FormatSessionId(std::uint32_t id) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", id);
  return text;
}

}  // namespace tarvo::adm
