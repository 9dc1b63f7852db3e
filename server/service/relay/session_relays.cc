#include "server/service/relay/session_relays.h"

#include "server/service/relay/name_resolver.h"
#include "server/service/relay/udp_server_socket.h"
#include "server/service/session/user_socket.h"

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


}  // namespace tarvo
