// The audit log vpn_log.csv in the home directory: one CSV row per login decision, end of a
// logged-in session, and relayed TCP connection made or lost. Nothing is written, and the file
// is not created, while AuditType is 0. A row that cannot be written is dropped silently.
//
// Addresses are IPv4 in network byte order (as in_addr::s_addr holds them); ports are in host
// byte order. The user field is escaped (log_text.h) so that a name sent by a client cannot
// break or forge a row; ordinary names are written as they are.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "server/service/net/network_loop.h"

namespace tarvo {

inline constexpr char kAuditFileName[] = "vpn_log.csv";

// Rows are written under the network lock, which also keeps them in the order of the events.
// result: "done", "unknown user", "user locked", "double connect" or "invalid password".
void AuditSessionOpen(std::string_view name, std::uint32_t address, const char* result)
    REQUIRES(NetworkLock);
void AuditSessionClose(std::string_view name, std::uint32_t address) REQUIRES(NetworkLock);
// result: "done" or "fail".
void AuditRelayConnect(std::string_view name, std::uint32_t address, const char* result,
                       std::uint32_t destAddress, std::uint16_t destPort) REQUIRES(NetworkLock);
void AuditRelayDisconnect(std::string_view name, std::uint32_t address,
                          std::uint32_t destAddress, std::uint16_t destPort) REQUIRES(NetworkLock);

// The row, line end included, for an event at the given local time. destAddress and destPort
// are used for "connect" and "disconnect" only.
std::string FormatAuditRow(const std::tm& when, std::string_view name, std::uint32_t address,
                           std::string_view event, std::uint32_t destAddress,
                           std::uint16_t destPort, std::string_view result);

}  // namespace tarvo
