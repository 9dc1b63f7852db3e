// A reload (SIGHUP, `systemctl reload`): the settings file and the destination rules read
// again and applied without dropping a session, except a changed server port, which moves the
// listener as the console's change does. What only a start can change is named in one journal
// line.
#pragma once

#include "server/service/net/network_loop.h"

namespace tarvo {

void ReloadSettings() EXCLUDES(NetworkLock);

}  // namespace tarvo
