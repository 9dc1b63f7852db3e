// The client side of one TCP relay: a data connection matched to a session. It reads the
// 8-byte destination header, makes the ServerSocket, and then deciphers the client's records
// into plaintext for the destination and sends the client the records its partner makes.
// Owned by the session.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "server/common/encryption.h"
#include "server/service/socket.h"

namespace tarvo {

class ServerSocket;
class UserSocket;

class ClientSocket : public TcpSocket {
 public:
  // Takes the accepted data connection over; starts awaiting the destination header.
  ClientSocket(UserSocket& session, int handle);
  // The partner flushes and ends.
  ~ClientSocket() override;

  ServerSocket* partner() const { return partner_; }
  UserSocket& session() const { return session_; }

  bool wantRead() override;
  bool onRead() override;
  bool onWrite() override;
  void onConnected() override {}
  void onConnectFailed() override {}
  bool onData(std::span<const std::uint8_t> bytes) override;

 private:
  friend class ServerSocket;
  bool readHeader();
  // Deciphers what the client has sent into the partner's queue, while that queue is below
  // its limit. False on a socket error.
  bool readRecords();
  // Sends what is queued at once, without waiting for another pass of the loop.
  void sendNow();

  UserSocket& session_;
  ServerSocket* partner_ = nullptr;
  std::unique_ptr<AESDecryptor> decryptor_;
  std::uint8_t header_[8] = {};
  std::size_t headerSize_ = 0;
};

}  // namespace tarvo
