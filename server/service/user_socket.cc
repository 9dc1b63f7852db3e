#include "server/service/user_socket.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "external/reader.h"
#include "server/common/coding.h"
#include "server/common/password_hash.h"
#include "server/common/user_info.h"
#include "server/service/audit_log.h"
#include "server/service/message_log.h"
#include "server/service/notifications.h"
#include "server/service/relay_entry.h"
#include "server/service/session_list.h"
#include "server/service/settings.h"
#include "server/service/traffic_accounting.h"

namespace tarvo {

namespace {

// Data connections are matched by peer address and session id alone, so the id must not be
// guessable: it comes from the kernel's cryptographic generator. 0 when none can be had.
std::uint32_t NewSessionId() {
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::uint32_t id = 0;
    ssize_t got = ::getrandom(&id, sizeof id, 0);
    if (got < 0 && errno != EINTR) return 0;
    if (got == static_cast<ssize_t>(sizeof id) && id != 0 && !SessionIdInUse(id)) return id;
  }
  return 0;
}

std::uint32_t PeerAddress(int handle) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  return peer.sin_addr.s_addr;
}

std::string VersionRange() {
  return VersionRangeText(ServerSettings.MinClientVersion, kServerVersion);
}

}  // namespace

UserSocket::UserSocket(int handle, Socket* owner)
    : TcpSocket(handle, owner),
      peerAddress_(PeerAddress(handle)),
      lastActivity_(MonotonicSeconds()) {
  AppendHello(output_, VersionRange());
}

UserSocket::~UserSocket() {
  encryptor_.reset();
  decryptor_.reset();
  // Relays and datagram channels end first, each with its own rows and notifications.
  while (!children().empty()) delete children().front();
  if (loggedIn()) {
    // Counted traffic is stored, not dropped: otherwise reconnecting within the store interval
    // would let a user relay past the limit.
    if (pendingBytes != 0) StoreTrafficCounter(*this);
    AuditSessionClose(*name_, peerAddress_);
    if (ConsoleAttached.load() && FindSession(peerAddress_, sessionId_) == this) {
      notifySession(NTF_SESSION_CLOSED);
    }
    name_.reset();
  }
  RemoveSession(this);
}

const std::string& UserSocket::userName() const {
  static const std::string none;
  return name_ ? *name_ : none;
}

void UserSocket::queueMessage(std::uint32_t type, std::span<const std::uint8_t> payload) {
  ByteBuffer frame;
  AppendMessage(frame, type, payload);
  queueOutput(frame.view());
}

bool UserSocket::wantRead() {
  const std::int64_t now = MonotonicSeconds();
  if (now - lastActivity_ >= kIdleTimeoutSeconds) throw CloseSocketException();
  // Over its limit a session relays nothing, so it rereads the store on the same schedule: a
  // limit raised or a counter reset there lets it relay again.
  if (loggedIn() && (pendingBytes != 0 || OverQuota(*this)) &&
      now - lastStoreTime > kStoreIntervalSeconds) {
    StoreTrafficCounter(*this);
  }
  return !hasFlag(Closing) && output_.size() < kMaxSessionOutput;
}

bool UserSocket::onData(std::span<const std::uint8_t> bytes) {
  received_.append(bytes);
  for (;;) {
    // A session that is ending (a refused login, the administrator's disconnect) handles no
    // more messages: a client must not get one more password guess per pipelined Login.
    if (hasFlag(Closing)) {
      received_.release();
      return true;
    }
    SessionMessage message;
    switch (reader_.peek(received_, message)) {
      case ParseResult::kBad:
        return false;  // total length below 8 or beyond any legitimate message
      case ParseResult::kNeedMore:
        return true;
      case ParseResult::kDone:
        break;
    }
    if (!dispatch(message.type, message.payload)) return false;
    received_.consume(message.totalLength);
  }
}

bool UserSocket::dispatch(std::uint32_t type, std::span<const std::uint8_t> payload) {
  lastActivity_ = MonotonicSeconds();
  if (type == MessageType::Login) return login(payload);
  if (!loggedIn()) return true;
  switch (type) {
    case MessageType::TrafficInfo:
      return trafficInfo();
    case MessageType::TextMessage:
      return textMessage(payload);
    case MessageType::UdpData:
      return HandleUdpData(*this, payload);
    case MessageType::UdpClose:
      return HandleUdpClose(*this, payload);
    case MessageType::Resolve:
      return HandleResolve(*this, payload);
    default:
      return true;
  }
}

