#include "server/service/v2/v2_opening_socket.h"

#include <cerrno>

#include "server/common/byte_buffer.h"
#include "server/common/tls_identity.h"
#include "server/service/policy/login_guard.h"
#include "server/service/relay/relay_entry.h"
#include "server/service/session/session_list.h"
#include "server/service/session/user_socket.h"
#include "server/service/session/v2_binding.h"
#include "server/service/session/waiting_room.h"
#include "server/service/v2/v2_front.h"

namespace tarvo {

namespace {

constexpr std::size_t kFrameHeader = 2;

}  // namespace

V2OpeningSocket::V2OpeningSocket(int handle, Socket* owner, std::uint32_t address)
    : Socket(handle, owner),
      tls_(std::make_unique<TlsStream>(V2Context(), handle)),
      address_(address) {
  // The handshake and the opening frame get the time the v1 opening message gets.
  openingTimer_.arm(std::chrono::duration_cast<std::chrono::milliseconds>(kOpeningTimeout),
                    [this] { end(); });
  if (!tls_->valid()) RetireSocket(this);
}

V2OpeningSocket::~V2OpeningSocket() { openingTimer_.cancel(); }

bool V2OpeningSocket::wantRead() const { return tls_ != nullptr && !tls_->readWantsWrite(); }

bool V2OpeningSocket::wantWrite() const { return tls_ != nullptr && tls_->readWantsWrite(); }

bool V2OpeningSocket::step() {
  if (tls_ == nullptr) return false;
  for (;;) {
    // The header, then exactly the body it announces: what follows the frame stays inside
    // OpenSSL for the session or relay.
    const std::size_t want =
        have_ < kFrameHeader ? kFrameHeader - have_ : kFrameHeader + frame_[1] - have_;
    const ssize_t got = tls_->read(frame_ + have_, want);
    if (got < 0 && errno == EAGAIN) return true;
    if (got <= 0) break;  // a failed handshake, a close before the frame
    have_ += static_cast<std::size_t>(got);
    V2Opening opening;
    std::size_t consumed = 0;
    const ParseResult parsed = ParseV2Opening({frame_, have_}, opening, consumed);
    if (parsed == ParseResult::kNeedMore) continue;
    if (parsed == ParseResult::kDone &&
        (opening.kind == kV2KindSession ? joinSession(opening) : joinRelay(opening))) {
      return false;  // the connection is the session's or relay's now
    }
    break;
  }
  end();
  return false;
}

bool V2OpeningSocket::joinSession(const V2Opening& opening) {
  auto binding = std::make_unique<V2Binding>();
  binding->proof = opening.proof;
  if (!ExportChannelBinding(tls_->ssl(), binding->exporter)) return false;
  openingTimer_.cancel();
  const int handle = releaseHandle();
  auto* session = new UserSocket(handle, owner(), address_, std::move(binding));  // the acceptor's
  session->useTls(std::move(tls_));
  // The session reads a designed Login first; its proof is the v2 one, checked in the session.
  ByteBuffer login;
  AppendV2InnerLogin(login, opening.name);
  if (!session->onData(login.view())) session->end();
  return true;
}

bool V2OpeningSocket::joinRelay(const V2Opening& opening) {
  // Guessed session ids are held as on the designed protocol's data connections.
  if (!AdmitDataConnection(address_)) return false;
  UserSocket* session = FindSession(address_, opening.sessionId);
  if (session == nullptr) NoteUnknownSession(address_);
  V2Exporter exporter{};
  if (session == nullptr || session->v2() == nullptr ||
      !ExportChannelBinding(tls_->ssl(), exporter) ||
      !V2ProofsEqual(MakeV2RelayProof(session->v2()->relayKey, exporter, opening.sessionId),
                     opening.proof)) {
    return false;
  }
  openingTimer_.cancel();
  StartDataConnection(*session, releaseHandle(), std::move(tls_));
  return true;
}

void V2OpeningSocket::end() {
  openingTimer_.cancel();
  if (tls_ != nullptr) tls_->shutdown();
  RetireSocket(this);
}

}  // namespace tarvo
