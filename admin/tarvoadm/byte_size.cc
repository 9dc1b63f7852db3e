#include "admin/tarvoadm/byte_size.h"

#include <cctype>
#include <limits>

namespace tarvo::adm {

namespace {

std::string Lower(std::string_view text) {
  std::string lower;
  for (char c : text)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower;
}

int UnitShift(std::string_view unit) {
  const std::string u = Lower(unit);
  if (u.empty() || u == "b") return 0;
  static constexpr const char* kPrefixes = "kmgt";
  for (int i = 0; i < 4; ++i) {
    const std::string p(1, kPrefixes[i]);
    if (u == p || u == p + "b" || u == p + "ib") return 10 * (i + 1);
  }
  return -1;
}

}  // namespace

bool ParseByteSize(std::string_view text, std::int64_t& bytes) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0) return false;
  std::string_view unit = text.substr(digits);
  while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
  const int shift = UnitShift(unit);
  if (shift < 0) return false;
  std::int64_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, text[i] - '0', &value)) {
      return false;
    }
  }
  if (value > (std::numeric_limits<std::int64_t>::max() >> shift)) return false;
  bytes = value << shift;
  return true;
}

std::string FormatByteSize(std::int64_t bytes) {
  static constexpr const char* kUnits[] = {"TiB", "GiB", "MiB", "KiB"};
  for (int i = 0; i < 4; ++i) {
    const int shift = 10 * (4 - i);
    const std::int64_t unit = std::int64_t{1} << shift;
    if (bytes >= unit && bytes % unit == 0) return std::to_string(bytes >> shift) + " " + kUnits[i];
  }
  return std::to_string(bytes) + " B";
}

}  // namespace tarvo::adm
