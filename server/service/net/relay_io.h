// Socket calls of a TCP relay: EINTR retried, EAGAIN never an error.
#pragma once

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
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
// OpenSSL holds no more, so a short read means that what the last recv brought is all out
// (the loop reports the socket again if more came; asking it here would cost a recv that
// mostly answers EAGAIN). An end or a failure behind bytes already read is reported by the
// next call.
inline ssize_t RelayReceive(int handle, TlsStream* tls, void* into, std::size_t size) {
  if (tls == nullptr) return RelayReceive(handle, into, size);
  auto* at = static_cast<std::uint8_t*>(into);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t received = tls->read(at + got, size - got);
    if (received <= 0) return got != 0 ? static_cast<ssize_t>(got) : received;
    got += static_cast<std::size_t>(received);
    if (!tls->pending()) break;
  }
  return static_cast<ssize_t>(got);
}

enum class SendResult { kDrained, kWouldBlock, kFailed };

// The most plaintext one TLS record carries: a write that OpenSSL left half done is retried
// with at least that much.
inline constexpr std::size_t kTlsRecordPlaintext = 16384;

// Bytes the kernel holds for the socket that the peer has not been sent yet.
inline std::size_t UnsentBytes(int handle) {
  int unsent = 0;
  if (::ioctl(handle, SIOCOUTQNSD, &unsent) != 0 || unsent < 0) return 0;
  return static_cast<std::size_t>(unsent);
}

// Sends queued bytes until the queue is empty or the socket is full; through tls when not null.
// unsentCap not 0: never more than that left unsent in the kernel (over TLS, one record more).
inline SendResult SendQueued(int handle, TlsStream* tls, ByteBuffer& queue,
                             std::size_t unsentCap = 0) {
  while (!queue.empty()) {
    std::size_t size = queue.size();
    if (unsentCap != 0) {
      const std::size_t unsent = UnsentBytes(handle);
      if (unsent >= unsentCap) return SendResult::kWouldBlock;
      size = std::min(size, std::max(unsentCap - unsent, tls != nullptr ? kTlsRecordPlaintext : 0));
    }
    // MSG_NOSIGNAL: a peer that has gone yields EPIPE here, never a SIGPIPE.
    ssize_t sent = tls != nullptr ? tls->write(queue.data(), size)
                                  : ::send(handle, queue.data(), size, MSG_NOSIGNAL);
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

// The kernel's buffers of a connection that carries relayed bytes, fixed so that what one
// stalled connection pins in the kernel is known before a byte arrives (autotuning would let
// them grow to tcp_rmem's and tcp_wmem's maximum, MiBs each, and keep them full while one side
// stalls). The kernel books twice the receive size; sending stays autotuned (a long path needs
// data in flight) with at most `unsent` not yet sent.
struct KernelBuffers {
  int receive;
  int unsent;
};

// Wide: a 512 KiB window, the relay's full speed on loopback and about 40 Mbit/s at a 100 ms
// round trip. Stalled both ways a wide relay pins at most about 2.4 MiB (kWideRelayKernelBound),
// so a user gets a few of them (relay_buffers.h).
inline constexpr int kRelayReceiveBuffer = 512 << 10;
inline constexpr int kRelayUnsentLimit = 128 << 10;
inline constexpr KernelBuffers kWideBuffers{kRelayReceiveBuffer, kRelayUnsentLimit};
// Narrow: every connection before login, and relays past a user's wide ones. An 8 KiB window:
// about 80 KB/s at a 100 ms round trip, tens of MB/s on loopback.
inline constexpr KernelBuffers kNarrowBuffers{8 << 10, 8 << 10};

// What one end pins at most: the receive buffer as booked, what is unsent, and the one segment
// the kernel may still grow past the unsent limit (a wide end) or one TLS record (a narrow one,
// whose sends the daemon caps itself).
inline constexpr long kWideEndKernelBound =
    2L * kRelayReceiveBuffer + kRelayUnsentLimit + (64 << 10);
inline constexpr long kNarrowEndKernelBound = 2L * kNarrowBuffers.receive + kNarrowBuffers.unsent +
                                              (static_cast<long>(kTlsRecordPlaintext) + 64);
inline constexpr long kWideRelayKernelBound = 2 * kWideEndKernelBound;
inline constexpr long kNarrowRelayKernelBound = 2 * kNarrowEndKernelBound;

// Set on a listener, the accepted connections inherit them.
inline void SetKernelBuffers(int handle, const KernelBuffers& buffers) {
  ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &buffers.receive, sizeof buffers.receive);
  ::setsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &buffers.unsent, sizeof buffers.unsent);
}

}  // namespace tarvo
