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
// Only the data-source step of Install, for the home directory every Tarvo program beside the
// caller resolves (the packaged service's when the caller is in /usr/bin); for a package's
// maintainer scripts, which ship their own unit. True when the store opened.
TARVO_INSTALL_API bool PrepareStore();
}
