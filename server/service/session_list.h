// The process-wide list of logged-in sessions, guarded by the network lock.
#pragma once

namespace tarvo {

// Deletes every session (each writes its closing rows). The caller holds the network lock.
void DeleteAllSessions();

}  // namespace tarvo
