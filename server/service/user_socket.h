// A client's session connection: announces the accepted versions (Hello), takes the login,
// then serves the framed session messages. Owned by the acceptor; owns its relays.
// A session logs in once: a second Login ends it without a reply, so it never changes its user
// and sits in the session list at most once. Once Closing is set (a refused login, the
// administrator's disconnect) no further message is handled.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"
#include "server/common/session_protocol.h"
#include "server/service/session_relays.h"
#include "server/service/socket.h"

namespace tarvo {

// A session that sends nothing for this long is deleted; any message keeps it alive.
inline constexpr std::int64_t kIdleTimeoutSeconds = 30;
// Pending traffic is stored when more than this has passed since the last store.
inline constexpr std::int64_t kStoreIntervalSeconds = 10;
// A session is not read while this much waits to be sent to its client: a client that sends
// requests and never reads the answers would otherwise grow the queue without end (and then
// falls to the idle rule). Far above what its datagrams and answers queue in normal use.
inline constexpr std::size_t kMaxSessionOutput = std::size_t{4} << 20;

// Seconds of a clock that never jumps, for the time-outs of connections and sessions: a change
// of the wall clock must neither end every session nor keep idle ones forever.
inline std::int64_t MonotonicSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class UserSocket : public TcpSocket {
 public:
  // Takes the connection over (owner: the acceptor) and queues Hello.
  UserSocket(int handle, Socket* owner);
  // Ends the session: relays first, then the close row and notification, then the list entry.
  ~UserSocket() override;

  // Periodic work (idle time-out, traffic accounting), then true unless Closing.
  bool wantRead() override;
  bool wantExcept() override { return true; }
  bool onExcept() override { return false; }
  bool onData(std::span<const std::uint8_t> bytes) override;
  void onConnected() override {}
  void onConnectFailed() override {}

  // Appends a framed message (8-byte header and payload) to the outgoing queue.
  void queueMessage(std::uint32_t type, std::span<const std::uint8_t> payload = {});

  bool loggedIn() const { return name_.has_value(); }
  // Empty until the login succeeds.
  const std::string& userName() const;
  // The 32-character session key text, for the session's data connections.
  const std::string& keyText() const { return keyText_; }
  std::uint32_t peerAddress() const { return peerAddress_; }  // network byte order
  std::uint32_t sessionId() const { return sessionId_; }
  AESEncryptor* encryptor() { return encryptor_.get(); }

  // Deciphers the records of a session message's payload with the session's decryptor. False
  // when the payload ends inside a record: the decryptor is then restarted so that the broken
  // message cannot shift the records of later ones.
  bool decipher(std::span<const std::uint8_t> records, ByteBuffer& plaintext);

  // Traffic accounting (traffic_accounting.h). Relays add to pendingBytes under the network lock.
  std::uint64_t pendingBytes = 0;
  std::int64_t limitCopy = 0;    // 0 = no limit
  std::int64_t counterCopy = 0;
  std::int64_t lastStoreTime = 0;

  // The session's relays, UDP channels and name look-ups (relay_entry.h).
  SessionRelays relays;

 private:
  bool dispatch(std::uint32_t type, std::span<const std::uint8_t> payload);
  bool login(std::span<const std::uint8_t> payload);
  void refuseLogin(std::uint32_t reply, const std::string& name, const char* outcome);
  bool trafficInfo();
  bool textMessage(std::span<const std::uint8_t> payload);
  void notifySession(std::uint32_t code) const;

  ByteBuffer received_;
  MessageReader reader_{kMaxMessageLengthBeforeLogin};
  std::optional<std::string> name_;  // present exactly while logged in
  std::string keyText_;
  std::uint32_t peerAddress_ = 0;
  std::uint32_t sessionId_ = 0;
  std::int64_t lastActivity_ = 0;
  std::unique_ptr<AESEncryptor> encryptor_;
  std::unique_ptr<AESDecryptor> decryptor_;
};

}  // namespace tarvo
