// A SOCKS CONNECT carried over one data connection to the daemon: the opening (kind 1, the
// session id, the destination header), then cipher records both ways; over v2, a TLS connection
// resuming the session, the relay's opening frame, the destination header, then the bytes. The daemon says nothing
// when it reaches the destination and closes the data connection when it cannot, so the relay
// waits a moment for that verdict before it answers the client (unless the destination was
// reached lately). Each direction's queue is bounded: a side is read only while the queue it
// feeds is below kQueueLimit.
#pragma once

#include <cstdint>
#include <memory>

#include "client/proxy_server.h"
#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"
#include "server/common/tls_stream.h"

namespace tarvo::client {

class TcpRelay : public Connection {
 public:
  static constexpr std::size_t kQueueLimit = 256 * 1024;

  // toClient: bytes already owed to the client (the method choice); early: bytes the client
  // sent after its request.
  TcpRelay(ProxyServer& server, int clientFd, ByteBuffer toClient, ByteBuffer early,
           socks::Address destination);
  ~TcpRelay() override;

  bool start() override;
  void onIo(int fd, std::uint32_t events) override;
  void end() override;

 private:
  // kHandshaking: over v2, TLS with the daemon after the TCP connect.
  enum class State { kResolving, kConnecting, kHandshaking, kAwaitingVerdict, kRelaying, kFailing };

  void resolved(bool found, std::uint32_t address);
  void connectDaemon();
  void continueHandshake();
  // The daemon has the relay's opening: wait for its verdict on the destination.
  void awaitVerdict();
  void answer(socks::Reply reply);
  // Bytes from the SOCKS client toward the daemon: records over v1, as they are over v2.
  void toDaemonAppend(const std::uint8_t* bytes, std::size_t size);
  void readClient();
  void readDaemon(bool drain);
  // Sends what it can of queue on fd; false after a send error (the relay has ended).
  bool flush(int fd, ByteBuffer& queue);
  // The same toward the daemon, through TLS over v2.
  bool flushDaemon();
  ssize_t receiveDaemon(std::uint8_t* into, std::size_t size);
  void progress();
  std::uint32_t daemonInterest() const;

  int clientFd_;
  int daemonFd_ = -1;
  State state_ = State::kResolving;
  socks::Address destination_;
  std::uint32_t address_ = 0;
  std::uint64_t generation_ = 0;
  ByteBuffer toClient_;  // plaintext
  ByteBuffer toDaemon_;  // records
  ByteBuffer early_;
  // Over v2 the daemon's side is TLS and the bytes travel in it as they are; over v1 the
  // ciphers make them records.
  std::unique_ptr<TlsStream> tls_;
  std::unique_ptr<AESEncryptor> encryptor_;
  std::unique_ptr<AESDecryptor> decryptor_;
  bool clientEof_ = false;
  bool daemonEof_ = false;
  bool daemonShut_ = false;
  bool heardFromDaemon_ = false;
  EventLoop::TimerId verdictTimer_ = 0;
};

}  // namespace tarvo::client
