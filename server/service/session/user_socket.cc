#include "server/service/session/user_socket.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "external/reader.h"
#include "server/common/coding.h"
#include "server/common/password_hash.h"
#include "server/common/user_info.h"
#include "server/service/net/relay_io.h"
#include "server/service/base/audit_log.h"
#include "server/service/base/diagnostics.h"
#include "server/service/policy/cluster_sessions.h"
#include "server/service/policy/login_guard.h"
#include "server/service/session/message_log.h"
#include "server/service/base/notifications.h"
#include "server/service/relay/name_resolver.h"
#include "server/service/relay/relay_entry.h"
#include "server/service/session/session_list.h"
#include "server/service/base/settings.h"
#include "server/service/base/service_counters.h"
#include "server/service/session/session_keys.h"
#include "server/service/store/store_workers.h"
#include "server/service/relay/tcp_relay.h"
#include "server/service/store/traffic_accounting.h"
#include "server/service/relay/udp_server_socket.h"
#include "server/service/session/v2_login.h"

namespace tarvo {

namespace {

// Data connections are matched by peer address and session id alone, so the id must not be
// guessable: it comes from the kernel's cryptographic generator. 0 when none can be had.
std::uint32_t NewSessionId() REQUIRES(NetworkLock) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::uint32_t id = 0;
    ssize_t got = ::getrandom(&id, sizeof id, 0);
    if (got < 0 && errno != EINTR) return 0;
    if (got == static_cast<ssize_t>(sizeof id) && id != 0 && !SessionIdInUse(id)) return id;
  }
  return 0;
}

WaitingRoom& LoginRoom() {
  static WaitingRoom room(kMaxAwaitingLoginInAll, kMaxLateLoginsPerAddress);
  return room;
}

std::string VersionRange() {
  return VersionRangeText(ServerSettings.MinClientVersion, kServerVersion);
}

}  // namespace

UserSocket::UserSocket(int handle, Socket* owner, std::uint32_t peerAddress,
                       std::unique_ptr<V2Binding> v2)
    : TcpSocket(handle, owner),
      peerAddress_(peerAddress),
      lastActivity_(NetworkNow()),
      loginSeat_(std::make_unique<WaitingSeat>(LoginRoom(), peerAddress,
                                               [this] { RetireSocket(this); })),
      v2_(std::move(v2)) {
  // A v2 client hears nothing from the daemon before its login succeeds.
  if (v2_ == nullptr) AppendHello(output_, VersionRange());
  idleTimer_.arm(std::chrono::duration_cast<std::chrono::milliseconds>(kIdleTimeout),
                 [this] { idleCheck(); });
  const NetworkTime helloAt = NetworkNow();
  loginTimer_.armAt(helloAt + kLoginLateAfter, [this, helloAt] {
    if (!loginSeat_->turnLate()) return;  // closed
    loginTimer_.armAt(helloAt + kLoginDeadline, [this] { RetireSocket(this); });
  });
}

void UserSocket::meetLoginDeadline() {
  loginTimer_.cancel();
  loginSeat_.reset();
}

UserSocket::~UserSocket() {
  *alive_ = false;
  encryptor_.reset();
  decryptor_.reset();
  // Relays and datagram channels end first, each with its own rows and notifications.
  while (!children().empty()) delete children().front();
  if (loggedIn()) {
    // Counted traffic is stored, not dropped: otherwise reconnecting within the store interval
    // would let a user relay past the limit.
    AuditSessionClose(*name_, peerAddress_);
    std::function<void()> closed;
    if (NotificationsWanted()) {
      closed = [payload = sessionPayload()] {
        SendNotification(NTF_SESSION_CLOSED, payload.data(), payload.size());
      };
    }
    account_.storeFinal(std::move(closed));
    Counters().sessions.fetch_sub(1, std::memory_order_relaxed);
    if (v2_ != nullptr) Counters().sessionsV2.fetch_sub(1, std::memory_order_relaxed);
    if (figures_ != nullptr) --figures_->sessions;
    ClusterSessionEnded(clusterSeq_);
    name_.reset();
  }
  RemoveSession(this);
  if (relays().resolverToken != 0) CancelLookups(relays().resolverToken);
}

void UserSocket::end() {
  RemoveSession(this);
  RetireSocket(this);
}

const std::string& UserSocket::userName() const {
  static const std::string none;
  return name_ ? *name_ : none;
}

void UserSocket::queueMessage(std::uint32_t type, std::span<const std::uint8_t> payload) {
  ByteBuffer frame;
  AppendMessage(frame, type, payload);
  queueOutput(frame.view());
}

