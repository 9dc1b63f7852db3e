#include "client/tcp_relay.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "client/socket_io.h"
#include "client/v2_connector.h"

namespace tarvo::client {
namespace {

void CloseFd(EventLoop& loop, int& fd) {
  if (fd < 0) return;
  loop.forget(fd);  // closing takes it out of the epoll set
  ::close(fd);
  fd = -1;
}

}  // namespace

TcpRelay::TcpRelay(ProxyServer& server, int clientFd, ByteBuffer toClient, ByteBuffer early,
                   socks::Address destination)
    : Connection(server),
      clientFd_(clientFd),
      destination_(std::move(destination)),
      toClient_(std::move(toClient)),
      early_(std::move(early)) {}

TcpRelay::~TcpRelay() {
  server_.loop().cancelTimer(verdictTimer_);
  CloseFd(server_.loop(), clientFd_);
  CloseFd(server_.loop(), daemonFd_);
}

void TcpRelay::end() {
  if (ended_) return;
  ended_ = true;
  server_.loop().cancelTimer(verdictTimer_);
  verdictTimer_ = 0;
  CloseFd(server_.loop(), clientFd_);
  CloseFd(server_.loop(), daemonFd_);
  server_.retire(this);
}

bool TcpRelay::start() {
  // The handshake handed the connection over still in the epoll set (and with TCP_NODELAY from
  // the listener): this add only changes its owner.
  if (!server_.loop().add(clientFd_, 0, this)) return false;
  if (destination_.type == socks::AddressType::kIPv4) {
    resolved(true, destination_.ipv4);
    return !ended_;
  }
  bool found = false;
  std::uint32_t address = 0;
  ProxyServer& server = server_;
  const std::uint64_t id = this->id();
  if (server_.names().lookup(destination_.host, found, address,
                             [&server, id](bool ok, std::uint32_t resolvedAddress) {
                               // The relay may have ended while the name was looked up.
                               if (auto* relay = dynamic_cast<TcpRelay*>(server.find(id))) {
                                 relay->resolved(ok, resolvedAddress);
                               }
                             })) {
    resolved(found, address);
  }
  return !ended_;
}

void TcpRelay::resolved(bool found, std::uint32_t address) {
  if (ended_ || state_ != State::kResolving) return;
  if (!found) return answer(socks::Reply::kHostUnreachable);
  address_ = address;
  connectDaemon();
}

void TcpRelay::connectDaemon() {
  TunnelSession& tunnel = server_.tunnel();
  if (!tunnel.up()) return answer(socks::Reply::kNetworkUnreachable);
  generation_ = tunnel.generation();
  if (V2Connector* v2 = tunnel.v2()) {
    tls_ = v2->openRelay(daemonFd_);
    if (tls_ == nullptr) return answer(socks::Reply::kGeneralFailure);
  } else {
    daemonFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (daemonFd_ < 0) return answer(socks::Reply::kGeneralFailure);
    int on = 1;
    ::setsockopt(daemonFd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in& daemon = tunnel.daemonAddress();
    int rc = ::connect(daemonFd_, reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon);
    if (rc != 0 && errno != EINPROGRESS) return answer(socks::Reply::kGeneralFailure);
  }
  const std::string& key = tunnel.keyText();
  // Over v2 TLS already protects the bytes: they travel as they are.
  if (tunnel.v2() == nullptr) {
    encryptor_ = std::make_unique<AESEncryptor>(key.c_str(), static_cast<int>(key.size()));
    decryptor_ = std::make_unique<AESDecryptor>(key.c_str(), static_cast<int>(key.size()));
  }
  if (tunnel.v2() == nullptr) AppendDataOpening(toDaemon_, tunnel.sessionId());
  AppendDestinationHeader(toDaemon_, address_, destination_.port);
  if (!early_.empty()) toDaemonAppend(early_.data(), early_.size());
  early_.release();
  state_ = State::kConnecting;
  if (!server_.loop().add(daemonFd_, EPOLLOUT, this)) return answer(socks::Reply::kGeneralFailure);
}

void TcpRelay::continueHandshake() {
  if (!tls_->handshake()) {
    if (errno != EAGAIN) return answer(socks::Reply::kGeneralFailure);
    return progress();
  }
  // The relay's opening goes first, ahead of the destination header and early bytes queued.
  ByteBuffer opening;
  if (!server_.tunnel().v2()->relayOpening(tls_->ssl(), opening)) {
    return answer(socks::Reply::kGeneralFailure);
  }
  opening.append(toDaemon_.data(), toDaemon_.size());
  toDaemon_ = std::move(opening);
  awaitVerdict();
}

void TcpRelay::awaitVerdict() {
  state_ = State::kAwaitingVerdict;
  if (server_.recentlyReached(address_, destination_.port)) {
    return answer(socks::Reply::kSucceeded);
  }
  ProxyServer& server = server_;
  const std::uint64_t id = this->id();
  verdictTimer_ = server_.loop().addTimer(server_.options().connectVerdictWait, [&server, id] {
    if (auto* relay = dynamic_cast<TcpRelay*>(server.find(id))) {
      relay->verdictTimer_ = 0;
      if (relay->state_ == State::kAwaitingVerdict) relay->answer(socks::Reply::kSucceeded);
    }
  });
  progress();
}

// Success starts the relay; any other reply is sent and then the connection ends.
void TcpRelay::answer(socks::Reply reply) {
  if (ended_) return;
  server_.loop().cancelTimer(verdictTimer_);
  verdictTimer_ = 0;
  socks::AppendReply(toClient_, reply);
  if (reply == socks::Reply::kSucceeded) {
    state_ = State::kRelaying;
  } else {
    state_ = State::kFailing;
    CloseFd(server_.loop(), daemonFd_);
  }
  progress();
}

void TcpRelay::onIo(int fd, std::uint32_t events) {
  if (ended_) return;
  if (fd == daemonFd_) {
    if (state_ == State::kConnecting) {
      if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(daemonFd_, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return answer(socks::Reply::kGeneralFailure);
      if (tls_ != nullptr) {
        state_ = State::kHandshaking;
        return continueHandshake();
      }
      return awaitVerdict();
    }
    if (state_ == State::kHandshaking) return continueHandshake();
    // A hang-up is reported whatever the interest: read to the end now, past the queue limit
    // (the kernel's buffer bounds it), or the loop would be woken again and again.
    const bool readable = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 ||
                          (tls_ != nullptr && tls_->readWantsWrite() && (events & EPOLLOUT));
    if (readable) readDaemon((events & (EPOLLHUP | EPOLLERR)) != 0);
  } else if (fd == clientFd_) {
    // We never shut the client's side down, so a hang-up there is a reset: nothing more can
    // be delivered either way.
    if (events & (EPOLLHUP | EPOLLERR)) return end();
    if (events & EPOLLIN) readClient();
  }
  if (!ended_) progress();
}

void TcpRelay::toDaemonAppend(const std::uint8_t* bytes, std::size_t size) {
  if (encryptor_ != nullptr) {
    encryptor_->transformAppend(bytes, size, toDaemon_);
  } else {
    toDaemon_.append(bytes, size);
  }
}

void TcpRelay::readClient() {
  if (state_ != State::kRelaying) return;
  std::uint8_t* buffer = server_.scratch();
  while (!clientEof_ && toDaemon_.size() < kQueueLimit) {
    ssize_t got = ::recv(clientFd_, buffer, ProxyServer::kScratchSize, 0);
    if (got > 0) {
      toDaemonAppend(buffer, static_cast<std::size_t>(got));
      if (static_cast<std::size_t>(got) < ProxyServer::kScratchSize) break;
    } else if (got == 0) {
      clientEof_ = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      break;
    } else {
      return end();
    }
  }
}

void TcpRelay::readDaemon(bool drain) {
  std::uint8_t* buffer = server_.scratch();
  while (!daemonEof_ && (drain || toClient_.size() < kQueueLimit)) {
    ssize_t got = receiveDaemon(buffer, ProxyServer::kScratchSize);
    if (got > 0) {
      if (!heardFromDaemon_) {
        heardFromDaemon_ = true;
        server_.markReached(address_, destination_.port);
      }
      if (state_ == State::kAwaitingVerdict) answer(socks::Reply::kSucceeded);
      if (ended_) return;
      if (decryptor_ != nullptr) {
        decryptor_->transformAppend(buffer, static_cast<std::size_t>(got), toClient_);
      } else {
        toClient_.append(buffer, static_cast<std::size_t>(got));
      }
      // A short read emptied the socket; over TLS, a record with nothing behind it inside
      // OpenSSL emptied what the last recv brought, and the loop reports the socket again if
      // more came.
      if (!drain && static_cast<std::size_t>(got) < ProxyServer::kScratchSize &&
          (tls_ == nullptr || !tls_->pending())) {
        break;
      }
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      // Closed before a byte came back while the verdict was open: the daemon could not reach
      // the destination (it tells a failed connect in no other way).
      if (state_ == State::kAwaitingVerdict) return answer(socks::Reply::kConnectionRefused);
      daemonEof_ = true;
    } else if (errno != EINTR) {
      break;
    }
  }
}

ssize_t TcpRelay::receiveDaemon(std::uint8_t* into, std::size_t size) {
  if (tls_ != nullptr) return tls_->read(into, size);
  return ::recv(daemonFd_, into, size, 0);
}

bool TcpRelay::flushDaemon() {
  if (tls_ == nullptr) return flush(daemonFd_, toDaemon_);
  while (!toDaemon_.empty()) {
    const ssize_t sent = tls_->write(toDaemon_.data(), toDaemon_.size());
    if (sent > 0) {
      toDaemon_.consume(static_cast<std::size_t>(sent));
    } else if (errno != EAGAIN) {
      end();
      return false;
    } else {
      break;
    }
  }
  return true;
}

bool TcpRelay::flush(int fd, ByteBuffer& queue) {
  if (SendQueued(fd, queue) != SendResult::kFailed) return true;
  end();
  return false;
}

void TcpRelay::progress() {
  if (ended_) return;
  // Bytes TLS has taken from the socket but not handed out: epoll will not report them again.
  if (tls_ != nullptr && !daemonEof_ && toClient_.size() < kQueueLimit &&
      (state_ == State::kAwaitingVerdict || state_ == State::kRelaying) &&
      tls_->pending()) {
    readDaemon(false);
    if (ended_) return;
  }
  const bool daemonOpen = state_ != State::kConnecting && state_ != State::kHandshaking;
  if (!toClient_.empty() && !flush(clientFd_, toClient_)) return;
  if (daemonFd_ >= 0 && daemonOpen && !toDaemon_.empty() && !flushDaemon()) return;
  // A relay of an earlier session is gone at the daemon: end it with its session.
  if (daemonFd_ >= 0 && generation_ != server_.tunnel().generation()) return end();
  if (state_ == State::kFailing) {
    if (toClient_.empty())
      end();
    else
      server_.loop().setInterest(clientFd_, EPOLLOUT);
    return;
  }
  // The daemon ended the relay: hand the client what is left, then close.
  if (daemonEof_) {
    if (toClient_.empty()) return end();
    CloseFd(server_.loop(), daemonFd_);
  }
  // The client is done sending: pass that on once its last bytes are out.
  if (clientEof_ && toDaemon_.empty() && !daemonShut_ && state_ == State::kRelaying) {
    if (tls_ != nullptr) tls_->shutdown();
    ::shutdown(daemonFd_, SHUT_WR);
    daemonShut_ = true;
  }
  std::uint32_t client = toClient_.empty() ? 0u : EPOLLOUT;
  if (state_ == State::kRelaying && !clientEof_ && toDaemon_.size() < kQueueLimit) {
    client |= EPOLLIN;
  }
  server_.loop().setInterest(clientFd_, client);
  if (daemonFd_ >= 0) server_.loop().setInterest(daemonFd_, daemonInterest());
}

std::uint32_t TcpRelay::daemonInterest() const {
  if (state_ == State::kConnecting) return EPOLLOUT;
  if (state_ == State::kHandshaking) return tls_->handshakeWantsWrite() ? EPOLLOUT : EPOLLIN;
  std::uint32_t events = 0;
  if (!toDaemon_.empty()) events |= EPOLLOUT;
  if (!daemonEof_ && toClient_.size() < kQueueLimit) events |= EPOLLIN;
  // A key update in the way: a write that waits for a read, or the other way round.
  if (tls_ != nullptr && tls_->writeWantsRead() && !toDaemon_.empty()) events |= EPOLLIN;
  if (tls_ != nullptr && tls_->readWantsWrite()) events |= EPOLLOUT;
  return events;
}

}  // namespace tarvo::client
