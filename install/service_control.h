// The service entry's operations over systemd: the unit file in the unit directory is the
// entry, systemctl asks the service manager to act on it. Every systemctl call is bounded in
// time, and a manager that does not answer counts as a refusal.
#pragma once

#include <string>

namespace tarvo::install {

// The systemctl program to run; "systemctl" from PATH unless TARVO_SYSTEMCTL names another.
inline constexpr char kSystemctlVariable[] = "TARVO_SYSTEMCTL";

// True when the unit file of the service is there and the unit directory may be changed (as
// the manager could not be opened without the rights to change it).
bool ServiceExists(const std::string& name);
// Asks the manager to stop the service without waiting for it; true when it accepted.
bool StopService(const std::string& name);
// Starts the service and waits for it to report ready; true when it started.
bool StartInstalledService(const std::string& name);
// Makes sure the admin group exists, writes the unit for the daemon at programPath (its home
// being programPath's directory), reloads the manager and enables automatic start. True when
// the unit was written; the manager's part is best effort.
bool CreateInstalledService(const std::string& name, const std::string& programPath);
// Disables the service and removes its unit, then prepares the database; false when there was
// no unit or it could not be removed. When the unit directory cannot be written (the manager
// could not be "opened") neither happens.
bool DeleteInstalledService(const std::string& name);
// Sets the unit's Description=; true when the unit was rewritten.
bool SetServiceDescription(const std::string& name, const std::string& text);

}  // namespace tarvo::install
