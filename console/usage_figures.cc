#include "console/usage_figures.h"

#include <algorithm>
#include <cstdio>

namespace tarvo {

UsageBars GroupTopUsers(std::vector<UserUsage> users, std::size_t top) {
  std::erase_if(users, [](const UserUsage& user) { return user.both() <= 0; });
  std::sort(users.begin(), users.end(), [](const UserUsage& a, const UserUsage& b) {
    if (a.both() != b.both()) return a.both() > b.both();
    return a.name < b.name;
  });
  UsageBars bars;
  const std::size_t kept = std::min(top, users.size());
  for (std::size_t i = kept; i < users.size(); ++i) {
    bars.others.down += users[i].down;
    bars.others.up += users[i].up;
  }
  bars.othersCount = users.size() - kept;
  users.resize(kept);
  bars.top = std::move(users);
  return bars;
}

UserUsage TotalUsage(const std::vector<UserUsage>& users) {
  UserUsage total;
  for (const UserUsage& user : users) {
    total.down += user.down;
    total.up += user.up;
  }
  return total;
}

ByteUnit ChooseByteUnit(double largest) {
  static constexpr const char* kNames[] = {"B", "KB", "MB", "GB", "TB"};
  ByteUnit unit;
  for (std::size_t i = 1; i < std::size(kNames) && largest >= unit.bytes * 1024; ++i) {
    unit.bytes *= 1024;
    unit.name = kNames[i];
  }
  return unit;
}

std::string FormatBytes(std::int64_t bytes) {
  const ByteUnit unit = ChooseByteUnit(static_cast<double>(bytes));
  char text[32];
  std::snprintf(text, sizeof text, "%.4g %s", static_cast<double>(bytes) / unit.bytes, unit.name);
  return text;
}

}  // namespace tarvo
