// The daemon's service entry as a systemd unit file: where it lives, what it says, and how it
// is written and changed.
#pragma once

#include <string>

namespace tarvo::install {

inline constexpr char kUnitDirectoryVariable[] = "TARVO_UNIT_DIR";
inline constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system";
inline constexpr char kAdminGroup[] = "tarvo";
// Under /run; holds the control ports and the presence lock of the installed daemon.
inline constexpr char kRuntimeDirectoryName[] = "tarvo";

// TARVO_UNIT_DIR when set and not empty, else /etc/systemd/system.
std::string UnitDirectory();

// "Tarvo VPN Server" -> "tarvo-vpn-server.service": lower case, spaces as dashes.
std::string UnitName(const std::string& serviceName);
std::string UnitFilePath(const std::string& serviceName);

// The unit for the daemon at programPath, with its home in homeDirectory and serviceName as
// its description until SetServiceDescription replaces it. Empty when a path holds characters
// a unit file cannot carry plainly (white space, quotes, backslashes, control characters).
std::string UnitText(const std::string& serviceName, const std::string& programPath,
                     const std::string& homeDirectory);

// Replaces the Description= line of unit; false when it has none or text holds a line break.
bool ReplaceDescription(std::string& unit, const std::string& text);

// Writes text to path through a temporary file and a rename, so a reader never sees half a
// unit; mode 0644.
bool WriteFileAtomically(const std::string& path, const std::string& text);
bool ReadWholeFile(const std::string& path, std::string& text);

}  // namespace tarvo::install
