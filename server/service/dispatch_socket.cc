#include "server/service/dispatch_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <unordered_map>

#include "server/service/relay_entry.h"
#include "server/service/session_list.h"
#include "server/service/settings.h"
#include "server/service/user_socket.h"

namespace tarvo {

namespace {

// Connections waiting for their opening message, oldest first, and the silent ones among
// them by peer address. Network thread only.
std::list<DispatchSocket*>& Waiting() {
  static std::list<DispatchSocket*> waiting;
  return waiting;
}

std::unordered_map<std::uint32_t, std::size_t>& SilentByAddress() {
  static std::unordered_map<std::uint32_t, std::size_t> silent;
  return silent;
}

}  // namespace

DispatchSocket::DispatchSocket(int handle, Socket* owner, std::uint32_t address)
    : TcpSocket(handle, owner), address_(address), openedAt_(NetworkNow()) {
  auto& waiting = Waiting();
  if (waiting.size() >= kMaxPendingInAll) waiting.front()->end();
  place_ = waiting.insert(waiting.end(), this);
  openingTimer_.armAt(openedAt_ + kSilentAfter, [this] { turnSilent(); });
}

DispatchSocket::~DispatchSocket() {
  if (waiting_) Waiting().erase(place_);
  if (!silent_) return;
  auto& silent = SilentByAddress();
  auto entry = silent.find(address_);
  if (entry != silent.end() && --entry->second == 0) silent.erase(entry);
}

std::size_t DispatchSocket::pendingCount() { return Waiting().size(); }

void DispatchSocket::end() {
  if (waiting_) Waiting().erase(place_);
  waiting_ = false;
  RetireSocket(this);
}

void DispatchSocket::turnSilent() {
  std::size_t& count = SilentByAddress()[address_];
  if (count >= kMaxSilentPerAddress) {
    end();
    return;
  }
  ++count;
  silent_ = true;
  openingTimer_.armAt(openedAt_ + kOpeningTimeout, [this] { end(); });
}

bool DispatchSocket::wantWrite() { return !output_.empty() || hasFlag(Closing); }

bool DispatchSocket::onRead() {
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

bool DispatchSocket::dispatch() {
  if (opening_.kind() == kOpeningKindSession) {
    const std::string version = opening_.versionText();
    if (!IsClientVersionAllowed(version.c_str())) {
      AppendVersionRefused(output_,
                           VersionRangeText(ServerSettings.MinClientVersion, kServerVersion));
      setFlag(Closing);
      return true;
    }
    new UserSocket(releaseHandle(), owner());  // owned by the acceptor, as this was
    return false;
  }
  // A data connection (the parser admits kinds 0 and 1 only).
  UserSocket* session = FindSession(address_, opening_.sessionId());
  if (session == nullptr) return false;
  StartDataConnection(*session, releaseHandle());
  return false;
}

}  // namespace tarvo
