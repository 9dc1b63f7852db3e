// The keys that seal the daemon's TLS session tickets. They are kept in the home (mode 0600,
// beside the server key) so that a client's ticket outlives a restart and its next login
// resumes (X25519 still runs: no certificate, no signature, the same forward secrecy), and
// they rotate: a ticket is sealed under the current key and opened under it or the one before,
// so none lives longer than two periods. Keys made for another server key are not used.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <string>

namespace tarvo {

inline constexpr char kTicketKeysFileName[] = "tarvoserver-tickets.key";
// How long a ticket is good for, and how often the sealing key changes.
inline constexpr std::chrono::seconds kTicketKeyPeriod = std::chrono::hours(12);

// Loads the keys from path (made anew when the file is missing, unreadable, too old or of
// another fingerprint) and has ctx seal and open its tickets with them. At start, or with the
// network lock held.
// False with error set when the keys cannot be written: they are used anyway, for this run.
bool UseTicketKeys(SSL_CTX* ctx, const std::string& path, const std::string& fingerprint,
                   std::string& error);

}  // namespace tarvo
