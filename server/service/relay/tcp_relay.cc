#include "server/service/relay/tcp_relay.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/fd.h"
#include "server/common/control_records.h"
#include "server/common/session_protocol.h"
#include "server/service/policy/access_file.h"
#include "server/service/base/audit_log.h"
#include "server/service/base/memory_return.h"
#include "server/service/base/notifications.h"
#include "server/service/base/service_counters.h"
#include "server/service/policy/own_listener.h"
#include "server/service/net/relay_io.h"
#include "server/service/net/socket.h"
#include "server/service/policy/user_policy.h"
#include "server/service/relay/relay_host.h"

namespace tarvo {

// One end of a relay: a connection the loop watches. It asks its relay what to watch for and
// hands it every readiness report, so the relay alone decides when both end.
class RelayEnd final : public Socket {
 public:
  RelayEnd(TcpRelay& relay, int handle, std::unique_ptr<TlsStream> tlsStream = nullptr)
      : Socket(handle, &relay.session_.relayOwner()), tls(std::move(tlsStream)), relay_(relay) {
    // What came behind the opening frame may already wait inside OpenSSL.
    if (tls != nullptr && tls->pending()) flags_ |= Buffered;
  }
  ~RelayEnd() override {
    if (tls != nullptr) tls->shutdown();
    relay_.endGone(*this);
  }

  // OpenSSL may wait for the socket the other way round (a handshake message in the way).
  bool wantRead() const REQUIRES(NetworkLock) override {
    return relay_.endWantsRead(*this) || (tls != nullptr && tls->writeWantsRead());
  }
  bool wantWrite() const REQUIRES(NetworkLock) override {
    return relay_.endWantsWrite(*this) || (tls != nullptr && tls->readWantsWrite());
  }
  bool wantExcept() const REQUIRES(NetworkLock) override { return relay_.endWantsExcept(*this); }
  bool onRead() REQUIRES(NetworkLock) override {
    if (tls != nullptr && tls->writeWantsRead()) relay_.endWritable(*this);
    relay_.endReadable(*this);
    return true;
  }
  bool onWrite() REQUIRES(NetworkLock) override {
    if (tls != nullptr && tls->readWantsWrite()) relay_.endReadable(*this);
    relay_.endWritable(*this);
    return true;
  }

  // recv, or a read of the TLS stream that notes what stays inside OpenSSL.
  ssize_t receive(void* into, std::size_t size) {
    if (tls == nullptr) return RelayReceive(handle_, into, size);
    const ssize_t received = RelayReceive(handle_, tls.get(), into, size);
    flags_ = tls->pending() ? (flags_ | Buffered) : (flags_ & ~std::uint32_t{Buffered});
    return received;
  }
  SendResult send(ByteBuffer& queue) { return SendQueued(handle_, tls.get(), queue, unsentCap); }
  void setBuffers(const KernelBuffers& buffers, bool wide) {
    if (handle_ != kNoHandle) SetKernelBuffers(handle_, buffers);
    // A narrow end's sends are capped here: the kernel would take a whole segment past the
    // unsent limit.
    unsentCap = wide ? 0 : static_cast<std::size_t>(buffers.unsent);
  }

  // The client's end of a v2 relay: TLS carries the destination's bytes as they are.
  std::unique_ptr<TlsStream> tls;
  std::size_t unsentCap = 0;
  bool onExcept() REQUIRES(NetworkLock) override {
    relay_.endException(*this);
    return true;
  }

  // Its last read took all it had: the next read waits until the loop reports more, instead of
  // asking again (and hearing EAGAIN) whenever the other end drains.
  bool drained = false;

