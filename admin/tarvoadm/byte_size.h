// Traffic limits as an administrator writes them: "0", "1048576", "10MB", "2GiB". Units are
// binary: K/KB/KiB = 1024 bytes, M/MB/MiB = 2^20, G/GB/GiB = 2^30, T/TB/TiB = 2^40 (as the
// operating system's tools count memory; a decimal megabyte is never meant here).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::adm {

// False for anything else: a negative or fractional number, an unknown unit, an overflow.
bool ParseByteSize(std::string_view text, std::int64_t& bytes);

// "10 MiB" when exact in a binary unit, else the plain byte count ("1500 B").
std::string FormatByteSize(std::int64_t bytes);

}  // namespace tarvo::adm
