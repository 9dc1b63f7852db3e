#include "server/service/control/settings_reload.h"

#include <string>

#include "platform/home.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/settings.h"
#include "server/service/front/acceptor.h"
#include "server/service/policy/access_file.h"
#include "server/service/v2/v2_front.h"

namespace tarvo {

void ReloadSettings() {
  MutexLock lock(NetworkLock);
  // A line the file no longer has keeps its value, as at start.
  ServerSettingsRecord fresh = ServerSettings;
  std::string path;
  if (!HomeFilePath(kSettingsFileName, path) || !LoadSettingsFile(path, fresh)) {
    Diagnose("reload: %s cannot be read; the settings stay as they were", kSettingsFileName);
  } else {
    std::string atStart;
    if (fresh.MetricsAddress != ServerSettings.MetricsAddress) {
      atStart += " [MetricsAddress]";
      fresh.MetricsAddress = ServerSettings.MetricsAddress;
    }
    const bool portMoved = fresh.ServerPort != ServerSettings.ServerPort;
    ServerSettings = fresh;
    if (portMoved) MoveServerPort(ServerSettings.ServerPort);
    Diagnose("reload: settings read again from %s", path.c_str());
    if (!atStart.empty()) Diagnose("reload: changed, applied at the next start:%s", atStart.c_str());
  }
  // A renewed certificate or a new key is read again even where the file names stayed.
  const std::string before = V2Fingerprint();
  std::string error;
  if (!ReloadV2Front(ServerSettings.TlsKey, ServerSettings.TlsCertificate, error)) {
    Diagnose("reload: protocol v2 keeps its key and certificate: %s", error.c_str());
  } else if (V2Fingerprint() != before) {
    Diagnose("reload: protocol v2 now presents the key with fingerprint %s", V2Fingerprint().c_str());
  } else {
    Diagnose("reload: protocol v2's key and certificate read again");
  }
  ReloadAccessRules();
}

}  // namespace tarvo
