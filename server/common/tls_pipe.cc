#include "server/common/tls_pipe.h"

#include <openssl/err.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace tarvo {

namespace {

// Bytes that may wait in each direction before the side that feeds it stops being read.
constexpr std::size_t kPipeLimit = 256 << 10;
constexpr std::size_t kReadChunk = 16384;
// Rounds per step: a busy pipe yields to the loop's other descriptors.
constexpr int kRoundsPerStep = 64;

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace

TlsPipe::TlsPipe(UniqueSsl ssl, int tlsFd) : ssl_(std::move(ssl)), tlsFd_(tlsFd) {
  SSL_set_mode(ssl_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

bool TlsPipe::finished() const {
  return state_ == State::kFailed || (tlsShut_ && toTls_.empty() && !tlsNeedsWrite_);
}

void TlsPipe::send(std::span<const std::uint8_t> bytes) { toTls_.append(bytes.data(), bytes.size()); }

void TlsPipe::attachPlain(int plainFd) { plainFd_ = plainFd; }

void TlsPipe::close() { plainEof_ = true; }

void TlsPipe::step() {
  if (state_ == State::kHandshake) {
    tlsNeedsWrite_ = false;
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_.get());
    if (result != 1) {
      const int error = SSL_get_error(ssl_.get(), result);
      if (error == SSL_ERROR_WANT_WRITE) tlsNeedsWrite_ = true;
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) fail();
      return;
    }
    state_ = State::kOpen;
  }
  tlsNeedsWrite_ = false;
  for (int round = 0; round < kRoundsPerStep && state_ == State::kOpen; ++round) {
    bool moved = false;
    if (!tlsEof_ && fromTls_.size() < kPipeLimit) moved |= readTls();
    if (plainFd_ >= 0 && !fromTls_.empty()) moved |= writePlain();
    if (plainFd_ >= 0 && tlsEof_ && fromTls_.empty() && !plainShut_) {
      ::shutdown(plainFd_, SHUT_WR);
      plainShut_ = true;
    }
    if (plainFd_ >= 0 && !plainEof_ && toTls_.size() < kPipeLimit) moved |= readPlain();
    if (!toTls_.empty()) moved |= writeTls();
    if (plainEof_ && toTls_.empty() && !tlsShut_) shutdownTls();
    if (!moved) break;
  }
}

bool TlsPipe::readTls() {
  std::uint8_t* space = fromTls_.grow(kReadChunk);
  ERR_clear_error();
  const int got = SSL_read(ssl_.get(), space, static_cast<int>(kReadChunk));
  fromTls_.truncate(fromTls_.size() - kReadChunk + static_cast<std::size_t>(std::max(got, 0)));
  if (got > 0) return true;
  switch (SSL_get_error(ssl_.get(), got)) {
    case SSL_ERROR_WANT_READ:
      return false;
    case SSL_ERROR_WANT_WRITE:
      tlsNeedsWrite_ = true;
      return false;
    case SSL_ERROR_ZERO_RETURN:
      tlsEof_ = true;
      return true;
    default:
      // A record that does not authenticate, or the connection cut without close_notify: what
      // came after the last good record is not passed on.
      fail();
      return false;
  }
}

bool TlsPipe::writeTls() {
  ERR_clear_error();
  const int chunk = static_cast<int>(std::min<std::size_t>(toTls_.size(), 4 * kReadChunk));
  const int sent = SSL_write(ssl_.get(), toTls_.data(), chunk);
  if (sent > 0) {
    toTls_.consume(static_cast<std::size_t>(sent));
    return true;
  }
  switch (SSL_get_error(ssl_.get(), sent)) {
    case SSL_ERROR_WANT_WRITE:
      tlsNeedsWrite_ = true;
      return false;
    case SSL_ERROR_WANT_READ:
      return false;
    default:
      fail();
      return false;
  }
}

bool TlsPipe::readPlain() {
  std::uint8_t* space = toTls_.grow(kReadChunk);
  ssize_t got;
  do {
    got = ::recv(plainFd_, space, kReadChunk, 0);
  } while (got < 0 && errno == EINTR);
  const int error = errno;
  toTls_.truncate(toTls_.size() - kReadChunk + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  if (got > 0) return true;
  if (got == 0) {
    plainEof_ = true;
    return true;
  }
  errno = error;
  if (WouldBlock()) return false;
  // The inner side failed: the peer gets the same close as at its end.
  plainEof_ = true;
  return true;
}

bool TlsPipe::writePlain() {
  ssize_t sent;
  do {
    sent = ::send(plainFd_, fromTls_.data(), fromTls_.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent > 0) {
    fromTls_.consume(static_cast<std::size_t>(sent));
    return true;
  }
  if (sent < 0 && WouldBlock()) return false;
  // The inner side has gone: nothing it would have said can come any more.
  fromTls_.clear();
  tlsEof_ = true;
  plainShut_ = true;
  plainEof_ = true;
  return true;
}

void TlsPipe::shutdownTls() {
  ERR_clear_error();
  const int result = SSL_shutdown(ssl_.get());
  if (result < 0 && SSL_get_error(ssl_.get(), result) == SSL_ERROR_WANT_WRITE) {
    tlsNeedsWrite_ = true;
    return;
  }
  tlsShut_ = true;
  ::shutdown(tlsFd_, SHUT_WR);
  // A connection ends as a whole, as the relays do: what the peer still sends has nowhere to go.
  tlsEof_ = true;
  if (plainFd_ >= 0 && !plainShut_) ::shutdown(plainFd_, SHUT_WR);
  plainShut_ = true;
}

bool TlsPipe::wantTlsRead() const {
  if (state_ == State::kFailed) return false;
  if (state_ == State::kHandshake) return !tlsNeedsWrite_;
  return !tlsEof_ && fromTls_.size() < kPipeLimit;
}

bool TlsPipe::wantTlsWrite() const {
  if (state_ == State::kFailed) return false;
  return tlsNeedsWrite_ || (state_ == State::kOpen && !toTls_.empty());
}

bool TlsPipe::wantPlainRead() const {
  return state_ == State::kOpen && plainFd_ >= 0 && !plainEof_ && toTls_.size() < kPipeLimit;
}

bool TlsPipe::wantPlainWrite() const {
  return state_ == State::kOpen && plainFd_ >= 0 && !fromTls_.empty();
}

}  // namespace tarvo
