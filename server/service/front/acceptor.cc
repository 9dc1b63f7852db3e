#include "server/service/front/acceptor.h"

#include "platform/fd.h"
#include "server/service/front/dispatch_socket.h"
#include "server/service/base/diagnostics.h"
#include "server/service/policy/own_listener.h"
#include "server/service/session/session_list.h"

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

void MoveServerPort(int port) {
  // The listener owns every session and connection it accepted: they end with it. Its port is
  // free at once, for the new listener; the loop deletes it before its next wait.
  EndEverySession();
  if (Acceptor != nullptr) {
    Acceptor->stopListening();
    RetireSocket(Acceptor);
  }
  auto* acceptor = new AcceptSocket();  // owned by the socket list
  if (acceptor->bind(port & 0xFFFF) == -1 || !acceptor->listen()) {
    // No listening socket until the port is changed again or the daemon restarts.
    acceptor->stopListening();
    RetireSocket(acceptor);
    return;
  }
  Diagnose("listening on 0.0.0.0 port %u", static_cast<unsigned>(acceptor->port()));
}

}  // namespace tarvo
