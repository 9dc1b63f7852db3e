// UserInfo: the 552-byte user and session record shared by the control channel and the user
// store's enumeration. Its layout crosses process boundaries, so every offset is pinned.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo {

inline constexpr std::size_t kUserNameSize = 257;      // 256 characters and the NUL
inline constexpr std::size_t kUserPasswordSize = 257;  // 256 characters and the NUL
inline constexpr int kMaxEnumeratedUsers = 50000;      // room in the console's reply area

struct alignas(8) UserInfo {
  char name[kUserNameSize];
  char password[kUserPasswordSize];
  std::uint8_t padding1[6];
  std::int64_t limit;    // 0 = no limit
  std::int64_t counter;  // bytes counted for the user
  std::uint32_t address; // a session's client IPv4 address, network byte order
  std::uint32_t sessionId;
  std::uint8_t locked;   // 1 locked, 0 not
  // In the daemon's session list only, where the byte was padding: kSessionProtocolV2 for a
  // v2 session, 0 for the designed protocol (whose reply bytes stay as they were).
  std::uint8_t protocol;
  std::uint8_t padding2[6];
};

static_assert(sizeof(UserInfo) == 552);
static_assert(offsetof(UserInfo, name) == 0);
static_assert(offsetof(UserInfo, password) == 257);
static_assert(offsetof(UserInfo, limit) == 520);
static_assert(offsetof(UserInfo, counter) == 528);
static_assert(offsetof(UserInfo, address) == 536);
static_assert(offsetof(UserInfo, sessionId) == 540);
static_assert(offsetof(UserInfo, locked) == 544);
static_assert(offsetof(UserInfo, protocol) == 545);

inline constexpr std::uint8_t kSessionProtocolV2 = 2;

}  // namespace tarvo
