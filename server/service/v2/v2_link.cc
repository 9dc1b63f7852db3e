#include "server/service/v2/v2_link.h"

#include <sys/socket.h>

#include "platform/fd.h"
#include "server/common/tls_identity.h"
#include "server/service/session/waiting_room.h"
#include "server/service/relay/relay_entry.h"
#include "server/service/session/session_list.h"
#include "server/service/session/user_socket.h"
#include "server/service/session/v2_binding.h"
#include "server/service/v2/v2_front.h"

namespace tarvo {

// One descriptor of a link, watched by the loop; it asks the link what to watch for.
class V2LinkEnd final : public Socket {
 public:
  V2LinkEnd(V2Link& link, int handle) : Socket(handle, &link), link_(link) {}

  bool wantRead() const override { return link_.endWantsRead(*this); }
  bool wantWrite() const override { return link_.endWantsWrite(*this); }
  bool wantExcept() const override { return false; }
  bool onRead() override { return ready(); }
  bool onWrite() override { return ready(); }
  bool onExcept() override { return ready(); }

 private:
  bool ready() {
    link_.endReady();
    return true;
  }
  V2Link& link_;
};

V2Link::V2Link(int handle, Socket* owner, std::uint32_t address)
    : Socket(kNoHandle, owner), tls_(new V2LinkEnd(*this, handle)), address_(address) {
  // The handshake and the opening frame get the time the v1 opening message gets.
  openingTimer_.arm(std::chrono::duration_cast<std::chrono::milliseconds>(kOpeningTimeout),
                    [this] { end(); });
  UniqueSsl ssl(SSL_new(V2Context()));
  if (ssl) {
    SSL_set_fd(ssl.get(), handle);
    SSL_set_accept_state(ssl.get());
    pipe_ = std::make_unique<TlsPipe>(std::move(ssl), handle);
  } else {
    end();
  }
}

V2Link::~V2Link() = default;

bool V2Link::endWantsRead(const V2LinkEnd& end) const {
  if (ended_ || !pipe_) return false;
  return &end == tls_ ? pipe_->wantTlsRead() : pipe_->wantPlainRead();
}

bool V2Link::endWantsWrite(const V2LinkEnd& end) const {
  if (ended_ || !pipe_) return false;
  return &end == tls_ ? pipe_->wantTlsWrite() : pipe_->wantPlainWrite();
}

void V2Link::endReady() {
  if (ended_) return;
  pipe_->step();
  if (!joined_ && pipe_->handshakeDone() && !pipe_->failed()) readOpening();
  if (pipe_->finished()) {
    end();
    return;
  }
  MarkSocketDirty(tls_);
  if (plain_ != nullptr) MarkSocketDirty(plain_);
}

void V2Link::readOpening() {
  V2Opening opening;
  std::size_t consumed = 0;
  switch (ParseV2Opening(pipe_->received().view(), opening, consumed)) {
    case ParseResult::kNeedMore:
      if (pipe_->peerClosed()) refuse();
      return;
    case ParseResult::kBad:
      refuse();
      return;
    case ParseResult::kDone:
      break;
  }
  pipe_->received().consume(consumed);
  if (opening.kind == kV2KindSession) {
    joinSession(opening);
  } else {
    joinRelay(opening);
  }
}

int V2Link::makePlainEnd() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  if (InDescriptorReserve(pair[1])) {
    CloseDescriptor(pair[0]);
    CloseDescriptor(pair[1]);
    return -1;
  }
  plain_ = new V2LinkEnd(*this, pair[1]);  // owned by the link
  pipe_->attachPlain(pair[1]);
  joined_ = true;
  openingTimer_.cancel();
  return pair[0];
}

void V2Link::joinSession(const V2Opening& opening) {
  auto binding = std::make_unique<V2Binding>();
  binding->proof = opening.proof;
  if (!ExportChannelBinding(pipe_->ssl(), binding->exporter)) return refuse();
  const int inner = makePlainEnd();
  if (inner < 0) return refuse();
  // The session reads a v1 Login first, then whatever the client sent after its frame.
  ByteBuffer stream;
  AppendV2InnerLogin(stream, opening.name);
  stream.append(pipe_->received());
  pipe_->received() = std::move(stream);
  new UserSocket(inner, owner(), address_, std::move(binding));  // owned by the acceptor
  pipe_->step();
}

void V2Link::joinRelay(const V2Opening& opening) {
  UserSocket* session = FindSession(address_, opening.sessionId);
  V2Exporter exporter{};
  if (session == nullptr || session->v2() == nullptr ||
      !ExportChannelBinding(pipe_->ssl(), exporter) ||
      !V2ProofsEqual(MakeV2RelayProof(session->v2()->relayKey, exporter, opening.sessionId),
                     opening.proof)) {
    return refuse();
  }
  const int inner = makePlainEnd();
  if (inner < 0) return refuse();
  StartDataConnection(*session, inner);
  pipe_->step();
}

void V2Link::refuse() {
  joined_ = true;  // no second opening is read
  pipe_->received().clear();
  pipe_->close();
  pipe_->step();
}

void V2Link::end() {
  if (ended_) return;
  ended_ = true;
  openingTimer_.cancel();
  RetireSocket(this);
}

}  // namespace tarvo