bool UserSocket::login(std::span<const std::uint8_t> payload) {
  // A session keeps the user it logged in as and sits in the session list once: a second
  // Login ends it.
  if (loggedIn()) return false;
  if (sessionId_ == 0) {
    sessionId_ = NewSessionId();
    if (sessionId_ == 0) return false;
  }
  LoginRequest request;
  if (!ParseLogin(payload, request)) return false;

  char password[kUserPasswordSize] = {};
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  std::uint8_t locked = 0;
  if (!GetUserInfo(request.name.c_str(), password, &limit, &counter, &locked)) {
    refuseLogin(MessageType::UnknownUser, request.name, "unknown user");
    return true;
  }
  if (locked != 0) {
    explicit_bzero(password, sizeof password);
    refuseLogin(MessageType::UserLocked, request.name, "user locked");
    return true;
  }
  if (!ServerSettings.MultiConnect && FindSessionByName(request.name) != nullptr) {
    explicit_bzero(password, sizeof password);
    refuseLogin(MessageType::DoubleConnect, request.name, "double connect");
    return true;
  }

  std::string keyText = DeriveSessionKeyText(password);
  explicit_bzero(password, sizeof password);
  auto encryptor = std::make_unique<AESEncryptor>(keyText.c_str(), static_cast<int>(keyText.size()));
  const auto expected = MakeLoginProof(request.name, *encryptor);
  if (!ProofsEqual(expected.data(), request.proof.data())) {
    refuseLogin(MessageType::InvalidPassword, request.name, "invalid password");
    return true;
  }

  name_ = request.name;
  keyText_ = std::move(keyText);
  encryptor_ = std::move(encryptor);
  decryptor_ = std::make_unique<AESDecryptor>(keyText_.c_str(), static_cast<int>(keyText_.size()));
  reader_.setMaxTotalLength(kMaxMessageLengthLoggedIn);
  std::uint8_t id[4];
  EncodeFixed32(id, sessionId_);
  queueMessage(MessageType::LoginAccepted, id);
  AddSession(this);
  AuditSessionOpen(*name_, peerAddress_, "done");
  if (ConsoleAttached.load()) notifySession(NTF_SESSION_OPENED);
  lastStoreTime = MonotonicSeconds();
  StoreTrafficCounter(*this);
  return true;
}

void UserSocket::refuseLogin(std::uint32_t reply, const std::string& name, const char* outcome) {
  queueMessage(reply);
  setFlag(Closing);
  AuditSessionOpen(name, peerAddress_, outcome);
}

bool UserSocket::trafficInfo() {
  char password[kUserPasswordSize] = {};
  std::int64_t limit = 0;
  std::int64_t counter = 0;
  std::uint8_t locked = 0;
  const bool found = GetUserInfo(name_->c_str(), password, &limit, &counter, &locked);
  explicit_bzero(password, sizeof password);
  if (!found) {  // the user has gone
    setFlag(Closing);
    return true;
  }
  std::uint8_t figures[16];
  EncodeFixed64(figures, static_cast<std::uint64_t>(limit));
  EncodeFixed64(figures + 8, static_cast<std::uint64_t>(counter));
  queueMessage(MessageType::TrafficInfo, figures);
  return true;
}

bool UserSocket::textMessage(std::span<const std::uint8_t> payload) {
  ByteBuffer text;
  decipher(payload, text);  // a cut record still yields the units that arrived whole
  return SaveUserMessage(*name_, peerAddress_, text.view());
}

bool UserSocket::decipher(std::span<const std::uint8_t> records, ByteBuffer& plaintext) {
  if (!decryptor_) return false;
  decryptor_->transformAppend(records.data(), records.size(), plaintext);
  if (decryptor_->atRecordBoundary()) return true;
  decryptor_ = std::make_unique<AESDecryptor>(keyText_.c_str(), static_cast<int>(keyText_.size()));
  return false;
}

void UserSocket::notifySession(std::uint32_t code) const {
  // Address, name with its NUL, session id right after the NUL (unaligned), in host layout as
  // every record of the control channel.
  const std::string& name = *name_;
  std::string payload(4 + name.size() + 1 + 4, '\0');
  std::memcpy(payload.data(), &peerAddress_, 4);
  std::memcpy(payload.data() + 4, name.data(), name.size());
  std::memcpy(payload.data() + 4 + name.size() + 1, &sessionId_, 4);
  SendNotification(code, payload.data(), payload.size());
}

}  // namespace tarvo
