#include "server/service/policy/message_budget.h"

#include <string>
#include <unordered_map>

#include "server/service/net/network_loop.h"
#include "server/common/user_name.h"

namespace tarvo {
namespace {

struct Window {
  NetworkTime ends{};
  std::size_t used = 0;
  bool dropped = false;
};

struct Windows {
  std::unordered_map<std::string, Window> byUser;  // by folded name
  std::size_t pruneAt = 64;
};

Windows& AllWindows() {
  static Windows windows;
  return windows;
}

// Ended windows are forgotten once the map has doubled, so it holds about the users who sent
// messages in the last minute.
void PruneEnded(Windows& windows, NetworkTime now) {
  if (windows.byUser.size() < windows.pruneAt) return;
  std::erase_if(windows.byUser, [now](const auto& entry) { return entry.second.ends <= now; });
  windows.pruneAt = 2 * windows.byUser.size() + 64;
}

}  // namespace

MessageVerdict ChargeMessageLine(std::string_view user, std::size_t lineBytes) {
  Windows& windows = AllWindows();
  const NetworkTime now = NetworkNow();
  PruneEnded(windows, now);
  Window& window = windows.byUser[FoldUserName(user)];
  if (window.ends <= now) window = Window{now + kMessageWindow, 0, false};
  if (window.used + lineBytes <= kMessageBytesPerMinute) {
    window.used += lineBytes;
    return MessageVerdict::kWrite;
  }
  if (window.dropped) return MessageVerdict::kDrop;
  window.dropped = true;
  return MessageVerdict::kDropFirst;
}

}  // namespace tarvo
