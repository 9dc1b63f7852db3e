// Session keys by user: deriving a key from a stored password costs a thousand digests, and
// the key depends on nothing else, so each user's key is derived once and kept while the
// stored password stays the same. The cache keeps a digest of the password it was derived
// from, never the password. Network thread only.
#pragma once

#include <cstddef>
#include <string>

namespace tarvo {

inline constexpr std::size_t kMaxCachedSessionKeys = 65536;

// The session key text for a user whose stored password is password (NUL-terminated).
std::string SessionKeyFor(const std::string& name, const char* password);

// Forgets every kept key (a test's clean slate).
void ForgetSessionKeys();

}  // namespace tarvo
