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


}  // namespace tarvo
