#include "server/service/server_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "server/common/control_records.h"
#include "server/common/encryption.h"
#include "server/service/audit_log.h"
#include "server/service/client_socket.h"
#include "server/service/notifications.h"
#include "server/service/relay_io.h"
#include "server/service/session_relays.h"
#include "server/service/user_socket.h"

namespace tarvo {

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

}  // namespace

ServerSocket::ServerSocket(UserSocket& session, ClientSocket* partner, std::uint32_t address,
                           std::uint16_t port)
    : TcpSocket(kNoHandle, &session),
      session_(session),
      partner_(partner),
      cipher_(session.encryptor()->key(), AesUnitCipher::Direction::kEncrypt),
      address_(address),
      port_(port) {
  session_.relays.servers.push_back(this);
}

ServerSocket::~ServerSocket() {
  auto& servers = session_.relays.servers;
  servers.erase(std::find(servers.begin(), servers.end(), this));
  if (hasFlag(Connecting)) {
    AuditRelayConnect(session_.userName(), session_.peerAddress(), "fail", address_, port_);
  } else {
    AuditRelayDisconnect(session_.userName(), session_.peerAddress(), address_, port_);
  }
  if (ConsoleAttached.load()) notify(NTF_RELAY_CLOSED);
  if (partner_ != nullptr) {
    partner_->setFlag(Closing);
    partner_->partner_ = nullptr;
  }
}

bool ServerSocket::start() {
  // Until the connection completes, deleting this socket writes the "fail" row.
  setFlag(Connecting);
  bool started = false;
  if (handle_ != kNoHandle) {
    // The source port is chosen by connect, per destination, rather than by a bare bind to
    // port 0, which would draw every relay's port from one shared pool.
    int on = 1;
    ::setsockopt(handle_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    SetNoDelay(handle_);
    started = bind(0) >= 0 && connect(address_, port_);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (started && ::getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      localPort_ = ntohs(local.sin_port);
    }
  }
  if (ConsoleAttached.load()) notify(NTF_RELAY_CREATED);
  return started;
}

bool ServerSocket::wantRead() {
  if (session_.account.overQuota()) throw CloseSocketException();
  if (hasFlag(Connecting)) {
    if (hasFlag(Closing)) throw CloseSocketException();
    return false;
  }
  if (hasFlag(Closing)) return false;
  return partner_ != nullptr && partner_->output_.size() < kRelayQueueLimit;
}

bool ServerSocket::onRead() { return readDestination(); }

bool ServerSocket::readDestination() {
  static thread_local std::uint8_t buffer[kRelayReadSize];
  for (int round = 0; round < kRelayRoundsPerEvent; ++round) {
    if (partner_ == nullptr) {
      setFlag(Closing);
      return true;
    }
    if (partner_->output_.size() >= kRelayQueueLimit) return true;
    const ssize_t received = RelayReceive(handle_, buffer, sizeof buffer);
    if (received == 0) {
      setFlag(Closing);
      return true;
    }
    if (received < 0) return RelayWouldBlock();
    onData({buffer, static_cast<std::size_t>(received)});
    partner_->sendNow();
    if (static_cast<std::size_t>(received) < sizeof buffer) return true;  // nothing more for now
  }
  return true;
}

bool ServerSocket::onData(std::span<const std::uint8_t> bytes) {
  if (partner_ == nullptr) {
    setFlag(Closing);
    return true;
  }
  ByteBuffer& queue = partner_->output_;
  // A full read means a busy spell: room for the queue at its limit plus one more read, once.
  if (queue.empty() && bytes.size() >= kRelayReadSize) {
    queue.reserve(kRelayQueueLimit +
                  kRelayReadSize / kRelayReadChunk * RecordSize(kRelayReadChunk));
  }
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), kRelayReadChunk);
    AppendRecord(cipher_, bytes.data(), n, queue);
    session_.countRelayed(n);
    bytes = bytes.subspan(n);
  }
  MarkSocketDirty(partner_);
  return true;
}

void ServerSocket::sendNow() {
  if (hasFlag(Connecting)) return;
  SendQueued(handle_, output_);  // an error is met again by onWrite
  if (output_.empty()) output_.release();
}

bool ServerSocket::onWrite() {
  // Writable while connecting: the connection is made; what the client sent meanwhile follows.
  if (hasFlag(Connecting) && !TcpSocket::onWrite()) return false;
  const SendResult sent = SendWithRefill(handle_, output_, kRelayRoundsPerEvent, [this] {
    if (partner_ == nullptr || partner_->hasFlag(Closing)) return false;
    partner_->readRecords();  // an error shows again at the partner's own next read
    return true;
  });
  // What left the queue may let the partner read again.
  if (partner_ != nullptr) MarkSocketDirty(partner_);
  if (sent != SendResult::kDrained) return sent == SendResult::kWouldBlock;
  output_.release();  // an idle relay holds no buffer
  return !hasFlag(Closing);
}

bool ServerSocket::onExcept() {
  if (!hasFlag(Connecting)) return false;
  return TcpSocket::onExcept();
}

void ServerSocket::onConnected() {
  connected_ = true;
  AuditRelayConnect(session_.userName(), session_.peerAddress(), "done", address_, port_);
  if (ConsoleAttached.load()) notify(NTF_RELAY_CONNECTED);
}

void ServerSocket::notify(std::uint32_t code) const {
  // RelayInfo whose last word is the session id, then the user name and its NUL.
  const std::string& name = session_.userName();
  RelayInfo info{address_, port_, localPort_, session_.sessionId()};
  std::string payload(sizeof info + name.size() + 1, '\0');
  std::memcpy(payload.data(), &info, sizeof info);
  std::memcpy(payload.data() + sizeof info, name.data(), name.size());
  SendNotification(code, payload.data(), payload.size());
}

}  // namespace tarvo
