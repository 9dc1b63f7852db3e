// Runs an outside program (systemctl, groupadd) to its end or to a time-out, so that a service
// manager that does not answer can never hang the installer.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tarvo::install {

// Runs arguments[0] (a path, or a name looked up in PATH) with the rest as its arguments, its
// output discarded. True when it exited with status 0 within timeout; a program still running
// then is killed. False also when it could not be started.
bool RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout);

}  // namespace tarvo::install
