#include "admin/rate_units.h"

#include <cctype>
#include <cstdio>
#include <limits>

namespace tarvo::adm {

namespace {

using Wide = unsigned __int128;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The unit after the number: its factor in bytes (times 8 when it counts bits: *bits).
bool ParseUnit(std::string_view unit, std::uint64_t& factor, bool& bits) {
  if (EndsWith(unit, "/s")) {
    unit.remove_suffix(2);
  } else if (EndsWith(unit, "ps")) {
    unit.remove_suffix(2);
  }
  // The base: its case tells bits from bytes when it is one letter.
  std::string_view base;
  for (std::string_view word : {"bits", "bit", "bytes", "byte"}) {
    if (unit.size() >= word.size() &&
        EqualsIgnoringCase(unit.substr(unit.size() - word.size()), word)) {
      base = unit.substr(unit.size() - word.size());
      break;
    }
  }
  if (base.empty() && !unit.empty() && (unit.back() == 'b' || unit.back() == 'B')) {
    base = unit.substr(unit.size() - 1);
  }
  if (base.empty()) return false;  // "20M": bits or bytes?
  bits = base == "b" || EqualsIgnoringCase(base.substr(0, 3), "bit");
  std::string_view prefix = unit.substr(0, unit.size() - base.size());
  bool binary = false;
  if (prefix.size() == 2 && (prefix[1] == 'i' || prefix[1] == 'I')) {
    binary = true;
    prefix.remove_suffix(1);
  }
  factor = 1;
  if (prefix.empty()) return !binary;
  if (prefix.size() != 1) return false;
  static constexpr char kPrefixes[] = "kmgtp";
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(prefix[0])));
  for (int i = 0; kPrefixes[i] != '\0'; ++i) {
    factor *= binary ? 1024 : 1000;
    if (letter == kPrefixes[i]) return true;
  }
  return false;
}

// value / 10^decimals with at most three decimals, trailing zeros dropped.
std::string Decimal(Wide value, Wide unit) {
  const Wide thousandths = (value * 1000 + unit / 2) / unit;
  char text[48];
  std::snprintf(text, sizeof text, "%llu.%03u",
                static_cast<unsigned long long>(thousandths / 1000),
                static_cast<unsigned>(thousandths % 1000));
  std::string result = text;
  while (result.back() == '0') result.pop_back();
  if (result.back() == '.') result.pop_back();
  return result;
}

// In the largest decimal prefix the value reaches; *exact when three decimals hold it whole.
std::string DecimalUnit(Wide value, const char* const* names, bool* exact = nullptr) {
  Wide unit = 1;
  int index = 0;
  while (names[index + 1] != nullptr && value >= unit * 1000) {
    unit *= 1000;
    ++index;
  }
  if (exact != nullptr) *exact = (value * 1000) % unit == 0;
  return Decimal(value, unit) + " " + names[index];
}

}  // namespace

bool ParseRate(std::string_view text, std::int64_t& bytesPerSecond) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (EqualsIgnoringCase(text, "none")) {
    bytesPerSecond = 0;
    return true;
  }
  std::uint64_t mantissa = 0;
  int digits = 0;
  int decimals = 0;
  bool point = false;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    if (mantissa == 0 && c == '0' && !point) continue;  // leading zeros count for nothing
    if (++digits > 18) return false;
    mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
    if (point) ++decimals;
  }
  const bool anyDigit = i > (point ? 1u : 0u);
  if (!anyDigit) return false;
  std::string_view unit = text.substr(i);
  while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
  std::uint64_t factor = 1;
  bool bits = false;
  if (!unit.empty() && !ParseUnit(unit, factor, bits)) return false;
  Wide denominator = bits ? 8 : 1;
  for (int d = 0; d < decimals; ++d) denominator *= 10;
  const Wide bytes = (static_cast<Wide>(mantissa) * factor + denominator / 2) / denominator;
  if (bytes > static_cast<Wide>(std::numeric_limits<std::int64_t>::max())) return false;
  if (bytes == 0 && mantissa != 0) return false;  // less than a byte a second
  bytesPerSecond = static_cast<std::int64_t>(bytes);
  return true;
}

std::string FormatRate(std::int64_t bytesPerSecond) {
  if (bytesPerSecond <= 0) return "none";
  static constexpr const char* kByteUnits[] = {"B/s",  "kB/s", "MB/s", "GB/s",
                                               "TB/s", "PB/s", "EB/s", nullptr};
  static constexpr const char* kBitUnits[] = {"bit/s",  "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s",
                                              "Pbit/s", "Ebit/s", "Zbit/s", nullptr};
  static constexpr const char* kBinaryUnits[] = {"KiB/s", "MiB/s", "GiB/s", "TiB/s"};
  const Wide bytes = static_cast<Wide>(bytesPerSecond);
  // Binary when that is how it was surely meant (a multiple of 1024 but not of 1000), else
  // decimal when three decimals hold it, else the plain count.
  std::string shown;
  if (bytes % 1000 != 0) {
    for (int i = 3; i >= 0 && shown.empty(); --i) {
      const Wide unit = Wide{1} << (10 * (i + 1));
      if (bytes >= unit && bytes % unit == 0) {
        shown = std::to_string(static_cast<unsigned long long>(bytes / unit)) + " " +
                kBinaryUnits[i];
      }
    }
  }
  if (shown.empty()) {
    bool exact = false;
    shown = DecimalUnit(bytes, kByteUnits, &exact);
    if (!exact) shown = std::to_string(bytesPerSecond) + " B/s";
  }
  return shown + " (" + DecimalUnit(bytes * 8, kBitUnits) + ")";
}

}  // namespace tarvo::adm