void UserSocket::queueOutput(std::span<const std::uint8_t> bytes) {
  const bool below = output_.size() < kMaxSessionOutputForDatagrams;
  TcpSocket::queueOutput(bytes);
  if (below && output_.size() >= kMaxSessionOutputForDatagrams) markChannelsDirty();
}

bool UserSocket::onWrite() {
  const bool above = output_.size() >= kMaxSessionOutputForDatagrams;
  const bool keep = TcpSocket::onWrite();
  if (above && output_.size() < kMaxSessionOutputForDatagrams) markChannelsDirty();
  return keep;
}

// Answers (a keep-alive's above all) leave in the batch that made them. A failed send is left
// to the writability report, whose onWrite ends the session.
bool UserSocket::sendAtOnce() {
  if (output_.empty() || hasFlag(Closing) || tlsReadWaitsToWrite()) return false;
  return onWrite() && output_.empty();
}

void UserSocket::markChannelsDirty() {
  for (UdpServerSocket* channel : relays().channels) MarkSocketDirty(channel);
}

void UserSocket::idleCheck() {
  const NetworkTime due = lastActivity_ + kIdleTimeout;
  if (NetworkNow() >= due) {
    RetireSocket(this);
    return;
  }
  idleTimer_.armAt(due, [this] { idleCheck(); });
}

void UserSocket::countRelayed(std::uint64_t bytes, Flow flow) {
  countFigures(bytes, flow);
  ChargeRate(flow == Flow::kUp ? policy_.upGate() : policy_.downGate(), bytes);
  account_.count(bytes, flow);
}

void UserSocket::countDatagram(std::uint64_t bytes, Flow flow) { countFigures(bytes, flow); }

void UserSocket::countFigures(std::uint64_t bytes, Flow flow) {
  auto& counters = Counters();
  (flow == Flow::kUp ? counters.bytesUp : counters.bytesDown)
      .fetch_add(bytes, std::memory_order_relaxed);
  if (figures_ != nullptr) (flow == Flow::kUp ? figures_->bytesUp : figures_->bytesDown) += bytes;
}

bool UserSocket::takeStoreAnswer(const UserPolicy& policy, std::int64_t limit,
                                 std::int64_t counter) {
  return policy_.takeAnswer(policy, limit, counter);
}

// Over its limit a session relays nothing: its relays end now, before the next wait.
void UserSocket::overLimit() {
  for (const auto& relay : relays().tcp) relay->close();
  MarkSocketDirty(this);
}

bool UserSocket::wantRead() const {
  return (!hasFlag(Closing) && !awaitingStore_ && !paceTimer_.armed() &&
          output_.size() < kMaxSessionOutput) ||
         tlsWriteWaitsToRead();
}

bool UserSocket::onData(std::span<const std::uint8_t> bytes) {
  received_.append(bytes);
  return handleReceived();
}

bool UserSocket::handleReceived() {
  while (!awaitingStore_ && !paceTimer_.armed()) {
    // A session that is ending (a refused login, the administrator's disconnect) handles no
    // more messages: a client must not get one more password guess per pipelined Login.
    if (hasFlag(Closing)) {
      received_.release();
      return true;
    }
    SessionMessage message;
    switch (reader_.peek(received_, message)) {
      case ParseResult::kBad:
        return false;  // total length below 8 or beyond any legitimate message
      case ParseResult::kNeedMore:
        return true;
      case ParseResult::kDone:
        break;
    }
    if (message.type == MessageType::TrafficInfo && loggedIn()) {
      // Requests back to back share one answer: each still gets its copy, in order. As many
      // as the pace allows now.
      const std::size_t most = pace_.available(MessageType::TrafficInfo, NetworkNow());
      std::size_t count = 0;
      do {
        received_.consume(message.totalLength);
        ++count;
      } while (count < most && reader_.peek(received_, message) == ParseResult::kDone &&
               message.type == MessageType::TrafficInfo);
      lastActivity_ = NetworkNow();
      trafficInfo(count);
      paced(MessageType::TrafficInfo, count);
      continue;
    }
    if (!dispatch(message.type, message.payload)) return false;
    const std::uint32_t type = message.type;
    received_.consume(message.totalLength);
    paced(type, 1);
  }
  return true;
}

