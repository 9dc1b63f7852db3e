// The group whose members may administer the installed daemon (console, tarvoadm).
#pragma once

namespace tarvo::install {

// Points the group step at the group files under this directory (etc/group ...) instead of
// the machine's, as groupadd --prefix does; for tests.
inline constexpr char kGroupPrefixVariable[] = "TARVO_GROUP_PREFIX";

// True when the group "tarvo" exists or was created now as a system group.
bool EnsureAdminGroup();

}  // namespace tarvo::install
