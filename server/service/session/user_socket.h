// A client's session connection: announces the accepted versions (Hello), takes the login,
// then serves the framed session messages. Owned by the acceptor; owns its relays.
// A session logs in once: a second Login ends it without a reply, so it never changes its user
// and sits in the session list at most once. Once Closing is set (a refused login, the
// administrator's disconnect) no further message is handled.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"
#include "server/common/session_protocol.h"
#include "server/common/user_info.h"
#include "server/service/relay/relay_host.h"
#include "server/service/net/socket.h"
#include "server/service/store/traffic_accounting.h"
#include "server/service/base/user_figures.h"
#include "external/reader_cluster.h"
#include "server/service/policy/message_pace.h"
#include "server/service/policy/user_policy.h"
#include "server/service/session/waiting_room.h"
#include "server/service/session/v2_binding.h"

namespace tarvo {

// A logged-in session that sends nothing for this long is deleted; any complete message keeps
// it alive.
inline constexpr std::chrono::seconds kIdleTimeout{30};
// From Hello to Login: as long as the opening message may take. Nothing else a client sends
// before its Login meets it or counts as activity.
inline constexpr std::chrono::seconds kLoginDeadline{15};
// Clients send their Login as soon as Hello comes: a session still without one after this
// long is late, and one address may hold kMaxLateLoginsPerAddress late ones (one turning late
// past that is closed). Only late ones count, so a busy client and its neighbours behind one
// address never meet the bound.
inline constexpr std::chrono::seconds kLoginLateAfter{2};
inline constexpr std::size_t kMaxLateLoginsPerAddress = 256;
// Sessions that may wait for their Login in all; a new one past this closes the one that has
// waited longest.
inline constexpr std::size_t kMaxAwaitingLoginInAll = 4096;
// A session is not read while this much waits to be sent to its client: a client that sends
// requests and never reads the answers would otherwise grow the queue without end (and then
// falls to the idle rule). Far above what its datagrams and answers queue in normal use.
inline constexpr std::size_t kMaxSessionOutput = std::size_t{4} << 20;

class UserSocket : public TcpSocket, public RelayHost, private AccountOwner {
 public:
  // Takes the connection over (owner: the acceptor) and queues Hello. peerAddress: the
  // client's IPv4 address, network order. v2: the TLS connection a v2 session came in on (its
  // link hands the session a socketpair); such a session gets no Hello and no refusal reply,
  // and its Login is checked against the v2 proof.
  UserSocket(int handle, Socket* owner, std::uint32_t peerAddress = 0,
             std::unique_ptr<V2Binding> v2 = nullptr);
  // Ends the session: relays first, then the close row and notification, then the list entry.
  ~UserSocket() override;

  // Ends the session before the loop's next wait. It leaves the session list at once, so that
  // a request on the control thread no longer finds it.
  void end() REQUIRES(NetworkLock);

  // True unless Closing, waiting for the store, paced, or too much waits for the client.
  bool wantRead() const REQUIRES(NetworkLock) override;
  bool onWrite() REQUIRES(NetworkLock) override;
  bool sendAtOnce() REQUIRES(NetworkLock) override;
  bool wantExcept() const REQUIRES(NetworkLock) override { return true; }
  bool onExcept() REQUIRES(NetworkLock) override { return false; }
  bool onData(std::span<const std::uint8_t> bytes) REQUIRES(NetworkLock) override;
  void onConnected() REQUIRES(NetworkLock) override {}
  void onConnectFailed() REQUIRES(NetworkLock) override {}

  // Appends a framed message (8-byte header and payload) to the outgoing queue.
  void queueMessage(std::uint32_t type, std::span<const std::uint8_t> payload = {});
  // Appends bytes for the client; its UDP channels stop reading while much waits.
  void queueOutput(std::span<const std::uint8_t> bytes) override;
  std::size_t queuedForClient() const override { return output_.size(); }

  bool loggedIn() const { return name_.has_value(); }
  // Empty until the login succeeds.
  const std::string& userName() const override;
  // The 32-character session key text, for the session's data connections.
  const std::string& keyText() const override { return keyText_; }
  std::uint32_t peerAddress() const override { return peerAddress_; }  // network byte order
  std::uint32_t sessionId() const override { return sessionId_; }
  AESEncryptor* encryptor() override { return encryptor_.get(); }
  Socket& relayOwner() override { return *this; }
  // Null for a v1 session.
  const V2Binding* v2() const { return v2_.get(); }

  // Deciphers the records of a session message's payload with the session's decryptor. False
  // when the payload ends inside a record: the decryptor is then restarted so that the broken
  // message cannot shift the records of later ones.
  bool decipher(std::span<const std::uint8_t> records, ByteBuffer& plaintext) override;

