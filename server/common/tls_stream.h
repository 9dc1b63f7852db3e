// A TLS 1.3 connection on a socket a loop watches (protocol v2): the daemon's side of an
// accepted, non-blocking descriptor, or tarvoclient's side of one it connects. Reads and writes behave as recv and send do (bytes, 0 at
// the peer's close_notify, -1 with errno EAGAIN when OpenSSL waits for the socket, another
// errno on failure), so a session or a relay end takes one branch per call and keeps its own
// logic. Because OpenSSL reads ahead, bytes may wait inside it that epoll never reports:
// pending() says so, and the loop serves such a socket without waiting (Socket's Buffered
// flag).
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
  // Bytes a read may return without the socket: OpenSSL reads ahead (several records in one
  // recv), and what it holds epoll never reports. True after a read that left bytes inside
  // OpenSSL, until a read finds it needs the socket (one call at most when they were only the
  // start of a record).
  bool pending() const { return pending_; }
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
  bool pending_ = false;
  bool handshakeWantsWrite_ = false;
  bool readWantsWrite_ = false;
  bool writeWantsRead_ = false;
  bool shut_ = false;
};

}  // namespace tarvo