bool UserSocket::paced(std::uint32_t type, std::size_t count) {
  const auto wait = pace_.charge(type, count, NetworkNow());
  if (wait == std::chrono::nanoseconds::zero()) return false;
  paceTimer_.armAt(NetworkNow() + wait, [this]() REQUIRES(NetworkLock) {
    MarkSocketDirty(this);
    if (!handleReceived()) RetireSocket(this);
  });
  MarkSocketDirty(this);
  return true;
}

void UserSocket::askStore(std::function<void()> job, std::function<void()> then) {
  holdForStore();
  std::shared_ptr<const bool> alive = alive_;
  // Store answers run on the network thread, as every handler does.
  RunOnStore(std::move(job), [this, alive, then = std::move(then)]() REQUIRES(NetworkLock) {
    if (*alive) resumeAfterStore(then);
  });
}

void UserSocket::holdForStore() {
  awaitingStore_ = true;
  MarkSocketDirty(this);
}

void UserSocket::resumeAfterStore(const std::function<void()>& then) {
  awaitingStore_ = false;
  MarkSocketDirty(this);
  then();
  // Messages that arrived behind the one that asked, in their order.
  if (!handleReceived()) RetireSocket(this);
}

bool UserSocket::dispatch(std::uint32_t type, std::span<const std::uint8_t> payload) {
  if (type == MessageType::Login) {
    lastActivity_ = NetworkNow();
    meetLoginDeadline();
    return login(payload);
  }
  if (!loggedIn()) return true;  // unanswered, and no sign of life either
  lastActivity_ = NetworkNow();
  switch (type) {
    case MessageType::TextMessage:
      return textMessage(payload);
    case MessageType::UdpData:
      return HandleUdpData(*this, payload);
    case MessageType::UdpClose:
      return HandleUdpClose(*this, payload);
    case MessageType::Resolve:
      return HandleResolve(*this, payload);
    default:
      return true;
  }
}

namespace {

// A user's row and policy as a store worker read them, wiped when it goes.
struct StoredRow {
  std::int32_t status = READER_FAILED;
  UserInfo info{};
  LoginPolicy policy;
  ~StoredRow() { explicit_bzero(info.password, sizeof info.password); }
  void read(const std::string& name, std::int64_t now) {
    status = policy.read(name, now, info);
  }
};

}  // namespace

bool UserSocket::login(std::span<const std::uint8_t> payload) {
  // A session keeps the user it logged in as and sits in the session list once: a second
  // Login ends it.
  if (loggedIn()) return false;
  if (sessionId_ == 0) {
    sessionId_ = NewSessionId();
    if (sessionId_ == 0) return false;
  }
  LoginRequest request;
  if (!ParseLogin(payload, request)) return false;
  // A guesser is refused unchecked (login_guard.h).
  if (const auto verdict = AdmitLogin(peerAddress_, request.name);
      verdict != LoginThrottle::Verdict::kCheck) {
    CountLogin(LoginOutcome::kThrottled);
    refuseLogin(MessageType::InvalidPassword, request.name,
                verdict == LoginThrottle::Verdict::kRefuse ? "invalid password" : nullptr);
    return true;
  }
  auto row = std::make_shared<StoredRow>();
  askStore([row, name = request.name, now = PolicyWallNow()] { row->read(name, now); },
           [this, row, name = request.name, proof = request.proof]() REQUIRES(NetworkLock) {
             finishLogin(name, proof, row->status, row->info, row->policy);
           });
  return true;
}

