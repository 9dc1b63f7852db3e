// Socket calls of a TCP relay: EINTR retried, EAGAIN never an error.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "server/common/byte_buffer.h"
#include "server/common/tls_stream.h"

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

// The same over TLS (tls not null): reads record after record until size bytes are in or
// OpenSSL waits for the socket, so a short read means the socket had no more. An end or a
// failure behind bytes already read is reported by the next call.
inline ssize_t RelayReceive(int handle, TlsStream* tls, void* into, std::size_t size) {
  if (tls == nullptr) return RelayReceive(handle, into, size);
  auto* at = static_cast<std::uint8_t*>(into);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t received = tls->read(at + got, size - got);
    if (received <= 0) return got != 0 ? static_cast<ssize_t>(got) : received;
    got += static_cast<std::size_t>(received);
  }
  return static_cast<ssize_t>(got);
}

enum class SendResult { kDrained, kWouldBlock, kFailed };

// Sends queued bytes until the queue is empty or the socket is full; through tls when not null.
inline SendResult SendQueued(int handle, TlsStream* tls, ByteBuffer& queue) {
  while (!queue.empty()) {
    // MSG_NOSIGNAL: a peer that has gone yields EPIPE here, never a SIGPIPE.
    ssize_t sent = tls != nullptr ? tls->write(queue.data(), queue.size())
                                  : ::send(handle, queue.data(), queue.size(), MSG_NOSIGNAL);
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

// The kernel's buffers of a relay's sockets, which autotuning would let grow to tcp_rmem's and
// tcp_wmem's maximum (MiBs each) and keep full while one side stalls.
// Receive: fixed at 512 KiB (the kernel books twice that): the relay's full speed on loopback,
// and a 512 KiB window, about 40 Mbit/s per relay at a 100 ms round trip.
inline constexpr int kRelayReceiveBuffer = 512 << 10;
// Send: still autotuned, as a long path needs data in flight, but at most 128 KiB not yet sent:
// a peer that stops reading leaves no more than that (and the window it last offered) in the
// daemon's kernel.
inline constexpr int kRelayUnsentLimit = 128 << 10;

// On a listener the accepted connections inherit both.
inline void BoundKernelBuffers(int handle) {
  ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &kRelayReceiveBuffer, sizeof kRelayReceiveBuffer);
  ::setsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &kRelayUnsentLimit,
               sizeof kRelayUnsentLimit);
}

}  // namespace tarvo
