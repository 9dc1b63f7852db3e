#include "client/tarvo_client_lib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "server/common/password_hash.h"

namespace tarvo::client {
namespace {

using Clock = std::chrono::steady_clock;

class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : end_(Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))) {}
  int remainingMs() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
  }

 private:
  Clock::time_point end_;
};

// Waits until fd is ready for events; kTimeout when the deadline passes first.
ClientStatus WaitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, deadline.remainingMs());
    if (ready > 0) return ClientStatus::kOk;
    if (ready == 0) return ClientStatus::kTimeout;
    if (errno != EINTR) return ClientStatus::kIoError;
  }
}

bool ResolveIPv4(const std::string& host, in_addr& address) {
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

constexpr std::size_t kReceiveChunk = 16384;

}  // namespace

const char* ToString(ClientStatus status) {
  switch (status) {
    case ClientStatus::kOk: return "ok";
    case ClientStatus::kResolveFailed: return "host name not resolved";
    case ClientStatus::kConnectFailed: return "connection failed";
    case ClientStatus::kTimeout: return "timed out";
    case ClientStatus::kClosed: return "connection closed by the server";
    case ClientStatus::kIoError: return "socket error";
    case ClientStatus::kProtocolError: return "unexpected bytes from the server";
    case ClientStatus::kVersionRefused: return "client version refused";
    case ClientStatus::kNotLoggedIn: return "not logged in";
  }
  return "unknown status";
}

// ---- Socket ----

Socket::~Socket() { close(); }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int Socket::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

ClientStatus Socket::connect(const std::string& host, std::uint16_t port, int timeoutMs,
                             std::uint32_t sourceAddress) {
  Deadline deadline(timeoutMs);
  close();
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (!ResolveIPv4(host, peer.sin_addr)) return ClientStatus::kResolveFailed;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return ClientStatus::kIoError;
  if (sourceAddress != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = sourceAddress;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close();
      return ClientStatus::kConnectFailed;
    }
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
    return ClientStatus::kOk;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    close();
    return ClientStatus::kConnectFailed;
  }
  ClientStatus waited = WaitFor(fd_, POLLOUT, deadline);
  int error = 0;
  socklen_t length = sizeof error;
  if (waited == ClientStatus::kOk &&
      (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)) {
    waited = ClientStatus::kConnectFailed;
  }
  if (waited != ClientStatus::kOk) close();
  return waited;
}

ClientStatus Socket::sendAll(std::span<const std::uint8_t> bytes, int timeoutMs) {
  if (fd_ < 0) return ClientStatus::kClosed;
  Deadline deadline(timeoutMs);
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ClientStatus waited = WaitFor(fd_, POLLOUT, deadline);
      if (waited != ClientStatus::kOk) return waited;
      continue;
    }
    return errno == EPIPE || errno == ECONNRESET ? ClientStatus::kClosed : ClientStatus::kIoError;
  }
  return ClientStatus::kOk;
}

ClientStatus Socket::receiveSome(ByteBuffer& into, std::size_t maxBytes, int timeoutMs) {
  if (fd_ < 0) return ClientStatus::kClosed;
  Deadline deadline(timeoutMs);
  for (;;) {
    std::uint8_t* space = into.grow(maxBytes);
    ssize_t got = ::recv(fd_, space, maxBytes, 0);
    int error = errno;
    into.truncate(into.size() - maxBytes + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got > 0) return ClientStatus::kOk;
    if (got == 0) return ClientStatus::kClosed;
    if (error == EINTR) continue;
    if (error == ECONNRESET) return ClientStatus::kClosed;
    if (error != EAGAIN && error != EWOULDBLOCK) return ClientStatus::kIoError;
    ClientStatus waited = WaitFor(fd_, POLLIN, deadline);
    if (waited != ClientStatus::kOk) return waited;
  }
}

// ---- SessionClient ----

