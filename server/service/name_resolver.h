// Host-name look-ups for sessions (Resolve). A few worker threads call getaddrinfo (IPv4) off
// the network thread; each answer waits, holding no thread, until 1000 ms after its request
// and is then queued on the session by a timer of the network loop. A name that does not
// resolve gets no answer. Queues are bounded per session and in all: names past a bound are
// dropped as if they had not resolved. A session that ends cancels its look-ups; a worker never
// holds a session, only its token, which it looks up under the network lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo {

class UserSocket;

inline constexpr std::size_t kResolverThreads = 4;
inline constexpr std::size_t kMaxPendingNamesPerSession = 64;
inline constexpr std::size_t kMaxPendingNamesInAll = 1024;
inline constexpr std::size_t kMaxHostNameLength = 255;
inline constexpr std::chrono::milliseconds kResolveAnswerDelay{1000};

// Starts looking the names up for session. Network lock held.
void RequestLookups(UserSocket& session, std::vector<std::string> names);

// Drops everything pending for the session with this token (SessionRelays::resolverToken).
// Network lock held.
void CancelLookups(std::uint64_t token);

}  // namespace tarvo
