#include "server/service/front/dispatch_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "server/service/relay/relay_entry.h"
#include "server/service/session/session_list.h"
#include "server/service/base/settings.h"
#include "server/service/session/user_socket.h"
#include "server/service/policy/login_guard.h"
#include "server/service/policy/trusted_balancers.h"

namespace tarvo {

namespace {

WaitingRoom& OpeningRoom() {
  static WaitingRoom room(kMaxPendingInAll, kMaxSilentPerAddress);
  return room;
}

}  // namespace

DispatchSocket::DispatchSocket(int handle, Socket* owner, std::uint32_t address)
    : TcpSocket(handle, owner),
      address_(address),
      openedAt_(NetworkNow()) {
  seat_.emplace(OpeningRoom(), address, [this] { RetireSocket(this); });
  if (IsTrustedBalancer(address)) proxy_.emplace();
  openingTimer_.armAt(openedAt_ + kSilentAfter, [this] { turnSilent(); });
}

DispatchSocket::~DispatchSocket() = default;

std::size_t DispatchSocket::pendingCount() { return OpeningRoom().size(); }

void DispatchSocket::end() {
  seat_->leave();
  RetireSocket(this);
}

void DispatchSocket::turnSilent() {
  if (!seat_->turnLate()) return;  // evicted
  openingTimer_.armAt(openedAt_ + kOpeningTimeout, [this] { end(); });
}

bool DispatchSocket::wantWrite() const { return !output_.empty() || hasFlag(Closing); }

bool DispatchSocket::onRead() {
  if (proxy_) {
    const ParseResult header = readProxyHeader();
    if (header == ParseResult::kBad) return false;  // closed as a malformed opening is
    if (header == ParseResult::kNeedMore) return true;
  }
  std::uint8_t bytes[kOpeningMaxLength + kSessionIdSize];
  for (;;) {
    // Never more than the rest of the opening message (and a data connection's session id):
    // what follows belongs to the session or relay that takes the connection over.
    const std::size_t want = opening_.wanted();
    if (want == 0) return false;
    ssize_t received;
    do {
      received = ::recv(handle_, bytes, want, 0);
    } while (received < 0 && errno == EINTR);
    if (received == 0) return false;
    if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    switch (opening_.feed({bytes, static_cast<std::size_t>(received)})) {
      case ParseResult::kBad:
        return false;
      case ParseResult::kNeedMore:
        continue;
      case ParseResult::kDone:
        return dispatch();
    }
  }
}

ParseResult DispatchSocket::readProxyHeader() {
  std::uint8_t bytes[512];
  for (;;) {
    const std::size_t want = std::min(proxy_->wanted(), sizeof bytes);
    ssize_t received;
    do {
      received = ::recv(handle_, bytes, want, 0);
    } while (received < 0 && errno == EINTR);
    if (received == 0) return ParseResult::kBad;
    if (received < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? ParseResult::kNeedMore : ParseResult::kBad;
    }
    const ParseResult result = proxy_->feed({bytes, static_cast<std::size_t>(received)});
    if (result == ParseResult::kNeedMore) continue;
    if (result == ParseResult::kDone) {
      // The balancer's own health check (LOCAL) keeps the balancer's address.
      if (proxy_->hasClient() && proxy_->clientAddress() != address_) {
        address_ = proxy_->clientAddress();
        seat_.emplace(OpeningRoom(), address_, [this] { RetireSocket(this); });
      }
      proxy_.reset();
    }
    return result;
  }
}

bool DispatchSocket::dispatch() {
  if (opening_.kind() == kOpeningKindSession) {
    const std::string version = opening_.versionText();
    if (!IsClientVersionAllowed(version.c_str())) {
      AppendVersionRefused(output_,
                           VersionRangeText(ServerSettings.MinClientVersion, kServerVersion));
      setFlag(Closing);
      return true;
    }
    new UserSocket(releaseHandle(), owner(), address_);  // owned by the acceptor, as this was
    return false;
  }
  // A data connection (the parser admits kinds 0 and 1 only). An address that named too many
  // unknown session ids is guessing them, and is held (login_guard.h).
  if (!AdmitDataConnection(address_)) return false;
  UserSocket* session = FindSession(address_, opening_.sessionId());
  if (session == nullptr) {
    NoteUnknownSession(address_);
    return false;
  }
  StartDataConnection(*session, releaseHandle());
  return false;
}

}  // namespace tarvo