void UserSocket::finishLogin(const std::string& name, const std::array<std::uint8_t, kLoginProofSize>& proof,
                             std::int32_t status, const UserInfo& stored,
                             const LoginPolicy& loginPolicy) {
  if (loginPolicy.began) AnnouncePeriodBegan(name, status == READER_OK ? &stored : nullptr);
  // v2: the proof is checked first, and for an unknown user too, so that an unknown name and a
  // wrong password take the same work and end the same way.
  if (v2_ != nullptr && !V2LoginProven(*v2_, name, status == READER_OK ? stored.password : nullptr) &&
      status == READER_OK) {
    NoteWrongProof(peerAddress_, name);
    CountLogin(LoginOutcome::kWrongPassword);
    refuseLogin(MessageType::InvalidPassword, name, "invalid password");
    return;
  }
  // A store that fails refuses the login as an unknown user would be.
  if (status != READER_OK) {
    // A name tried that does not exist is a guess as much as a wrong password.
    if (status == READER_NO_USER) NoteWrongProof(peerAddress_, name);
    CountLogin(status == READER_NO_USER ? LoginOutcome::kUnknownUser : LoginOutcome::kStoreFailed);
    refuseLogin(MessageType::UnknownUser, name, "unknown user");
    return;
  }
  // An account past its expiry is refused as a locked one.
  const bool expired = PolicyExpired(loginPolicy.policy, PolicyWallNow());
  if (stored.locked != 0 || expired) {
    CountLogin(stored.locked != 0 ? LoginOutcome::kLocked : LoginOutcome::kExpired);
    refuseLogin(MessageType::UserLocked, name, "user locked");
    return;
  }
  if (!SessionAllowed(name, loginPolicy.policy)) {
    CountLogin(LoginOutcome::kDoubleConnect);
    refuseLogin(MessageType::DoubleConnect, name, "double connect");
    return;
  }

  std::string keyText = SessionKeyFor(name, stored.password);
  auto encryptor = std::make_unique<AESEncryptor>(keyText.c_str(), static_cast<int>(keyText.size()));
  if (v2_ == nullptr && !ProofsEqual(MakeLoginProof(name, *encryptor).data(), proof.data())) {
    explicit_bzero(keyText.data(), keyText.size());
    NoteWrongProof(peerAddress_, name);
    CountLogin(LoginOutcome::kWrongPassword);
    refuseLogin(MessageType::InvalidPassword, name, "invalid password");
    return;
  }
  // A user kept to v2: a designed-protocol login, even a right one (it may be a replay), is
  // closed as a malformed opening is, without a reply; the row says why.
  if (v2_ == nullptr && loginPolicy.policy.protocol == POLICY_PROTOCOL_V2_ONLY) {
    explicit_bzero(keyText.data(), keyText.size());
    CountLogin(LoginOutcome::kProtocolRefused);
    setFlag(Closing);
    AuditSessionOpen(name, peerAddress_, "protocol v1 refused for this user");
    return;
  }

  encryptor.reset();
  const std::int32_t cap = SessionCap(loginPolicy.policy);
  if (cap != 0 && ClusterShared()) {
    claimLogin(name, std::move(keyText), stored, loginPolicy, cap);
    return;
  }
  acceptLogin(name, std::move(keyText), stored, loginPolicy,
              ClusterSessionOpened(clusterSession(name)));
}

namespace {

// A login that waits for its claim in the store.
struct HeldLogin {
  std::string keyText;
  UserInfo stored{};
  LoginPolicy policy;
  ~HeldLogin() {
    explicit_bzero(keyText.data(), keyText.size());
    explicit_bzero(stored.password, sizeof stored.password);
  }
};

}  // namespace

void UserSocket::claimLogin(const std::string& name, std::string keyText, const UserInfo& stored,
                            const LoginPolicy& loginPolicy, std::int32_t cap) {
  auto held = std::make_shared<HeldLogin>();
  held->keyText = std::move(keyText);
  held->stored = stored;
  held->policy = loginPolicy;
  auto claim = BeginClaim(clusterSession(name), cap, SessionsHere(name));
  holdForStore();
  RunOnStore([claim] { claim->run(); },
             [this, alive = std::shared_ptr<const bool>(alive_), claim, held,
              name]() REQUIRES(NetworkLock) {
               // A session gone meanwhile gives its granted row back.
               const std::int64_t seq = ClaimAnswered(*claim, *alive);
               if (!*alive) return;
               resumeAfterStore([&]() REQUIRES(NetworkLock) {
                 if (claim->status != READER_OK) {
                   CountLogin(LoginOutcome::kStoreFailed);
                   refuseLogin(MessageType::UnknownUser, name, "unknown user");
                 } else if (claim->granted == 0) {
                   // Refused as a second session on this daemon would be.
                   CountLogin(LoginOutcome::kDoubleConnect);
                   refuseLogin(MessageType::DoubleConnect, name, "double connect");
                 } else {
                   acceptLogin(name, std::move(held->keyText), held->stored, held->policy, seq);
                 }
               });
             });
}

ClusterSession UserSocket::clusterSession(const std::string& name) const {
  ClusterSession session{};
  const std::size_t length = std::min(name.size(), kUserNameSize - 1);
  std::memcpy(session.name, name.data(), length);
  session.address = peerAddress_;
  session.sessionId = sessionId_;
  session.protocol = v2_ != nullptr ? kSessionProtocolV2 : 0;
  return session;
}

