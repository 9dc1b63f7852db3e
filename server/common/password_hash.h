// The password crypt that turns a stored password into the 32-character session key text.
// It is the MD5-crypt ("$1$") construction with the fixed salt "481572", except that the salt
// enters every digest as 8 bytes: the six digits and two zero bytes. Clients compute the same.
#pragma once

#include <cstddef>
#include <string>

namespace tarvo {

inline constexpr std::size_t kSessionKeyTextLength = 32;
inline constexpr std::size_t kExpandedPasswordLength = 128;

}  // namespace tarvo

// Returns the 32-character hash of a NUL-terminated password. The text lives in a buffer of
// the calling thread that the next call on that thread overwrites.
const char* HashPassword(const char* password);

namespace tarvo {

// False when no MD5 can be had whatever the OpenSSL configuration says: then no session key can
// be derived, and HashPassword stops the process rather than return a wrong one. Checked at start.
bool Md5Available();

// The session key text of a login: the password repeated from its first character to exactly
// 128 characters (cut at 128), then hashed. An empty password hashes the empty text.
std::string DeriveSessionKeyText(const char* password);

}  // namespace tarvo
