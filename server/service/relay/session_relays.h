// What a session keeps of its relays: its TCP relays, its UDP channels, and the counts that
// bound them. Held by the session as a RelayHost (relay_host.h); every field is guarded by the
// network lock. The session cancels its look-ups when it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarvo {

class TcpRelay;
class UdpServerSocket;

// Bounds per session, far above what a normal client reaches, so that a hostile one cannot
// exhaust the daemon's descriptors or memory. Past a bound a new data connection is closed at
// once, a datagram for a new channel or an over-full queue is dropped.
inline constexpr std::size_t kMaxRelaysPerSession = 1024;  // open data connections
inline constexpr std::size_t kMaxUdpChannelsPerSession = 256;
inline constexpr std::size_t kMaxQueuedDatagramsPerSession = 256;  // waiting for sendto
// A channel stops reading while the session connection has this much queued for the client.
inline constexpr std::size_t kMaxSessionOutputForDatagrams = std::size_t{1} << 20;

struct SessionRelays {
  std::vector<std::unique_ptr<TcpRelay>> tcp;  // one per data connection, in the order they came
  std::vector<UdpServerSocket*> channels;  // in creation order
  std::size_t queuedDatagrams = 0;         // over all channels
  std::uint64_t resolverToken = 0;         // 0 until the first look-up (name_resolver.h)
};

}  // namespace tarvo
