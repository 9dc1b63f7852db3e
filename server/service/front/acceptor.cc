#include "server/service/front/acceptor.h"

#include "platform/fd.h"
#include "server/service/front/dispatch_socket.h"
#include "server/service/policy/own_listener.h"

namespace tarvo {

AcceptSocket* Acceptor = nullptr;

AcceptSocket::AcceptSocket() : TcpServerSocket(kNoHandle, nullptr) {
  Acceptor = this;
  ServerListener = this;
}

AcceptSocket::~AcceptSocket() {
  if (Acceptor == this) Acceptor = nullptr;
  if (ServerListener == this) ServerListener = nullptr;
}

bool AcceptSocket::wantRead() const { return !acceptPaused(); }

bool AcceptSocket::onAccept(int handle, std::uint32_t address, int) {
  if (InDescriptorReserve(handle)) return false;  // closed: the last descriptors are kept
  new DispatchSocket(handle, this, address);  // owned by the acceptor
  return true;
}

}  // namespace tarvo
