// The Usage page's figures without Qt: per-user bars (the largest users and one bar for the
// rest), totals, and the unit a chart's axis is written in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo {

struct UserUsage {
  std::string name;
  std::int64_t down = 0;  // bytes toward the client
  std::int64_t up = 0;    // bytes from the client
  std::int64_t both() const { return down + up; }
};

struct UsageBars {
  std::vector<UserUsage> top;  // by down+up, largest first; ties by name
  // The sum of everyone else, and how many they are (no bar when 0).
  UserUsage others;
  std::size_t othersCount = 0;
};

inline constexpr std::size_t kTopUsers = 20;

// Users with nothing counted are left out of the bars but not of the totals.
UsageBars GroupTopUsers(std::vector<UserUsage> users, std::size_t top = kTopUsers);

// Down and up summed over every user (name empty).
UserUsage TotalUsage(const std::vector<UserUsage>& users);

// A binary unit (K = 1024, as tarvoadm counts byte sizes), so a byte count divided by it is
// exact in a double.
struct ByteUnit {
  double bytes = 1;
  const char* name = "B";
};

// The largest unit in which largest is at least 1 (bytes for anything below a KB).
ByteUnit ChooseByteUnit(double largest);

// "1.5 MB", "300 B": four significant digits at most, in the unit that suits bytes.
std::string FormatBytes(std::int64_t bytes);

}  // namespace tarvo
