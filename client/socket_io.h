// Sending a queue on a non-blocking socket: as much as the socket takes now.
#pragma once

#include <sys/socket.h>

#include <cerrno>

#include "server/common/byte_buffer.h"

namespace tarvo::client {

enum class SendResult { kAllSent, kBlocked, kFailed };

inline SendResult SendQueued(int fd, ByteBuffer& queue) {
  while (!queue.empty()) {
    ssize_t sent = ::send(fd, queue.data(), queue.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      queue.consume(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return SendResult::kBlocked;
    } else {
      return SendResult::kFailed;
    }
  }
  return SendResult::kAllSent;
}

}  // namespace tarvo::client
