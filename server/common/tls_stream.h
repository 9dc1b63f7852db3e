// A TLS 1.3 connection on a socket a loop watches (protocol v2): the daemon's side of an
// accepted, non-blocking descriptor, or tarvoclient's side of one it connects. Reads and writes behave as recv and send do (bytes, 0 at
// the peer's close_notify, -1 with errno EAGAIN when OpenSSL waits for the socket, another
// errno on failure), so a session or a relay end takes one branch per call and keeps its own
// logic. Because OpenSSL reads whole records, bytes may wait inside it that epoll never
// reports: pending() says so, and the loop serves such a socket without waiting (Socket's
// Buffered flag).
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>

namespace tarvo {

class TlsStream {
 public:
  enum class Role { kServer, kClient };
  // handle: the connection (not owned); ctx a context for role.
  TlsStream(SSL_CTX* ctx, int handle, Role role = Role::kServer);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  bool valid() const { return ssl_ != nullptr; }
  SSL* ssl() const { return ssl_; }
  bool handshakeDone() const;
  // Steps the handshake: true once it is done; false with errno EAGAIN while it waits for the
  // socket (handshakeWantsWrite says which way), another errno when it failed.
  bool handshake();
  bool handshakeWantsWrite() const { return handshakeWantsWrite_; }

  ssize_t read(void* into, std::size_t size);
  ssize_t write(const void* bytes, std::size_t size);
  // Deciphered bytes that a read returns without the socket. Not SSL_has_pending: that counts
  // a record still arriving, which only the socket completes (and epoll reports). Without
  // read-ahead OpenSSL takes no record past the one it deciphers.
  bool pending() const { return SSL_pending(ssl_) > 0; }
  // The last read waits until the socket takes bytes, or the last write until it has some
  // (a handshake message or key update in the way): the loop watches for that too.
  bool readWantsWrite() const { return readWantsWrite_; }
  bool writeWantsRead() const { return writeWantsRead_; }
  // Sends close_notify once, without waiting for the peer's (the socket closes next).
  void shutdown();

 private:
  // errno for an SSL call that returned result <= 0; returns -1 (or 0 at close_notify).
  ssize_t fail(int result, bool reading);

  SSL* ssl_;
  bool handshakeWantsWrite_ = false;
  bool readWantsWrite_ = false;
  bool writeWantsRead_ = false;
  bool shut_ = false;
};

}  // namespace tarvo