void UserSocket::acceptLogin(const std::string& name, std::string keyText, const UserInfo& stored,
                             const LoginPolicy& loginPolicy, std::int64_t clusterSeq) {
  clusterSeq_ = clusterSeq;
  if (v2_ != nullptr) v2_->relayKey = MakeV2RelayKey(keyText, v2_->exporter);
  // Known now: the session's own connection, which carries its datagrams, gets wide buffers.
  SetKernelBuffers(handle_, kWideBuffers);
  name_ = name;
  keyText_ = std::move(keyText);
  encryptor_ = std::make_unique<AESEncryptor>(keyText_.c_str(), static_cast<int>(keyText_.size()));
  decryptor_ = std::make_unique<AESDecryptor>(keyText_.c_str(), static_cast<int>(keyText_.size()));
  reader_.setMaxTotalLength(kMaxMessageLengthLoggedIn);
  std::uint8_t id[4];
  EncodeFixed32(id, sessionId_);
  queueMessage(MessageType::LoginAccepted, id);
  AddSession(this);
  NoteLoginAccepted(peerAddress_, name);
  CountLogin(LoginOutcome::kAccepted);
  Counters().sessions.fetch_add(1, std::memory_order_relaxed);
  if (v2_ != nullptr) Counters().sessionsV2.fetch_add(1, std::memory_order_relaxed);
  // One series per stored user, however many spellings log in.
  figures_ = UserFiguresFor(loginPolicy.storedName.empty() ? name : loginPolicy.storedName);
  if (figures_ != nullptr) ++figures_->sessions;
  AuditSessionOpen(*name_, peerAddress_, "done");
  if (NotificationsWanted()) notifySession(NTF_SESSION_OPENED);
  // The row just read is the store's word on the counter: nothing is pending yet.
  account_.open(name, stored.limit, stored.counter);
  policy_.join(account_, name, loginPolicy.policy, stored.limit, stored.counter,
               [this] { setFlag(Closing); });
  NotifyUserChanged(name, stored);
}

void UserSocket::refuseLogin(std::uint32_t reply, const std::string& name, const char* outcome) {
  // A v2 client is told nothing: every refusal looks like every other, and like a wrong frame.
  if (v2_ == nullptr) queueMessage(reply);
  setFlag(Closing);
  if (outcome != nullptr) AuditSessionOpen(name, peerAddress_, outcome);
}

void UserSocket::trafficInfo(std::size_t count) {
  // Answered at once from the user's copy, which is refreshed apart from keep-alives
  // (user_copies.h): a keep-alive never costs a store call.
  answerTrafficInfo(count, account_.userGone() ? READER_NO_USER : READER_OK);
}

void UserSocket::answerTrafficInfo(std::size_t count, std::int32_t status) {
  if (status == READER_NO_USER) {  // the user has gone
    setFlag(Closing);
    return;
  }
  // A store that failed left the copies as they were: the session goes on with what it last
  // knew. The counter includes what the session counted since, as the store will.
  std::uint8_t figures[16];
  EncodeFixed64(figures, static_cast<std::uint64_t>(account_.figures().limit));
  EncodeFixed64(figures + 8, static_cast<std::uint64_t>(account_.figures().counterWithPending()));
  for (std::size_t i = 0; i < count; ++i) queueMessage(MessageType::TrafficInfo, figures);
}

bool UserSocket::textMessage(std::span<const std::uint8_t> payload) {
  ByteBuffer text;
  decipher(payload, text);  // a cut record still yields the units that arrived whole
  return SaveUserMessage(*name_, peerAddress_, text.view());
}

bool UserSocket::decipher(std::span<const std::uint8_t> records, ByteBuffer& plaintext) {
  if (!decryptor_) return false;
  decryptor_->transformAppend(records.data(), records.size(), plaintext);
  if (decryptor_->atRecordBoundary()) return true;
  decryptor_ = std::make_unique<AESDecryptor>(keyText_.c_str(), static_cast<int>(keyText_.size()));
  return false;
}

std::string UserSocket::sessionPayload() const {
  // Address, name with its NUL, session id right after the NUL (unaligned), in host layout as
  // every record of the control channel.
  const std::string& name = *name_;
  std::string payload(4 + name.size() + 1 + 4, '\0');
  std::memcpy(payload.data(), &peerAddress_, 4);
  std::memcpy(payload.data() + 4, name.data(), name.size());
  std::memcpy(payload.data() + 4 + name.size() + 1, &sessionId_, 4);
  // A v2 session says so in one byte more; a designed-protocol session's bytes stay as they were.
  if (v2_ != nullptr) payload.push_back(static_cast<char>(kSessionProtocolV2));
  return payload;
}

void UserSocket::notifySession(std::uint32_t code) const {
  const std::string payload = sessionPayload();
  SendNotification(code, payload.data(), payload.size());
}

}  // namespace tarvo