ClientStatus SessionClient::open(const std::string& host, std::uint16_t port,
                                 std::string_view versionText, int timeoutMs,
                                 std::string* rangeText) {
  Deadline deadline(timeoutMs);
  received_.clear();
  encryptor_.reset();
  decryptor_.reset();
  keyText_.clear();
  sessionId_ = 0;
  host_ = host;
  port_ = port;
  ClientStatus status = socket_.connect(host, port, deadline.remainingMs(), sourceAddress_);
  if (status != ClientStatus::kOk) return status;
  ByteBuffer opening;
  if (!AppendSessionOpening(opening, versionText)) return ClientStatus::kProtocolError;
  status = sendRaw(opening.view(), deadline.remainingMs());
  if (status != ClientStatus::kOk) return status;
  ReceivedMessage answer;
  status = readMessage(answer, deadline.remainingMs());
  if (status != ClientStatus::kOk) return status;
  std::string range;
  if ((answer.type != MessageType::Hello && answer.type != MessageType::VersionRefused) ||
      !ParseVersionRange(answer.payload.view(), range)) {
    return ClientStatus::kProtocolError;
  }
  if (rangeText) *rangeText = range;
  return answer.type == MessageType::Hello ? ClientStatus::kOk : ClientStatus::kVersionRefused;
}

LoginResult SessionClient::login(std::string_view name, const std::string& password,
                                 int timeoutMs) {
  return loginWithKey(name, DeriveSessionKeyText(password.c_str()), timeoutMs);
}

LoginResult SessionClient::loginWithKey(std::string_view name, const std::string& key,
                                        int timeoutMs) {
  Deadline deadline(timeoutMs);
  LoginResult result;
  auto encryptor = std::make_unique<AESEncryptor>(key.c_str(), static_cast<int>(key.size()));
  ByteBuffer payload;
  if (!AppendLoginPayload(payload, name, *encryptor)) {
    result.status = ClientStatus::kProtocolError;
    return result;
  }
  result.status = sendMessage(MessageType::Login, payload.view(), deadline.remainingMs());
  if (result.status != ClientStatus::kOk) return result;
  ReceivedMessage answer;
  result.status = readMessage(answer, deadline.remainingMs());
  if (result.status != ClientStatus::kOk) return result;
  switch (answer.type) {
    case MessageType::LoginAccepted:
      if (!ParseLoginAccepted(answer.payload.view(), result.sessionId)) {
        result.status = ClientStatus::kProtocolError;
        return result;
      }
      result.outcome = LoginOutcome::kAccepted;
      keyText_ = key;
      sessionId_ = result.sessionId;
      encryptor_ = std::move(encryptor);
      decryptor_ = std::make_unique<AESDecryptor>(key.c_str(), static_cast<int>(key.size()));
      return result;
    case MessageType::DoubleConnect: result.outcome = LoginOutcome::kDoubleConnect; break;
    case MessageType::UnknownUser: result.outcome = LoginOutcome::kUnknownUser; break;
    case MessageType::InvalidPassword: result.outcome = LoginOutcome::kInvalidPassword; break;
    case MessageType::UserLocked: result.outcome = LoginOutcome::kUserLocked; break;
    default: result.status = ClientStatus::kProtocolError; break;
  }
  return result;
}

void SessionClient::adoptLoggedIn(int fd, std::uint32_t sessionId, const std::string& keyText) {
  socket_ = Socket(fd);
  received_.clear();
  keyText_ = keyText;
  sessionId_ = sessionId;
  const int length = static_cast<int>(keyText.size());
  encryptor_ = std::make_unique<AESEncryptor>(keyText.c_str(), length);
  decryptor_ = std::make_unique<AESDecryptor>(keyText.c_str(), length);
}

ClientStatus SessionClient::sendMessage(std::uint32_t type, std::span<const std::uint8_t> payload,
                                        int timeoutMs) {
  ByteBuffer frame;
  AppendMessage(frame, type, payload);
  return sendRaw(frame.view(), timeoutMs);
}

ClientStatus SessionClient::sendRaw(std::span<const std::uint8_t> bytes, int timeoutMs) {
  return socket_.sendAll(bytes, timeoutMs);
}

ClientStatus SessionClient::readMessage(ReceivedMessage& message, int timeoutMs) {
  Deadline deadline(timeoutMs);
  for (;;) {
    SessionMessage found;
    ParseResult parsed = reader_.peek(received_, found);
    if (parsed == ParseResult::kBad) return ClientStatus::kProtocolError;
    if (parsed == ParseResult::kDone) {
      message.type = found.type;
      message.payload.clear();
      message.payload.append(found.payload);
      received_.consume(found.totalLength);
      return ClientStatus::kOk;
    }
    ClientStatus status = socket_.receiveSome(received_, kReceiveChunk, deadline.remainingMs());
    if (status != ClientStatus::kOk) return status;
  }
}

