// A TLS connection joined to a plain descriptor (one end of a socketpair), both non-blocking:
// the handshake, then application bytes both ways, then the closes, each passed on to the other
// side. It has no loop of its own: the owner calls step() on any readiness of either descriptor
// and watches what the want queries say. Before a plain descriptor is attached, bytes from the
// peer wait in received() for the owner to read the opening frame.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <span>

#include "server/common/byte_buffer.h"

namespace tarvo {

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using UniqueSsl = std::unique_ptr<SSL, SslDeleter>;

class TlsPipe {
 public:
  // Takes ssl, already set to its role and given tlsFd (which the pipe does not own).
  TlsPipe(UniqueSsl ssl, int tlsFd);

  // All progress that can be made without blocking.
  void step();

  bool handshakeDone() const { return state_ != State::kHandshake; }
  // The TLS connection failed (a handshake failure, a record that does not authenticate, a
  // close without close_notify) or a descriptor failed: nothing more is moved.
  bool failed() const { return state_ == State::kFailed; }
  // Both ways have ended and what was owed is sent (or it failed).
  bool finished() const;

  SSL* ssl() const { return ssl_.get(); }
  // Bytes from the peer not yet passed on.
  ByteBuffer& received() { return fromTls_; }
  bool peerClosed() const { return tlsEof_; }
  // Bytes for the peer.
  void send(std::span<const std::uint8_t> bytes);
  // From now on the peer's bytes go to plainFd (not owned) and its bytes to the peer; its end
  // closes the TLS connection with close_notify.
  void attachPlain(int plainFd);
  // Ends the TLS connection with close_notify after what is queued (a refused opening).
  void close();

  bool wantTlsRead() const;
  bool wantTlsWrite() const;
  bool wantPlainRead() const;
  bool wantPlainWrite() const;

 private:
  enum class State { kHandshake, kOpen, kFailed };
  // Each returns true when it moved something.
  bool readTls();
  bool writeTls();
  bool readPlain();
  bool writePlain();
  void shutdownTls();
  void fail() { state_ = State::kFailed; }

  UniqueSsl ssl_;
  int tlsFd_;
  int plainFd_ = -1;
  State state_ = State::kHandshake;
  ByteBuffer fromTls_;
  ByteBuffer toTls_;
  bool tlsNeedsWrite_ = false;  // OpenSSL asked to be called again when the socket takes more
  bool tlsEof_ = false;         // close_notify came
  bool plainEof_ = false;       // the plain side ended (or close() was asked)
  bool plainShut_ = false;      // the peer's close passed on to the plain side
  bool tlsShut_ = false;        // close_notify sent
};

}  // namespace tarvo
