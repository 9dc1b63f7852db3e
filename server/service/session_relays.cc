#include "server/service/session_relays.h"

#include "server/service/name_resolver.h"
#include "server/service/udp_server_socket.h"
#include "server/service/user_socket.h"

namespace tarvo {

SessionRelays::~SessionRelays() {
  if (resolverToken != 0) CancelLookups(resolverToken);
}

UdpServerSocket* SessionRelays::findChannel(std::uint32_t channelId) const {
  for (UdpServerSocket* channel : channels) {
    if (channel->channelId() == channelId) return channel;
  }
  return nullptr;
}

bool OverQuota(const UserSocket& session) {
  if (session.limitCopy == 0) return false;
  std::int64_t used = 0;
  if (session.pendingBytes > static_cast<std::uint64_t>(INT64_MAX) ||
      __builtin_add_overflow(session.counterCopy, static_cast<std::int64_t>(session.pendingBytes),
                             &used)) {
    return true;  // past any limit
  }
  return used >= session.limitCopy;
}

}  // namespace tarvo
