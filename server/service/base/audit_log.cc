#include "server/service/base/audit_log.h"

#include <cstdio>

#include "server/common/session_protocol.h"
#include "server/service/base/log_text.h"
#include "server/service/base/settings.h"

namespace tarvo {
namespace {

void WriteRow(std::string_view name, std::uint32_t address, std::string_view event,
              std::uint32_t destAddress, std::uint16_t destPort, std::string_view result)
    REQUIRES(NetworkLock) {
  if (ServerSettings.AuditType == 0) return;
  AppendLineToHomeFile(kAuditFileName, FormatAuditRow(LocalTimeNow(), name, address, event,
                                                      destAddress, destPort, result));
}

}  // namespace

std::string FormatAuditRow(const std::tm& when, std::string_view name, std::uint32_t address,
                           std::string_view event, std::uint32_t destAddress,
                           std::uint16_t destPort, std::string_view result) {
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "\"%.4d/%.2d/%.2d\",\"%.2d:%.2d:%.2d\"", when.tm_year + 1900,
                when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  std::string row = stamp;
  row += ",\"";
  AppendEscaped(row, name, true);
  row += '[';
  row += FormatIPv4(address);
  row += "]\",\"";
  row += event;
  row += "\",\"";
  if (event == "connect" || event == "disconnect") {
    row += FormatIPv4(destAddress);
    row += "\",\"";
    row += std::to_string(destPort);
  } else {
    row += "\",\"";
  }
  row += "\",\"";
  row += result;
  row += "\"\n";
  return row;
}

void AuditSessionOpen(std::string_view name, std::uint32_t address, const char* result) {
  WriteRow(name, address, "open", 0, 0, result);
}

void AuditSessionClose(std::string_view name, std::uint32_t address) {
  WriteRow(name, address, "close", 0, 0, "done");
}

void AuditRelayConnect(std::string_view name, std::uint32_t address, const char* result,
                       std::uint32_t destAddress, std::uint16_t destPort) {
  WriteRow(name, address, "connect", destAddress, destPort, result);
}

void AuditRelayDisconnect(std::string_view name, std::uint32_t address,
                          std::uint32_t destAddress, std::uint16_t destPort) {
  WriteRow(name, address, "disconnect", destAddress, destPort, "done");
}

}  // namespace tarvo
