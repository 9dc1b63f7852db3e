#include "server/service/traffic_accounting.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "external/reader.h"
#include "server/common/user_info.h"
#include "server/service/notifications.h"
#include "server/service/user_socket.h"

namespace tarvo {

namespace {

// A counter that would pass the largest 64-bit value stays there instead of turning negative.
std::int64_t AddCount(std::int64_t counter, std::uint64_t pending) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t sum = 0;
  if (pending > static_cast<std::uint64_t>(kMax) ||
      __builtin_add_overflow(counter, static_cast<std::int64_t>(pending), &sum)) {
    return kMax;
  }
  return sum;
}

}  // namespace

void StoreTrafficCounter(UserSocket& session) {
  UserInfo info{};
  const std::string& name = session.userName();
  if (!GetUserInfo(name.c_str(), info.password, &info.limit, &info.counter, &info.locked)) {
    session.pendingBytes = 0;
    session.lastStoreTime = MonotonicSeconds();
    return;
  }
  // The addition happens in the store, so that daemons sharing it never overwrite each other's
  // counts; alone, a daemon gets what reading, adding and writing back would give. When the
  // row vanished meanwhile, the copies still take the sum, as a plain write would have.
  std::int64_t counter = AddCount(info.counter, session.pendingBytes);
  if (session.pendingBytes != 0) {
    const std::int64_t delta = static_cast<std::int64_t>(
        std::min<std::uint64_t>(session.pendingBytes, std::numeric_limits<std::int64_t>::max()));
    std::int64_t stored = 0;
    if (!AddUserCount(name.c_str(), delta, &stored)) {
      // The store failed after the user was found: keep the bytes for the next store rather
      // than lose them (a user gone for good is caught by the look-up above next time).
      session.limitCopy = info.limit;
      session.counterCopy = info.counter;
      explicit_bzero(info.password, sizeof info.password);
      session.lastStoreTime = MonotonicSeconds();
      return;
    }
    counter = stored;
  }
  session.limitCopy = info.limit;
  session.counterCopy = counter;
  if (ConsoleAttached.load()) {
    // Address and session id mean nothing in this notification and stay zero.
    std::memcpy(info.name, name.c_str(), std::min(name.size(), sizeof info.name - 1));
    info.counter = counter;
    SendNotification(NTF_USER_CHANGED, &info, sizeof info);
  }
  explicit_bzero(info.password, sizeof info.password);
  session.pendingBytes = 0;
  session.lastStoreTime = MonotonicSeconds();
}

}  // namespace tarvo