 private:
  TcpRelay& relay_;
};

namespace {

// Appends plaintext as one cipher record to queue: whole units are enciphered straight from
// the plaintext into the queue, only the last, padded unit is copied first.
void AppendRecord(AesUnitCipher& cipher, const std::uint8_t* plaintext, std::size_t n,
                  ByteBuffer& queue) {
  std::uint8_t* record = queue.grow(RecordSize(n));
  record[0] = static_cast<std::uint8_t>(n & 0xff);
  record[1] = static_cast<std::uint8_t>(n >> 8);
  std::uint8_t* units = record + kRecordPrefixSize;
  const std::size_t whole = n / kCipherUnitSize;
  if (whole != 0) cipher.transform(plaintext, units, whole);
  if (const std::size_t tail = n % kCipherUnitSize; tail != 0) {
    std::uint8_t* last = units + whole * kCipherUnitSize;
    std::memcpy(last, plaintext + whole * kCipherUnitSize, tail);
    std::memset(last + tail, 0, kCipherUnitSize - tail);
    cipher.transform(last, 1);
  }
}

// Where reads land before they are enciphered or deciphered into a queue.
std::uint8_t* RelayReadBuffer() {
  static thread_local std::uint8_t buffer[kRelayQueueLimit];
  return buffer;
}

}  // namespace

void TcpRelay::Start(RelayHost& session, int handle, std::unique_ptr<TlsStream> tls) {
  session.relays().tcp.push_back(
      std::unique_ptr<TcpRelay>(new TcpRelay(session, handle, std::move(tls))));
}

TcpRelay::TcpRelay(RelayHost& session, int handle, std::unique_ptr<TlsStream> tls)
    : session_(session),
      plain_(tls != nullptr),
      grant_(session.userName()),
      client_(new RelayEnd(*this, handle, std::move(tls))),
      encipher_(session.encryptor()->key(), AesUnitCipher::Direction::kEncrypt) {
  // Accepted narrow (the listener's buffers); wide only with a grant.
  client_->unsentCap = static_cast<std::size_t>(kNarrowBuffers.unsent);
  widen();
  if (!plain_) {
    decryptor_ = std::make_unique<AESDecryptor>(session.keyText().c_str(),
                                                static_cast<int>(session.keyText().size()));
  }
  // No TCP_NODELAY here: the connection has it from the listener it was accepted on.
  CountRelayOpened(RelayKind::kTcp);
}

TcpRelay::~TcpRelay() {
  releaseQueue(toClient_);
  releaseQueue(toDestination_);
  CountRelayClosed(RelayKind::kTcp);
}

void TcpRelay::close() {
  if (closed_) return;
  closed_ = true;
  RetireSocket(client_);
  if (destination_ != nullptr) RetireSocket(destination_);
}

void TcpRelay::endGone(RelayEnd& end) {
  writeClose();
  (&end == client_ ? client_ : destination_) = nullptr;
  if (client_ != nullptr || destination_ != nullptr) return;
  auto& relays = session_.relays().tcp;
  auto found = std::find_if(relays.begin(), relays.end(),
                            [this](const auto& relay) { return relay.get() == this; });
  std::unique_ptr<TcpRelay> self = std::move(*found);
  relays.erase(found);
  // self deletes the relay on the way out; nothing of it is touched after.
}

void TcpRelay::writeClose() {
  if (closeWritten_ || destination_ == nullptr) return;  // closed before the header: no row
  closeWritten_ = true;
  if (connecting()) {
    AuditRelayConnect(session_.userName(), session_.peerAddress(), "fail", address_, port_);
  } else {
    AuditRelayDisconnect(session_.userName(), session_.peerAddress(), address_, port_);
  }
  if (NotificationsWanted()) notify(NTF_RELAY_CLOSED);
}

bool TcpRelay::connecting() const {
  return destination_ != nullptr && destination_->hasFlag(Socket::Connecting);
}

bool TcpRelay::endWantsRead(const RelayEnd& end) const {
  if (ending_ || closed_) return false;
  if (&end == client_) {
    return !upWait_.waiting() && (destination_ == nullptr || toDestination_.size() < kRelayQueueLimit);
  }
  return !downWait_.waiting() && !connecting() && toClient_.size() < kRelayQueueLimit;
}

bool TcpRelay::endWantsWrite(const RelayEnd& end) const {
  if (closed_) return false;
  if (&end == client_) return !toClient_.empty();
  return connecting() || !toDestination_.empty();
}

bool TcpRelay::endWantsExcept(const RelayEnd& end) const {
  return !closed_ && &end == destination_ && connecting();
}

void TcpRelay::endReadable(RelayEnd& end) {
  if (closed_) return;
  end.drained = false;
  if (&end == client_) {
    if (destination_ == nullptr) readHeader();
    // Records may have come with the header.
    if (destination_ != nullptr && !closed_) pump(Way::kToDestination);
  } else {
    pump(Way::kToClient);
  }
  settle();
}

void TcpRelay::endWritable(RelayEnd& end) {
  if (closed_) return;
  if (&end == destination_ && connecting()) {
    // Writable while connecting: the connection is made; what the client sent meanwhile follows.
    destination_->clearFlag(Socket::Connecting);
    AuditRelayConnect(session_.userName(), session_.peerAddress(), "done", address_, port_);
    if (NotificationsWanted()) notify(NTF_RELAY_CONNECTED);
  }
  pump(&end == client_ ? Way::kToClient : Way::kToDestination);
  settle();
}

void TcpRelay::endException(RelayEnd& end) {
  if (closed_ || &end != destination_ || !connecting()) return;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(end.handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    close();  // the connection failed: "connect" "fail"
  }
}

void TcpRelay::readHeader() {
  // One read for the header and the records that came with it (a request, usually).
  std::uint8_t* buffer = RelayReadBuffer();
  // The records that come with the header are bound by the user's upload limit too.
  const std::size_t want = std::min(
      kRelayQueueLimit, kDestinationHeaderSize - headerSize_ +
                            std::min(RelayAllowance(session_.upGate(), upWait_, client_),
                                     kRelayQueueLimit));
  const ssize_t received = client_->receive(buffer, want);
  if (received == 0 || (received < 0 && !RelayWouldBlock())) {
    close();
    return;
  }
  if (received < 0) return;
  const auto size = static_cast<std::size_t>(received);
  const std::size_t headerPart = std::min(size, kDestinationHeaderSize - headerSize_);
  std::memcpy(header_ + headerSize_, buffer, headerPart);
  headerSize_ += headerPart;
  if (size < want) client_->drained = true;
  if (headerSize_ < kDestinationHeaderSize) return;
  std::memcpy(&address_, header_, 4);  // network order, as it lies on the wire
  port_ = static_cast<std::uint16_t>((header_[4] << 8) | header_[5]);
  takeFromClient(buffer + headerPart, size - headerPart);
  openDestination();
}

void TcpRelay::takeFromClient(const std::uint8_t* records, std::size_t size) {
  const std::size_t before = toDestination_.size();
  if (plain_) {
    toDestination_.append(records, size);
  } else {
    decryptor_->transformAppend(records, size, toDestination_);
  }
  session_.countRelayed(toDestination_.size() - before, Flow::kUp);
}

void TcpRelay::openDestination() {
  // kNoHandle when out of descriptors (or down to the reserve), for the daemon's own listener
  // or a destination the rules deny: the relay then fails at once, as a connection that was
  // refused, and nothing reaches the destination.
  int handle = kNoHandle;
  const bool allowed = DestinationAllowed(address_, port_);
  if (!allowed) CountRefusedByRules(RelayKind::kTcp);
  if (!IsOwnListener(address_, port_) && allowed) {
    handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (InDescriptorReserve(handle)) {
      CloseDescriptor(handle);
      handle = kNoHandle;
    }
  }
  destination_ = new RelayEnd(*this, handle);  // owned by the relay
  // Before connect, which offers the window.
  destination_->setBuffers(grant_.buffers(), grant_.held());
  // Until the connection completes, closing the relay writes the "fail" row.
  destination_->setFlag(Socket::Connecting);
  bool started = false;
  if (handle != kNoHandle) {
    // Not bound first: connect chooses the source address and port, per destination, where a
    // bind to port 0 would draw every relay's port from one shared pool.
    SetNoDelay(handle);
    started = ConnectNonBlocking(handle, address_, port_);
  }
  if (NotificationsWanted()) notify(NTF_RELAY_CREATED);
  if (!started) close();
}

void TcpRelay::pump(Way way) {
  std::uint8_t* buffer = RelayReadBuffer();
  const bool toDestination = way == Way::kToDestination;
  RelayEnd* source = toDestination ? client_ : destination_;
  ByteBuffer& queue = toDestination ? toDestination_ : toClient_;
  for (int round = 0; round < kRelayRoundsPerEvent; ++round) {
    if (!flush(way)) return;
    if (ending_ || queue.size() >= kRelayQueueLimit) return;
    if (!toDestination && connecting()) return;  // nothing to read before the connection
    if (source->drained) break;
    const std::size_t allowed =
        RelayAllowance(toDestination ? session_.upGate() : session_.downGate(),
                       toDestination ? upWait_ : downWait_, source);
    if (allowed == 0) break;  // the user's speed limit: not read until its turn comes
    const std::size_t room = std::min(kRelayQueueLimit - queue.size(), allowed);
    // A v2 relay's bytes need no cipher: they land in the queue itself.
    const std::size_t queued = queue.size();
    std::uint8_t* into = plain_ ? queue.grow(room) : buffer;
    const ssize_t received = source->receive(into, room);
    if (plain_) queue.truncate(queued + static_cast<std::size_t>(std::max<ssize_t>(received, 0)));
    if (received == 0) {
      beginEnd();
      break;
    }
    if (received < 0) {
      if (RelayWouldBlock()) {
        source->drained = true;
      } else {
        beginEnd(source);
      }
      break;
    }
    const auto size = static_cast<std::size_t>(received);
    if (!grant_.held() && size >= static_cast<std::size_t>(kNarrowBuffers.receive / 2)) {
      widen();
    }
    if (plain_) {
      session_.countRelayed(size, toDestination ? Flow::kUp : Flow::kDown);
      if (size < room) {
        source->drained = true;
        break;
      }
      continue;
    }
    // A full read into an empty queue means a busy spell: room for the most it holds, once.
    if (queue.empty() && size == room) queue.reserve(kRelayQueueMost);
    if (toDestination) {
      takeFromClient(buffer, size);
    } else {
      for (std::size_t at = 0; at < size; at += kRelayReadChunk) {
        const std::size_t n = std::min(size - at, kRelayReadChunk);
        AppendRecord(encipher_, buffer + at, n, queue);
        session_.countRelayed(n);
      }
    }
    if (size < room) {
      source->drained = true;  // nothing more for now
      break;
    }
  }
  flush(way);
}

bool TcpRelay::flush(Way way) {
  const bool toDestination = way == Way::kToDestination;
  ByteBuffer& queue = toDestination ? toDestination_ : toClient_;
  if (queue.empty() || (toDestination && connecting())) return true;
  RelayEnd* sink = toDestination ? destination_ : client_;
  if (sink->send(queue) != SendResult::kFailed) return true;
  beginEnd(sink);
  return false;
}

void TcpRelay::beginEnd(RelayEnd* failed) {
  ending_ = true;
  if (failed == client_) toClient_.clear();
  if (failed != nullptr && failed == destination_) toDestination_.clear();
}

void TcpRelay::settle() {
  if (closed_) return;
  // An idle relay holds no buffer.
  if (toClient_.empty()) releaseQueue(toClient_);
  if (toDestination_.empty()) releaseQueue(toDestination_);
  if (ending_ && toClient_.empty() && toDestination_.empty()) {
    close();
    return;
  }
  MarkSocketDirty(client_);
  if (destination_ != nullptr) MarkSocketDirty(destination_);
}

std::uint16_t TcpRelay::localPort() const {
  // Asked only for the console, so a relay nobody watches costs no getsockname.
  if (localPort_ == 0 && destination_ != nullptr && destination_->handle() != kNoHandle) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(destination_->handle(), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      localPort_ = ntohs(local.sin_port);
    }
  }
  return localPort_;
}

void TcpRelay::widen() {
  if (grant_.held() || !grant_.take()) return;
  client_->setBuffers(kWideBuffers, true);
  if (destination_ != nullptr) destination_->setBuffers(kWideBuffers, true);
}

void TcpRelay::releaseQueue(ByteBuffer& queue) {
  if (queue.capacity() == 0) return;
  NoteFreedMemory(queue.capacity());
  queue.release();
}

void TcpRelay::notify(std::uint32_t code) const {
  // RelayInfo whose last word is the session id, then the user name and its NUL.
  const std::string& name = session_.userName();
  RelayInfo info{address_, port_, localPort(), session_.sessionId()};
  std::string payload(sizeof info + name.size() + 1, '\0');
  std::memcpy(payload.data(), &info, sizeof info);
  std::memcpy(payload.data() + sizeof info, name.data(), name.size());
  SendNotification(code, payload.data(), payload.size());
}

}  // namespace tarvo
