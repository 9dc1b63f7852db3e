#include "client/tunnel_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/socket_io.h"
#include "client/v2_connector.h"
#include "server/common/password_hash.h"

namespace tarvo::client {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// The administrator's text goes to a terminal: control bytes could move the cursor or retitle it.
std::string Printable(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return text;
}

}  // namespace

namespace {

LoginReport LogInV2(SessionClient& session, const TunnelConfig& config) {
  LoginReport report;
  const std::string where = config.host + ":" + std::to_string(config.port);
  const std::string key = DeriveSessionKeyText(config.password.c_str());
  int fd = -1;
  std::uint32_t sessionId = 0;
  std::string why;
  const ClientStatus status = config.v2->openSession(config.host, config.port, config.user, key,
                                                     config.loginTimeoutMs, fd, sessionId, why);
  if (status == ClientStatus::kOk) {
    session.adoptLoggedIn(fd, sessionId, key);
    report.accepted = true;
    report.text = "logged in to " + where + " as " + config.user + " over protocol v2 (session " +
                  std::to_string(sessionId) + ")";
  } else if (!why.empty()) {
    report.refused = true;
    report.text = "refusing the server: " + why;
  } else if (status == ClientStatus::kClosed) {
    // v2 tells a refused login nothing more, so that nobody can probe for names.
    report.refused = true;
    report.text = "login refused by " + where +
                  ": wrong user name or password, a locked account, or a session already open";
  } else {
    report.text = "cannot reach the server at " + where + " over protocol v2: " + ToString(status);
  }
  return report;
}

}  // namespace

LoginReport LogIn(SessionClient& session, const TunnelConfig& config) {
  if (config.v2 != nullptr) return LogInV2(session, config);
  LoginReport report;
  const std::string where = config.host + ":" + std::to_string(config.port);
  std::string range;
  ClientStatus status =
      session.open(config.host, config.port, config.version, config.loginTimeoutMs, &range);
  if (status == ClientStatus::kVersionRefused) {
    report.refused = true;
    report.text = "login refused: client version " + config.version +
                  " is outside the range the server accepts (" + range + ")";
    return report;
  }
  if (status != ClientStatus::kOk) {
    report.text = "cannot reach the server at " + where + ": " + ToString(status);
    return report;
  }
  LoginResult result = session.login(config.user, config.password, config.loginTimeoutMs);
  report.refused = true;
  switch (result.outcome) {
    case LoginOutcome::kAccepted:
      report.refused = false;
      report.accepted = true;
      report.text = "logged in to " + where + " as " + config.user + " (session " +
                    std::to_string(result.sessionId) + ")";
      return report;
    case LoginOutcome::kUnknownUser:
      report.text = "login refused: unknown user";
      break;
    case LoginOutcome::kInvalidPassword:
      report.text = "login refused: invalid password";
      break;
    case LoginOutcome::kUserLocked:
      report.text = "login refused: user locked";
      break;
    case LoginOutcome::kDoubleConnect:
      report.text = "login refused: double connect (the user already has a session)";
      break;
    case LoginOutcome::kFailed:
      report.refused = false;
      report.text = std::string("login failed: ") + ToString(result.status);
      break;
  }
  session.close();
  return report;
}

TunnelSession::TunnelSession(EventLoop& loop, TunnelConfig config)
    : loop_(loop), config_(std::move(config)) {}

TunnelSession::~TunnelSession() {
  if (fd_ >= 0) loop_.remove(fd_);
  loop_.cancelTimer(keepAliveTimer_);
  loop_.cancelTimer(loginTimer_);
}

LoginReport TunnelSession::start() {
  LoginReport report = LogIn(session_, config_);
  if (report.accepted) attach();
  return report;
}

void TunnelSession::attach() {
  fd_ = session_.socket().fd();
  socklen_t length = sizeof daemonAddress_;
  ::getpeername(fd_, reinterpret_cast<sockaddr*>(&daemonAddress_), &length);
  in_ = session_.takeReceived();
  out_.clear();
  ++generation_;
  retryDelay_ = kFirstRetry;
  loop_.add(fd_, EPOLLIN, this);
  keepAliveTimer_ = loop_.addTimer(kKeepAlive, [this] { keepAlive(); });
  // Bytes that came with the login answer are messages too.
  if (!in_.empty()) onIo(fd_, 0);
}

void TunnelSession::lose(const char* why) {
  if (fd_ < 0) return;
  std::fprintf(stderr, "tarvoclient: session lost (%s); logging in again\n", why);
  loop_.remove(fd_);
  session_.close();
  fd_ = -1;
  loop_.cancelTimer(keepAliveTimer_);
  keepAliveTimer_ = 0;
  in_.release();
  out_.release();
  if (listener_) listener_->onSessionLost();
  scheduleLogin();
}

