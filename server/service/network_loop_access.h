// The network loop's access to a socket's bookkeeping (its registration, dirty and retired
// marks). For socket.cc and network_loop.cc only.
#pragma once

namespace tarvo {

class Socket;

class NetworkLoopAccess {
 public:
  // The socket is being destroyed: out of the loop's interest set and of its lists.
  static void forget(Socket* socket);
  // The socket gives its handle away: the loop stops watching it for this socket.
  static void unwatch(Socket* socket);
};

}  // namespace tarvo
