// Host-name look-ups for sessions (Resolve). Dotted IPv4 names are read on the spot; every other
// name goes to one resolver thread that runs c-ares (/etc/hosts, then DNS through the servers of
// /etc/resolv.conf), so all names are in flight at once and a name that hangs holds no thread
// and delays no other. Each name is answered as soon as it resolves, but never sooner than
// 1000 ms after its request, by a timer of the network loop. A name that does not resolve gets
// no answer. Pending names are bounded per session and in all, far above what tarvoclient
// reaches: names past a bound are dropped as if they had not resolved. A session that ends
// cancels its look-ups; the resolver thread never holds a session, only its token, which it
// looks up under the network lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo {

class RelayHost;

inline constexpr std::size_t kResolverThreads = 1;
// tarvoclient keeps at most 256 names unanswered and forgets one after 6 s; a name is held here
// at most 12 s (below), so one of its sessions never has more than 768 pending.
inline constexpr std::size_t kMaxPendingNamesPerSession = 1024;
// Half the 16-bit DNS id space of a resolver channel.
inline constexpr std::size_t kMaxPendingNamesInAll = 32768;
inline constexpr std::size_t kMaxHostNameLength = 255;
inline constexpr std::chrono::milliseconds kResolveAnswerDelay{1000};
// New look-ups go to a resolver channel for this long, then to a fresh one, which rereads
// /etc/resolv.conf; a channel's look-ups still unanswered this long after it closed to new ones
// are given up. So every name is given from 8 s to 12 s.
inline constexpr std::chrono::seconds kResolverChannelOpen{4};
inline constexpr std::chrono::seconds kResolverChannelGrace{8};
// "host:port,..." replaces the name servers of /etc/resolv.conf (tests point it at their own).
inline constexpr const char* kNameServersVariable = "TARVO_NAMESERVERS";

// Starts looking the names up for session. Network lock held.
void RequestLookups(RelayHost& session, std::vector<std::string> names);

// Drops everything pending for the session with this token (SessionRelays::resolverToken).
// Network lock held.
void CancelLookups(std::uint64_t token);

// Names asked for and not yet answered or dropped, over all sessions. Network lock held.
std::size_t PendingNames();

}  // namespace tarvo
