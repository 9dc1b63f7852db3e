// Files the daemon and the tools make for themselves (store, logs, settings, lock): created
// with exactly the mode asked for, whatever the umask, and never reached through a symbolic
// link, since a root process that follows one writes wherever the link's maker chose.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/fd.h"

namespace tarvo {

// The modes of Tarvo's files. Others get nothing; the admin group keeps what its members'
// consoles and tarvoadm use: the store (read, and in WAL mode a reader writes its -shm file),
// the logs, the settings and the lock (to see whether a daemon runs).
inline constexpr mode_t kStoreFileMode = 0660;
inline constexpr mode_t kLogFileMode = 0640;
inline constexpr mode_t kSettingsFileMode = 0640;
inline constexpr mode_t kLockFileMode = 0640;

// Creates path, which must not exist yet, with mode. Invalid, with the reason in *error (and
// errno kept), when it cannot.
UniqueFd CreateOwnFile(const std::string& path, int flags, mode_t mode,
                       std::string* error = nullptr);

// Opens path, creating it with mode when it is missing. An existing file must be a regular
// file; when this process owns it, any access for others that mode does not give is taken
// away (files left open by an earlier start under a loose umask). *created tells which case.
UniqueFd OpenOwnFile(const std::string& path, int flags, mode_t mode, std::string* error = nullptr,
                     bool* created = nullptr);

// The same closing-up for the file open on fd: only what mode gives others stays theirs.
void CloseToOthers(int fd, mode_t mode);

}  // namespace tarvo