  // Relayed bytes for the account; a session that reaches its limit ends its relays.
  void countRelayed(std::uint64_t bytes, Flow flow = Flow::kDown) override;
  // Datagram bytes, which the metrics count and the account does not.
  void countDatagram(std::uint64_t bytes, Flow flow) override;
  bool overQuota() const override { return account_.overQuota(); }
  RateGate* downGate() const override { return policy_.downGate(); }
  RateGate* upGate() const override { return policy_.upGate(); }
  // False once the session is deleted: how answers from the store workers find out.
  std::shared_ptr<const bool> aliveToken() const { return alive_; }

  // Traffic accounting (traffic_accounting.h).
  const TrafficAccount& account() const { return account_; }

 private:
  // The account's news (AccountOwner).
  bool takeStoreAnswer(const UserPolicy& policy, std::int64_t limit,
                       std::int64_t counter) override;
  void overLimit() override;

  void countFigures(std::uint64_t bytes, Flow flow);
  // Handles complete messages while no store answer is awaited.
  bool handleReceived() REQUIRES(NetworkLock);
  bool dispatch(std::uint32_t type, std::span<const std::uint8_t> payload) REQUIRES(NetworkLock);
  bool login(std::span<const std::uint8_t> payload) REQUIRES(NetworkLock);
  void finishLogin(const std::string& name, const std::array<std::uint8_t, kLoginProofSize>& proof,
                   std::int32_t status, const UserInfo& stored, const LoginPolicy& loginPolicy)
      REQUIRES(NetworkLock);
  // A capped user's login on a shared store: accepted once the store granted the claim.
  void claimLogin(const std::string& name, std::string keyText, const UserInfo& stored,
                  const LoginPolicy& loginPolicy, std::int32_t cap) REQUIRES(NetworkLock);
  // Every check passed: the session is logged in. clusterSeq: its row in the shared store.
  void acceptLogin(const std::string& name, std::string keyText, const UserInfo& stored,
                   const LoginPolicy& loginPolicy, std::int64_t clusterSeq) REQUIRES(NetworkLock);
  ClusterSession clusterSession(const std::string& name) const;
  // outcome: the audit row's result; nullptr writes no row.
  void refuseLogin(std::uint32_t reply, const std::string& name, const char* outcome)
      REQUIRES(NetworkLock);
  // count TrafficInfo requests that came back to back, answered from the user's copy.
  void trafficInfo(std::size_t count) REQUIRES(NetworkLock);
  void answerTrafficInfo(std::size_t count, std::int32_t status);
  // Runs job on a store worker; the session handles no message until then does its part.
  void askStore(std::function<void()> job, std::function<void()> then);
  // The session handles no message between the two; the second runs then, and the messages
  // that waited.
  void holdForStore();
  void resumeAfterStore(const std::function<void()>& then) REQUIRES(NetworkLock);
  void idleCheck();
  // Charges count messages of type; true when the session must pause (paceTimer_ resumes it).
  bool paced(std::uint32_t type, std::size_t count) REQUIRES(NetworkLock);
  // The Login came: the deadline is met and the session leaves the waiting room.
  void meetLoginDeadline();
  void markChannelsDirty();
  bool textMessage(std::span<const std::uint8_t> payload);
  std::string sessionPayload() const;
  void notifySession(std::uint32_t code) const;

  ByteBuffer received_;
  MessageReader reader_{kMaxMessageLengthBeforeLogin};
  std::optional<std::string> name_;  // present exactly while logged in
  UserFigures* figures_ = nullptr;   // while logged in, when per-user figures are on
  std::string keyText_;
  std::uint32_t peerAddress_ = 0;
  std::uint32_t sessionId_ = 0;
  std::int64_t clusterSeq_ = 0;  // the session's row in a shared store's table; 0: none
  NetworkTime lastActivity_;
  NetworkTimer idleTimer_;
  std::unique_ptr<WaitingSeat> loginSeat_;  // until the Login comes
  NetworkTimer loginTimer_;
  bool awaitingStore_ = false;
  // A client that sends faster than its pace is not read until the pace allows.
  MessagePace pace_;
  NetworkTimer paceTimer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<AESEncryptor> encryptor_;
  std::unique_ptr<AESDecryptor> decryptor_;
  TrafficAccount account_{*this};
  // The user's policy on this daemon, from the login on (user_policy.h).
  PolicySeat policy_;
  std::unique_ptr<V2Binding> v2_;
};

}  // namespace tarvo
