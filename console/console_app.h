// CTarvoConsoleApp: the console's start-up and end. It checks that the daemon runs, fetches its
// settings, shows the sheet modally, and ends when the sheet closes. Every way out ends the
// process with status 0.
#pragma once

#include <memory>

#include "console/console_settings.h"
#include "console/control_client/control_client.h"

namespace tarvo {

class CServerTreeSheet;

class CTarvoConsoleApp {
 public:
  CTarvoConsoleApp();
  ~CTarvoConsoleApp();

  // The start-up checks, then the sheet with its pages. False when the console must end (its
  // message box, if any, has been shown).
  bool InitInstance();
  // The sheet made by InitInstance.
  CServerTreeSheet* sheet() const { return sheet_.get(); }
  // After the sheet closed: stops the notification listener and, when settings were sent,
  // gives the daemon half a second before the process ends.
  void ExitInstance();
  // All of it, with the sheet shown modally. The process's exit status.
  int Run();

 private:
  std::unique_ptr<ControlClient> client_;
  ConsoleSettings settings_;
  std::unique_ptr<CServerTreeSheet> sheet_;
};

}  // namespace tarvo
