// Instants as administrators write them: local dates and times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::adm {

// "2027-06-30" (its midnight), "2027-06-30 12:00", "2027-06-30T12:00:30", all local time, or
// "@SECONDS" since the epoch; into seconds since the epoch. False for anything else.
bool ParseLocalTime(std::string_view text, std::int64_t& at);

// "2027-06-30 00:00:00 CEST".
std::string FormatLocalTime(std::int64_t at);

// Midnight local time at the start of the day that holds at, moved by days (may be negative).
std::int64_t LocalMidnight(std::int64_t at, int days = 0);

}  // namespace tarvo::adm
