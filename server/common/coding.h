// Explicit byte-order helpers for the wire formats: numbers are written and read byte by byte,
// never by casting a struct, so the code does not depend on the host's byte order or alignment.
#pragma once

#include <cstdint>

#include "server/common/byte_buffer.h"

namespace tarvo {

inline void EncodeFixed16(std::uint8_t* dst, std::uint16_t value) {
  dst[0] = static_cast<std::uint8_t>(value);
  dst[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void EncodeFixed32(std::uint8_t* dst, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void EncodeFixed64(std::uint8_t* dst, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint16_t DecodeFixed16(const std::uint8_t* src) {
  return static_cast<std::uint16_t>(src[0] | (src[1] << 8));
}

inline std::uint32_t DecodeFixed32(const std::uint8_t* src) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | src[i];
  return value;
}

inline std::uint64_t DecodeFixed64(const std::uint8_t* src) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | src[i];
  return value;
}

inline void PutFixed32(ByteBuffer& out, std::uint32_t value) { EncodeFixed32(out.grow(4), value); }
inline void PutFixed64(ByteBuffer& out, std::uint64_t value) { EncodeFixed64(out.grow(8), value); }

}  // namespace tarvo
