// The files that must lie beside the calling program before the service is installed.
#pragma once

#include <string>
#include <vector>

namespace tarvo::install {

// In the order they are reported. The block cipher is linked into the daemon, so it has no
// file of its own to check.
inline const std::vector<std::string>& RequiredFileNames() {
  static const std::vector<std::string> names = {"libTarvoInstall.so", "TarvoServer",
                                                 "libReader.so", "TarvoConsole"};
  return names;
}

// True when every required file opens for reading in directory (ending with '/'); otherwise
// shows "Missing next files :" with each missing name on a line of its own and returns false.
bool CheckRequiredFiles(const std::string& directory);

}  // namespace tarvo::install
