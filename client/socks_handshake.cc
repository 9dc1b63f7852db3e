#include "client/socks_handshake.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "client/socket_io.h"
#include "client/tcp_relay.h"
#include "client/udp_associate.h"

namespace tarvo::client {

SocksHandshake::SocksHandshake(ProxyServer& server, int fd) : Connection(server), fd_(fd) {}

SocksHandshake::~SocksHandshake() {
  if (fd_ >= 0) {
    server_.loop().forget(fd_);
    ::close(fd_);
  }
}

bool SocksHandshake::start() { return server_.loop().add(fd_, EPOLLIN, this); }

void SocksHandshake::end() {
  if (ended_) return;
  ended_ = true;
  if (fd_ >= 0) {
    server_.loop().forget(fd_);
    ::close(fd_);
    fd_ = -1;
  }
  server_.retire(this);
}

void SocksHandshake::onIo(int, std::uint32_t events) {
  if (ended_) return;
  if (events & EPOLLOUT) return flush();
  if (state_ == State::kReplying) return;
  std::uint8_t bytes[512];
  for (;;) {
    ssize_t got = ::recv(fd_, bytes, sizeof bytes, 0);
    if (got > 0) {
      in_.append(bytes, static_cast<std::size_t>(got));
      if (in_.size() > kMaxHandshake) return end();
      if (static_cast<std::size_t>(got) < sizeof bytes) break;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return end();  // closed or failed before the request was complete
  }
  advance();
}

void SocksHandshake::advance() {
  const ProxyOptions& options = server_.options();
  const bool wantPassword = !options.proxyUser.empty();
  for (;;) {
    std::size_t used = 0;
    switch (state_) {
      case State::kGreeting: {
        socks::Greeting greeting;
        ParseResult parsed = socks::ParseGreeting(in_.view(), greeting, used);
        if (parsed == ParseResult::kNeedMore) return flush();
        if (parsed == ParseResult::kBad) return end();
        in_.consume(used);
        const bool acceptable = wantPassword ? greeting.offersUserPassword : greeting.offersNone;
        if (!acceptable) {
          socks::AppendMethodChoice(out_, socks::kMethodNoneAcceptable);
          state_ = State::kReplying;
          return flush();
        }
        socks::AppendMethodChoice(out_,
                                  wantPassword ? socks::kMethodUserPassword : socks::kMethodNone);
        state_ = wantPassword ? State::kCredentials : State::kRequest;
        break;
      }
      case State::kCredentials: {
        socks::Credentials credentials;
        ParseResult parsed = socks::ParseCredentials(in_.view(), credentials, used);
        if (parsed == ParseResult::kNeedMore) return flush();
        if (parsed == ParseResult::kBad) return end();
        in_.consume(used);
        const bool accepted =
            credentials.user == options.proxyUser && credentials.password == options.proxyPassword;
        socks::AppendAuthResult(out_, accepted);
        if (!accepted) {
          state_ = State::kReplying;
          return flush();
        }
        state_ = State::kRequest;
        break;
      }
      case State::kRequest: {
        socks::Request request;
        ParseResult parsed = socks::ParseRequest(in_.view(), request, used);
        if (parsed == ParseResult::kNeedMore) return flush();
        if (parsed == ParseResult::kBad) return replyAndEnd(socks::Reply::kGeneralFailure);
        in_.consume(used);
        if (request.command != static_cast<std::uint8_t>(socks::Command::kConnect) &&
            request.command != static_cast<std::uint8_t>(socks::Command::kUdpAssociate)) {
          return replyAndEnd(socks::Reply::kCommandNotSupported);
        }
        if (request.destination.type == socks::AddressType::kIPv6) {
          return replyAndEnd(socks::Reply::kAddressTypeNotSupported);
        }
        if (!server_.tunnel().up()) return replyAndEnd(socks::Reply::kNetworkUnreachable);
        // The method choice still waiting in out_ goes ahead of everything the next owner sends.
        server_.loop().handOver(fd_);  // the next owner's add takes it over
        const int fd = fd_;
        fd_ = -1;
        std::unique_ptr<Connection> next;
        if (request.command == static_cast<std::uint8_t>(socks::Command::kConnect)) {
          next = std::make_unique<TcpRelay>(server_, fd, std::move(out_), std::move(in_),
                                            request.destination);
        } else {
          next =
              std::make_unique<UdpAssociation>(server_, fd, std::move(out_), request.destination);
        }
        end();
        server_.adopt(std::move(next));
        return;
      }
      case State::kReplying:
        return flush();
    }
  }
}

void SocksHandshake::replyAndEnd(socks::Reply reply) {
  socks::AppendReply(out_, reply);
  state_ = State::kReplying;
  flush();
}

void SocksHandshake::flush() {
  switch (SendQueued(fd_, out_)) {
    case SendResult::kFailed:
      return end();
    case SendResult::kBlocked:
      return server_.loop().setInterest(fd_, EPOLLOUT);
    case SendResult::kAllSent:
      break;
  }
  if (state_ == State::kReplying) return end();
  server_.loop().setInterest(fd_, EPOLLIN);
}

}  // namespace tarvo::client
