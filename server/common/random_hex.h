// Bytes as lower-case hex digits, and random ids made of them.
#pragma once

#include <sys/random.h>

#include <cstddef>
#include <string>

namespace tarvo {

inline std::string HexOf(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// 2 * size hex digits from the kernel's generator; empty when none can be had.
inline std::string RandomHex(std::size_t size) {
  unsigned char bytes[64];
  if (size > sizeof bytes) return {};
  if (::getrandom(bytes, size, 0) != static_cast<ssize_t>(size)) return {};
  return HexOf(bytes, size);
}

}  // namespace tarvo
