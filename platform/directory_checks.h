// Whom the daemon's directories let in. Anyone who may write to the runtime directory can put
// a socket or a lock file of their own in the daemon's place, so the daemon will not run on
// such a directory, and a console talks only to a port served by root or the directory's
// owner.
#pragma once

#include <string>

#include "platform/peer_credentials.h"

namespace tarvo {

// True when users other than the owner and the group may create or remove files in directory.
bool WritableByOthers(const std::string& directory);

// The daemon's check at start: false, with the reason in *error, when the runtime directory
// is missing, writable by others, or owned by someone other than root or this process's user.
bool CheckRuntimeDirectory(const std::string& directory, std::string* error);

// The consoles' check before they send anything to the control port at path: its owner must
// be root or the owner of the directory path lies in (the daemon has checked that one at its
// start). False with the reason, naming what was found, in *error.
bool IsTrustedPortOwner(const PeerCredentials& owner, const std::string& path, std::string* error);

}  // namespace tarvo