ClientStatus SessionClient::trafficInfo(std::int64_t& limit, std::int64_t& counter,
                                        int timeoutMs) {
  Deadline deadline(timeoutMs);
  ClientStatus status = sendMessage(MessageType::TrafficInfo, {}, deadline.remainingMs());
  if (status != ClientStatus::kOk) return status;
  ReceivedMessage answer;
  status = readMessage(answer, deadline.remainingMs());
  if (status != ClientStatus::kOk) return status;
  if (answer.type != MessageType::TrafficInfo ||
      !ParseTrafficInfoReply(answer.payload.view(), limit, counter)) {
    return ClientStatus::kProtocolError;
  }
  return ClientStatus::kOk;
}

ClientStatus SessionClient::sendTextMessage(std::string_view text, int timeoutMs) {
  if (!encryptor_) return ClientStatus::kNotLoggedIn;
  ByteBuffer frame;
  AppendTextMessage(frame, *encryptor_, text);
  return sendRaw(frame.view(), timeoutMs);
}

ClientStatus SessionClient::sendUdpData(std::uint32_t address, std::uint16_t port,
                                        std::uint32_t channel,
                                        std::span<const std::uint8_t> datagram,
                                        std::uint16_t value, int timeoutMs) {
  if (!encryptor_) return ClientStatus::kNotLoggedIn;
  if (datagram.size() > kMaxRecordPlaintext) return ClientStatus::kProtocolError;
  ByteBuffer frame;
  AppendUdpDataRequest(frame, *encryptor_, address, port, value, channel, datagram);
  return sendRaw(frame.view(), timeoutMs);
}

ClientStatus SessionClient::sendUdpClose(std::uint32_t channel, int timeoutMs) {
  ByteBuffer frame;
  AppendUdpClose(frame, channel);
  return sendRaw(frame.view(), timeoutMs);
}

ClientStatus SessionClient::sendResolve(std::span<const std::string> names, int timeoutMs) {
  if (!encryptor_) return ClientStatus::kNotLoggedIn;
  ByteBuffer frame;
  AppendResolveRequest(frame, *encryptor_, names);
  return sendRaw(frame.view(), timeoutMs);
}

ClientStatus SessionClient::decipher(std::span<const std::uint8_t> records,
                                     ByteBuffer& plaintext) {
  if (!decryptor_) return ClientStatus::kNotLoggedIn;
  decryptor_->transformAppend(records.data(), records.size(), plaintext);
  return ClientStatus::kOk;
}

// ---- DataConnection ----

ClientStatus DataConnection::open(const SessionClient& session, std::uint32_t address,
                                  std::uint16_t port, int timeoutMs) {
  if (!session.loggedIn()) return ClientStatus::kNotLoggedIn;
  Deadline deadline(timeoutMs);
  ClientStatus status = socket_.connect(session.host(), session.port(), deadline.remainingMs(),
                                        session.sourceAddress());
  if (status != ClientStatus::kOk) return status;
  const std::string& key = session.keyText();
  encryptor_ = std::make_unique<AESEncryptor>(key.c_str(), static_cast<int>(key.size()));
  decryptor_ = std::make_unique<AESDecryptor>(key.c_str(), static_cast<int>(key.size()));
  ByteBuffer opening;
  AppendDataOpening(opening, session.sessionId());
  AppendDestinationHeader(opening, address, port);
  return socket_.sendAll(opening.view(), deadline.remainingMs());
}

ClientStatus DataConnection::send(std::span<const std::uint8_t> data, int timeoutMs) {
  if (!encryptor_) return ClientStatus::kNotLoggedIn;
  Deadline deadline(timeoutMs);
  ByteBuffer records;
  while (!data.empty()) {
    std::size_t take = std::min(data.size(), kMaxRecordPlaintext);
    encryptor_->transformAppend(data.data(), take, records);
    data = data.subspan(take);
  }
  return socket_.sendAll(records.view(), deadline.remainingMs());
}

ClientStatus DataConnection::receive(ByteBuffer& plaintext, int timeoutMs) {
  if (!decryptor_) return ClientStatus::kNotLoggedIn;
  ByteBuffer raw;
  ClientStatus status = socket_.receiveSome(raw, kReceiveChunk, timeoutMs);
  if (status != ClientStatus::kOk) return status;
  decryptor_->transformAppend(raw.data(), raw.size(), plaintext);
  return ClientStatus::kOk;
}

}  // namespace tarvo::client
