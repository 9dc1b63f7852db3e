// Rates as people write them and read them, in bit/s or byte/s with decimal or binary prefixes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::adm {

// Into bytes per second: "0" or "none"; a plain number is bytes per second; otherwise a number
// (a fraction allowed) and a unit. Lower-case "b" and "bit" count bits, upper-case "B" and
// "byte" bytes; "/s" or "ps" may follow ("20Mbit", "20Mbps", "2.5MB/s", "512KiB/s", "1Gbps").
// k, M, G, T, P are decimal (1000), Ki, Mi, Gi, Ti binary (1024). False for anything else, for
// a prefix without a unit ("20M", which could be either), and for a rate below 1 byte/s.
bool ParseRate(std::string_view text, std::int64_t& bytesPerSecond);

// "none" for 0, else both ways, exact in bytes: "2.5 MB/s (20 Mbit/s)",
// "512 KiB/s (4.194 Mbit/s)", "1000001 B/s (8 Mbit/s)".
std::string FormatRate(std::int64_t bytesPerSecond);

}  // namespace tarvo::adm
