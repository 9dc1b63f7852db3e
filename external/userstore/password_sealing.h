// Passwords kept encrypted at rest: AES-256-GCM under a 32-byte key in the file
// "tarvostore.key" of the home directory. The sealed text is kSealedPrefix followed by the
// base64 of nonce (12 bytes) | ciphertext | tag (16 bytes); the user's name key is bound in as
// associated data, so a sealed value moved to another row does not open. Programs that share
// one store (a PostgreSQL data source, say) need copies of the same key file in their homes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvo::userstore {

inline constexpr char kKeyFileName[] = "tarvostore.key";
inline constexpr char kSealedPrefix[] = "tgcm1:";
inline constexpr std::size_t kSealKeySize = 32;

using SealKey = std::array<std::uint8_t, kSealKeySize>;

// Reads the key file at path. When it is missing and create is true, a new random key is
// written with mode 0600; when another process creates it at the same moment, both end up with
// the same key. A key file of any size but 32 bytes, or not a regular file, is refused.
std::optional<SealKey> LoadSealKey(const std::string& path, bool create);

// Encrypts password for the row with the given name key; nullopt on a library failure.
std::optional<std::string> SealPassword(const SealKey& key, const std::string& nameKey,
                                        const std::string& password);

// Decrypts a sealed text; nullopt when it is malformed, tampered with or under another key.
std::optional<std::string> OpenPassword(const SealKey& key, const std::string& nameKey,
                                        const std::string& sealed);

}  // namespace tarvo::userstore
