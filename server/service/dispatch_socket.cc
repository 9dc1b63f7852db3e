#include "server/service/dispatch_socket.h"

#include <ctime>

namespace tarvo {

DispatchSocket::DispatchSocket(int handle, Socket* owner)
    : TcpSocket(handle, owner), created_(static_cast<std::int64_t>(std::time(nullptr))) {}

bool DispatchSocket::wantRead() {
  if (hasFlag(Closing)) return false;
  if (static_cast<std::int64_t>(std::time(nullptr)) - created_ > kOpeningTimeoutSeconds) {
    throw CloseSocketException();
  }
  return true;
}

bool DispatchSocket::wantWrite() { return !output_.empty() || hasFlag(Closing); }

bool DispatchSocket::onData(std::span<const std::uint8_t>) { return true; }

}  // namespace tarvo
