#include "install/install.h"

#include <chrono>
#include <thread>

#include "install/odbc_setup.h"
#include "install/operator_messages.h"
#include "install/program_directory.h"
#include "install/required_files.h"
#include "install/service_control.h"
#include "platform/home.h"

using namespace tarvo::install;

namespace {

// Gives the manager time to let go of the old service before the new one is created.
constexpr std::chrono::milliseconds kRecreatePause{3000};
constexpr char kServerProgram[] = "TarvoServer";

}  // namespace

bool Install() {
  if (ServiceExists(kServiceName)) StopService(kServiceName);
  // The product directory is the calling program's, not this library's.
  const std::string directory = CallingProgramDirectory();
  if (directory.empty() || !CheckRequiredFiles(directory)) return false;
  DeleteInstalledService(kServiceName);
  std::this_thread::sleep_for(kRecreatePause);
  if (!CreateInstalledService(kServiceName, directory + kServerProgram)) {
    ShowError(kInstallErrorText);
    return false;
  }
  SetServiceDescription(kServiceName, kServiceDescription);
  ShowInformation(StartInstalledService(kServiceName) ? kInstalledRunningText : kInstalledText);
  return true;
}

bool Uninstall() {
  StopService(kServiceName);
  if (!ServiceExists(kServiceName)) {
    ShowError(kNotInstalledText);
    return false;
  }
  if (DeleteInstalledService(kServiceName)) {
    ShowInformation(kUninstalledText);
    return true;
  }
  ShowError(kUninstallErrorText);
  StartInstalledService(kServiceName);
  return false;
}

bool PrepareStore() {
  std::string home = tarvo::HomeDirectory();
  if (home.back() != '/') home += '/';
  if (SetUpDatabase(home)) return true;
  ShowError(kPrepareStoreErrorText + home);
  return false;
}