void TunnelSession::scheduleLogin() {
  loginTimer_ = loop_.addTimer(retryDelay_, [this] {
    loginTimer_ = 0;
    LoginReport report = LogIn(session_, config_);
    std::fprintf(stderr, "tarvoclient: %s\n", report.text.c_str());
    if (report.accepted) {
      attach();
      return;
    }
    retryDelay_ = std::min(retryDelay_ * 2, std::chrono::seconds(kLongestRetry));
    scheduleLogin();
  });
}

void TunnelSession::keepAlive() {
  keepAliveTimer_ = 0;
  if (fd_ < 0) return;
  AppendMessage(out_, MessageType::TrafficInfo);
  flush();
  if (fd_ >= 0) keepAliveTimer_ = loop_.addTimer(kKeepAlive, [this] { keepAlive(); });
}

bool TunnelSession::sendUdpData(std::uint32_t channel, std::uint32_t address, std::uint16_t port,
                                std::span<const std::uint8_t> datagram) {
  if (fd_ < 0 || out_.size() >= kQueueLimit || datagram.size() > kMaxRecordPlaintext) {
    return false;
  }
  AppendUdpDataRequest(out_, *session_.encryptor(), address, port, 0, channel, datagram);
  flush();
  return true;
}

bool TunnelSession::sendUdpClose(std::uint32_t channel) {
  if (fd_ < 0) return false;
  AppendUdpClose(out_, channel);
  flush();
  return true;
}

bool TunnelSession::sendResolve(const std::string& name) {
  if (fd_ < 0 || out_.size() >= kQueueLimit) return false;
  AppendResolveRequest(out_, *session_.encryptor(), std::span<const std::string>(&name, 1));
  flush();
  return true;
}

void TunnelSession::flush() {
  if (fd_ >= 0 && SendQueued(fd_, out_) == SendResult::kFailed) {
    lose(std::strerror(errno));
    return;
  }
  updateInterest();
}

void TunnelSession::updateInterest() {
  if (fd_ >= 0) loop_.setInterest(fd_, EPOLLIN | (out_.empty() ? 0u : EPOLLOUT));
}

void TunnelSession::onIo(int, std::uint32_t events) {
  if (events & EPOLLOUT) flush();
  if (fd_ < 0) return;
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    for (;;) {
      std::uint8_t* space = in_.grow(kReadChunk);
      ssize_t got = ::recv(fd_, space, kReadChunk, 0);
      const int error = errno;
      in_.truncate(in_.size() - kReadChunk + (got > 0 ? static_cast<std::size_t>(got) : 0));
      if (got > 0) {
        if (static_cast<std::size_t>(got) < kReadChunk) break;
        continue;
      }
      if (got == 0) return lose("the server closed the connection");
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) break;
      return lose(std::strerror(error));
    }
  }
  for (;;) {
    SessionMessage message;
    ParseResult parsed = reader_.peek(in_, message);
    if (parsed == ParseResult::kNeedMore) break;
    if (parsed == ParseResult::kBad) return lose("malformed message from the server");
    if (!handleMessage(message.type, message.payload)) {
      return lose("malformed message from the server");
    }
    if (fd_ < 0) return;
    in_.consume(message.totalLength);
  }
}

bool TunnelSession::handleMessage(std::uint32_t type, std::span<const std::uint8_t> payload) {
  switch (type) {
    case MessageType::TrafficInfo: {
      std::int64_t limit = 0;
      std::int64_t counter = 0;
      return ParseTrafficInfoReply(payload, limit, counter);
    }
    case MessageType::TextMessage: {
      ByteBuffer text;
      session_.decipher(payload, text);
      std::fprintf(stderr, "tarvoclient: message from the administrator: %s\n",
                   Printable(TextUpToNul(text.view())).c_str());
      return true;
    }
    case MessageType::UdpData: {
      UdpDataHeader header;
      if (!ParseUdpDataReply(payload, header)) return false;
      ByteBuffer datagram;
      session_.decipher(header.record, datagram);
      if (listener_)
        listener_->onUdpData(header.channel, header.address, header.port, datagram.view());
      return true;
    }
    case MessageType::Resolve: {
      ByteBuffer plaintext;
      session_.decipher(payload, plaintext);
      std::uint32_t address = 0;
      std::string name;
      if (!ParseResolveAnswer(plaintext.view(), address, name)) return false;
      if (listener_) listener_->onResolved(address, name);
      return true;
    }
    default:
      return true;  // nothing else is meant for a logged-in client
  }
}

}  // namespace tarvo::client
