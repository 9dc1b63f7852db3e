#include "server/service/client_socket.h"

#include <cstring>

#include "server/common/session_protocol.h"
#include "server/service/relay_io.h"
#include "server/service/server_socket.h"
#include "server/service/session_relays.h"
#include "server/service/user_socket.h"

namespace tarvo {

ClientSocket::ClientSocket(UserSocket& session, int handle)
    : TcpSocket(handle, &session),
      session_(session),
      decryptor_(std::make_unique<AESDecryptor>(session.keyText().c_str(),
                                                static_cast<int>(session.keyText().size()))) {
  setFlag(AwaitHeader);
  SetNoDelay(handle_);
  ++session_.relays.dataConnections;
}

ClientSocket::~ClientSocket() {
  --session_.relays.dataConnections;
  if (partner_ != nullptr) {
    partner_->setFlag(Closing);
    partner_->partner_ = nullptr;
  }
}

bool ClientSocket::wantRead() {
  if (session_.account.overQuota()) throw CloseSocketException();
  if (hasFlag(AwaitHeader)) {
    if (hasFlag(Closing)) throw CloseSocketException();
    return true;
  }
  if (hasFlag(Closing)) return false;
  return partner_ != nullptr && partner_->output_.size() < kRelayQueueLimit;
}

bool ClientSocket::onRead() {
  if (hasFlag(AwaitHeader)) {
    if (!readHeader()) return false;
    if (hasFlag(AwaitHeader)) return true;
  }
  return readRecords();
}

bool ClientSocket::readHeader() {
  while (headerSize_ < kDestinationHeaderSize) {
    const ssize_t received =
        RelayReceive(handle_, header_ + headerSize_, kDestinationHeaderSize - headerSize_);
    if (received == 0) return false;  // closed before the header: no relay, no row
    if (received < 0) return RelayWouldBlock();
    headerSize_ += static_cast<std::size_t>(received);
  }
  clearFlag(AwaitHeader);
  std::uint32_t address;
  std::memcpy(&address, header_, 4);  // network order, as it lies on the wire
  const auto port = static_cast<std::uint16_t>((header_[4] << 8) | header_[5]);
  auto* server = new ServerSocket(session_, this, address, port);  // owned by the session
  partner_ = server;
  if (!server->start()) {
    delete server;  // still connecting: writes "connect" "fail"
    return false;
  }
  return true;
}

bool ClientSocket::readRecords() {
  static thread_local std::uint8_t buffer[kRelayReadSize];
  for (int round = 0; round < kRelayRoundsPerEvent; ++round) {
    if (partner_ == nullptr) {
      setFlag(Closing);
      return true;
    }
    ByteBuffer& queue = partner_->output_;
    if (queue.size() >= kRelayQueueLimit) return true;
    const ssize_t received = RelayReceive(handle_, buffer, sizeof buffer);
    if (received == 0) {
      setFlag(Closing);
      return true;
    }
    if (received < 0) return RelayWouldBlock();
    // A full read means a busy spell: room for the queue at its limit plus one more read, once.
    if (queue.empty() && static_cast<std::size_t>(received) == sizeof buffer) {
      queue.reserve(kRelayQueueLimit + kRelayReadSize);
    }
    onData({buffer, static_cast<std::size_t>(received)});
    partner_->sendNow();
    if (static_cast<std::size_t>(received) < sizeof buffer) return true;
  }
  return true;
}

bool ClientSocket::onData(std::span<const std::uint8_t> bytes) {
  if (partner_ == nullptr) {
    setFlag(Closing);
    return true;
  }
  ByteBuffer& queue = partner_->output_;
  const std::size_t before = queue.size();
  decryptor_->transformAppend(bytes.data(), bytes.size(), queue);
  session_.countRelayed(queue.size() - before);
  MarkSocketDirty(partner_);
  return true;
}

void ClientSocket::sendNow() {
  SendQueued(handle_, output_);  // an error is met again by onWrite
  if (output_.empty()) output_.release();
}

bool ClientSocket::onWrite() {
  const SendResult sent = SendWithRefill(handle_, output_, kRelayRoundsPerEvent, [this] {
    if (partner_ == nullptr || partner_->hasFlag(Closing) || partner_->hasFlag(Connecting)) {
      return false;
    }
    partner_->readDestination();  // an error shows again at the partner's own next read
    return true;
  });
  // What left the queue may let the partner read again.
  if (partner_ != nullptr) MarkSocketDirty(partner_);
  if (sent != SendResult::kDrained) return sent == SendResult::kWouldBlock;
  output_.release();  // an idle relay holds no buffer
  return !hasFlag(Closing);
}

}  // namespace tarvo
