#include "server/common/tls_stream.h"

#include <openssl/err.h>

#include <cerrno>
#include <climits>

namespace tarvo {

namespace {

// Four records of the most plaintext TLS carries, each with the most a record adds.
constexpr std::size_t kReadAheadBytes =
    4 * (SSL3_RT_MAX_PLAIN_LENGTH + SSL3_RT_MAX_ENCRYPTED_OVERHEAD);

}  // namespace

TlsStream::TlsStream(SSL_CTX* ctx, int handle, Role role) : ssl_(ctx != nullptr ? SSL_new(ctx) : nullptr) {
  if (ssl_ == nullptr) return;
  if (SSL_set_fd(ssl_, handle) != 1) {
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  if (role == Role::kServer) {
    SSL_set_accept_state(ssl_);
  } else {
    SSL_set_connect_state(ssl_);
  }
  SSL_set_read_ahead(ssl_, 1);
  // Read-ahead takes what the socket holds up to the buffer's size: room for four full records
  // makes one recv per 64 KiB of a transfer instead of one per record.
  SSL_set_default_read_buffer_len(ssl_, kReadAheadBytes);
  // A write returns what went out record by record, and its retry may come from a queue that
  // has grown (and moved) meanwhile. The buffers are freed while empty, so an idle relay holds
  // none of them.
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                         SSL_MODE_RELEASE_BUFFERS);
}

TlsStream::~TlsStream() {
  if (ssl_ != nullptr) SSL_free(ssl_);
}

bool TlsStream::handshakeDone() const { return SSL_is_init_finished(ssl_) == 1; }

bool TlsStream::handshake() {
  handshakeWantsWrite_ = false;
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) return true;
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    handshakeWantsWrite_ = error == SSL_ERROR_WANT_WRITE;
    errno = EAGAIN;
    return false;
  }
  // The peer's key, a cut connection or bytes that are not TLS: nothing to retry.
  ERR_clear_error();
  errno = EPROTO;
  return false;
}

ssize_t TlsStream::read(void* into, std::size_t size) {
  readWantsWrite_ = false;
  const int asked = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int result = SSL_read(ssl_, into, asked);
  pending_ = result > 0 && SSL_has_pending(ssl_) == 1;
  if (result > 0) return result;
  return fail(result, true);
}

ssize_t TlsStream::write(const void* bytes, std::size_t size) {
  writeWantsRead_ = false;
  if (size == 0) return 0;
  const int asked = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int result = SSL_write(ssl_, bytes, asked);
  if (result > 0) return result;
  return fail(result, false);
}

ssize_t TlsStream::fail(int result, bool reading) {
  const int error = SSL_get_error(ssl_, result);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      if (!reading) writeWantsRead_ = true;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_WANT_WRITE:
      if (reading) readWantsWrite_ = true;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:  // close_notify: the peer's clean end
      if (reading) return 0;
      errno = EPIPE;
      return -1;
    case SSL_ERROR_SYSCALL:
      // errno is the socket's; a close without close_notify leaves it 0.
      if (errno == 0 || errno == EAGAIN || errno == EWOULDBLOCK) errno = ECONNRESET;
      ERR_clear_error();
      return -1;
    default:
      // A record that does not authenticate, a handshake failure: the connection is over.
      ERR_clear_error();
      errno = EPROTO;
      return -1;
  }
}

void TlsStream::shutdown() {
  if (shut_ || ssl_ == nullptr) return;
  shut_ = true;
  // Only after a completed handshake; an unanswered one ends with the socket.
  if (handshakeDone()) SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace tarvo
