// tarvoctl -install | -uninstall: runs the installer from the product directory. The exit
// status is 0 whatever happens; the installer prints the outcome. -prepare-store only sets up
// the user store's data source (a package's maintainer scripts call it) and exits 1 when that
// fails.
#include <strings.h>

#include <cstdio>

#include "install/install.h"

int main(int argc, char** argv) {
  if (argc == 2 && strcasecmp(argv[1], "-install") == 0) {
    Install();
  } else if (argc == 2 && strcasecmp(argv[1], "-uninstall") == 0) {
    Uninstall();
  } else if (argc == 2 && strcasecmp(argv[1], "-prepare-store") == 0) {
    return PrepareStore() ? 0 : 1;
  } else {
    std::fputs("Usage :tarvoctl -install|-uninstall\n", stdout);
  }
  return 0;
}
