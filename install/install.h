// TarvoInstall: installs the daemon beside the calling program as a systemd service and
// prepares the user store's data source, or removes the service again. The outcome reaches the
// operator as printed lines.
#pragma once

#define TARVO_INSTALL_API __attribute__((visibility("default")))

extern "C" {

// True when the service entry was created, whether or not it then started.
TARVO_INSTALL_API bool Install();
// True when the service entry was deleted.
TARVO_INSTALL_API bool Uninstall();
}
