// Socket calls of a TCP relay: EINTR retried, EAGAIN never an error.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

#include "server/common/byte_buffer.h"

namespace tarvo {

inline bool RelayWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

// recv with EINTR retried: bytes read, 0 at the peer's end, -1 with errno set.
inline ssize_t RelayReceive(int handle, void* into, std::size_t size) {
  ssize_t received;
  do {
    received = ::recv(handle, into, size, 0);
  } while (received < 0 && errno == EINTR);
  return received;
}

enum class SendResult { kDrained, kWouldBlock, kFailed };

// Sends queued bytes until the queue is empty or the socket is full.
inline SendResult SendQueued(int handle, ByteBuffer& queue) {
  while (!queue.empty()) {
    // MSG_NOSIGNAL: a peer that has gone yields EPIPE here, never a SIGPIPE.
    ssize_t sent = ::send(handle, queue.data(), queue.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return RelayWouldBlock() ? SendResult::kWouldBlock : SendResult::kFailed;
    }
    queue.consume(static_cast<std::size_t>(sent));
  }
  return SendResult::kDrained;
}

// Small writes (a keystroke, a request) leave at once instead of waiting for an earlier
// segment's acknowledgement: the relay already sends in as few pieces as it can.
inline void SetNoDelay(int handle) {
  int on = 1;
  ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace tarvo
