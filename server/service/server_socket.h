// The destination side of one TCP relay: connects to the destination the client named, sends
// it the plaintext that its ClientSocket deciphers, and turns what it reads into cipher records
// for the client. Owned by the session and listed in its relays; writes the relay's "connect"
// and "disconnect" rows and tells an attached console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "external/aes_block.h"
#include "server/common/encryption.h"
#include "server/service/socket.h"

namespace tarvo {

class ClientSocket;
class UserSocket;

// A side reads only while the queue it feeds holds less than this.
inline constexpr std::size_t kRelayQueueLimit = 65536;
// The plaintext of one record from a destination: the largest whole number of cipher units a
// record can carry (65535 at most), so a full record needs no padding.
inline constexpr std::size_t kRelayReadChunk = 65504;
// One read from either side: several records' worth, so that a busy relay makes few calls.
inline constexpr std::size_t kRelayReadSize = 4 * kRelayReadChunk;
// Reads per readiness report, and refills per send: a busy relay yields to the others.
inline constexpr int kRelayRoundsPerEvent = 4;

class ServerSocket : public TcpSocket {
 public:
  // A new stream socket for address (IPv4, network order) and port (host order); nothing is
  // sent until start(). Joins the session's relay list.
  ServerSocket(UserSocket& session, ClientSocket* partner, std::uint32_t address,
               std::uint16_t port);
  // Leaves the relay list; "connect" "fail" while still connecting, else "disconnect"; the
  // partner flushes and ends.
  ~ServerSocket() override;

  // Starts the connection; false when it failed at once (the socket is then still Connecting,
  // so deleting it writes the failure).
  bool start();

  std::uint32_t destinationAddress() const { return address_; }  // network order
  std::uint16_t destinationPort() const { return port_; }        // host order
  std::uint16_t localPort() const { return localPort_; }         // source port, host order
  bool connected() const { return connected_; }
  UserSocket& session() const { return session_; }

  bool wantRead() override;
  bool onRead() override;
  bool onWrite() override;
  bool onExcept() override;
  void onConnected() override;
  void onConnectFailed() override {}
  bool onData(std::span<const std::uint8_t> bytes) override;

 private:
  friend class ClientSocket;
  // Reads what the destination has into records on the partner's queue, while that queue is
  // below its limit. False on a socket error.
  bool readDestination();
  // Sends what is queued at once, without waiting for another pass of the loop.
  void sendNow();
  void notify(std::uint32_t code) const;

  UserSocket& session_;
  ClientSocket* partner_;
  AesUnitCipher cipher_;
  std::uint32_t address_;
  std::uint16_t port_;
  std::uint16_t localPort_ = 0;
  bool connected_ = false;
};

}  // namespace tarvo
