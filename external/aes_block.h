// The block cipher as the stream transformers call it: a 32-byte unit is two independent
// 16-byte AES-256 blocks under one 32-byte key (electronic codebook). Input and output may be
// the same address.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
void ecbcrypt(const std::uint8_t* input, std::uint8_t* output, const std::uint8_t* key);
void ecbdecrypt(const std::uint8_t* input, std::uint8_t* output, const std::uint8_t* key);
}

namespace tarvo {

inline constexpr std::size_t kCipherUnitSize = 32;
inline constexpr std::size_t kCipherKeySize = 32;

// False when OpenSSL, as configured, offers no AES-256-ECB: nothing can be enciphered, and the
// calls below would stop the process. Checked at start.
bool AesAvailable();

// A keyed AES-256-ECB context for transforming many units in one call; gives the same bytes
// as calling ecbcrypt/ecbdecrypt unit by unit. One per stream transformer.
class AesUnitCipher {
 public:
  enum class Direction { kEncrypt, kDecrypt };
  AesUnitCipher(const std::uint8_t key[kCipherKeySize], Direction direction);
  ~AesUnitCipher();
  AesUnitCipher(const AesUnitCipher&) = delete;
  AesUnitCipher& operator=(const AesUnitCipher&) = delete;

  // Transforms unitCount 32-byte units in place.
  void transform(std::uint8_t* units, std::size_t unitCount);
  // Transforms unitCount units from input into output; the two ranges must not overlap.
  void transform(const std::uint8_t* input, std::uint8_t* output, std::size_t unitCount);

 private:
  struct Context;
  Context* context_;
};

}  // namespace tarvo
