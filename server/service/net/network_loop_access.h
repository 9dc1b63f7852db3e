// What a socket tells the network loop about itself as it goes. For socket.cc only.
#pragma once

namespace tarvo {

class Socket;

// The socket is being destroyed: out of the loop's interest set and of its lists.
void ForgetSocket(Socket* socket);
// The socket gives its handle away: the loop stops watching it for this socket.
void HandOverSocket(Socket* socket);

}  // namespace tarvo
