// The session's time rules on real sockets and the real user store, in fake milliseconds: the
// network loop runs on a hand-moved clock, so each rule is checked at its edge.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "external/reader.h"
#include "external/reader_policy.h"
#include "platform/event_loop.h"
#include "platform/fd.h"
#include "server/common/byte_buffer.h"
#include "server/common/encryption.h"
#include "server/common/password_hash.h"
#include "server/common/session_protocol.h"
#include "server/service/front/dispatch_socket.h"
#include "server/service/policy/message_budget.h"
#include "server/service/policy/user_policy.h"
#include "server/service/relay/name_resolver.h"
#include "server/service/net/network_loop.h"
#include "server/service/relay/relay_entry.h"
#include "server/service/session/session_list.h"
#include "server/service/base/settings.h"
#include "server/service/net/socket.h"
#include "server/service/relay/tcp_relay.h"
#include "server/service/store/store_workers.h"
#include "server/service/store/traffic_accounting.h"
#include "server/service/store/user_copies.h"
#include "server/service/control/admin_commands.h"
#include "server/common/control_codes.h"
#include "server/service/session/user_socket.h"
#include "tests/daemon_process.h"
#include "tests/raw_sql.h"

namespace tarvo::test {
namespace {

using std::chrono::milliseconds;

struct Frame {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> payload;
};

// Reads what waits on a non-blocking descriptor into inbox; false once the peer has closed.
bool Drain(int fd, ByteBuffer& inbox) {
  std::uint8_t bytes[16384];
  for (;;) {
    ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got > 0) {
      inbox.append(bytes, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0;  // 0: end of stream; EAGAIN: still open
  }
}

// A user with password "pw", this limit and this stored counter.
bool MakeUser(const char* name, std::int64_t limit, std::int64_t counter) {
  if (!SetUserInfo(name, "pw", limit, 0)) return false;
  SetUserCount(name, counter);
  return true;
}

class SessionRulesTest : public ::testing::Test {
 protected:
  // The store library keeps its first home for the process: one for the whole suite, and each
  // test its own user names.
  static void SetUpTestSuite() {
    if (home_ != nullptr) return;  // every suite of this fixture shares it
    home_ = new TempDir;
    ::setenv("TARVO_HOME", home_->path().c_str(), 1);
    const std::string odbcIni = home_->path() + "/odbc.ini";
    std::ofstream(odbcIni).flush();  // keep the user's own data sources out
    ::setenv("ODBCINI", odbcIni.c_str(), 1);
    ASSERT_TRUE(InitReader());
  }

  void SetUp() override { SetNetworkClock(&clock_); }

  void TearDown() override {
    {
      std::lock_guard lock(NetworkLock);
      DeleteAllSessions();
      DeleteAllSockets();
    }
    // Final counts of the deleted sessions come back through the loop. They are waited for:
    // a store call still running when the process ends would outlive the store library.
    WaitForStoreWorkers(std::chrono::seconds(30));
    for (int pass = 0; pass < 5; ++pass) RunNetworkPass(0);
    SetNetworkClock(nullptr);
  }

  // A session on a socket pair, as the acceptor would hand it over after the opening message.
  void startSession(std::uint32_t address = 0) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    client_ = UniqueFd(pair[1]);
    std::lock_guard lock(NetworkLock);
    SetNonBlocking(pair[0]);  // as the daemon accepts
    session_ = new UserSocket(pair[0], nullptr, address);
    alive_ = session_->aliveToken();
  }

  // The client writes bytes; the loop reads them on its next passes.
  void feed(std::span<const std::uint8_t> bytes) {
    ASSERT_EQ(::send(client_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    runPasses();
  }
  void feedMessage(std::uint32_t type, std::span<const std::uint8_t> payload = {}) {
    ByteBuffer frame;
    AppendMessage(frame, type, payload);
    feed(frame.view());
  }

  // Starts a session and logs it in; true once the store's answer let it in.
  bool login(const std::string& name, const std::string& password, std::uint32_t address = 0) {
    startSession(address);
    key_ = DeriveSessionKeyText(password.c_str());
    AESEncryptor encryptor(key_.c_str(), static_cast<int>(key_.size()));
    ByteBuffer payload;
    AppendLoginPayload(payload, name, encryptor);
    feedMessage(MessageType::Login, payload.view());
    // Until it is in, or refused and gone.
    runUntil([this] { return !*alive_ || session_->loggedIn(); });
    std::lock_guard lock(NetworkLock);
    return *alive_ && session_->loggedIn();
  }

  // Moves the fake clock, then lets the loop fire the timers due and retire what they end.
  void advance(long ms) {
    clock_.advance(milliseconds(ms));
    runPasses();
  }

  void runPasses() {
    for (int pass = 0; pass < 3; ++pass) RunNetworkPass(0);
  }

  // Runs the loop until done() holds: store workers and resolvers answer through it.
  static bool runUntil(const std::function<bool()>& done) {
    for (int pass = 0; pass < 400; ++pass) {
      {
        std::lock_guard lock(NetworkLock);
        if (done()) return true;
      }
      RunNetworkPass(20);
    }
    std::lock_guard lock(NetworkLock);
    return done();
  }

  // The whole messages the session wrote to its client since the last call.
  std::vector<Frame> sent() {
    peerOpen_ = Drain(client_.get(), inbox_) && peerOpen_;
    std::vector<Frame> frames;
    MessageReader reader(kMaxMessageLengthLoggedIn);
    SessionMessage message;
    while (reader.peek(inbox_, message) == ParseResult::kDone) {
      frames.push_back({message.type, {message.payload.begin(), message.payload.end()}});
      inbox_.consume(message.totalLength);
    }
    return frames;
  }

  std::vector<Frame> sentOfType(std::uint32_t type) {
    std::vector<Frame> all = sent(), matching;
    for (Frame& frame : all) {
      if (frame.type == type) matching.push_back(std::move(frame));
    }
    return matching;
  }

  // Waits for the session's Resolve answers; true when exactly one came, read into the fields.
  bool oneResolveAnswer(std::uint32_t& address, std::string& name) {
    std::vector<Frame> answers;
    if (!runUntil([&] {
          answers = sentOfType(MessageType::Resolve);
          return !answers.empty();
        }) ||
        answers.size() != 1) {
      return false;
    }
    AESDecryptor decryptor(key_.c_str(), static_cast<int>(key_.size()));
    ByteBuffer plaintext;
    decryptor.transformAppend(answers[0].payload.data(), answers[0].payload.size(), plaintext);
    return ParseResolveAnswer(plaintext.view(), address, name);
  }

  // The session object still exists and its client has not seen the connection close.
  bool alive() {
    peerOpen_ = Drain(client_.get(), inbox_) && peerOpen_;
    return alive_ && *alive_ && peerOpen_;
  }

  AccountFigures account() {
    std::lock_guard lock(NetworkLock);
    return session_->account().figures();
  }

  static std::int64_t storedCounter(const std::string& name) {
    char password[kUserPasswordSize];
    std::int64_t limit = 0, counter = -1;
    std::uint8_t locked = 0;
    return GetUserInfo(name.c_str(), password, &limit, &counter, &locked) ? counter : -1;
  }

  static void RawExecute(const std::string& sql) {
    EXPECT_EQ(RunSqlOnFile(home_->path() + "/VPNdb.sqlite3", sql), "");
  }

  void countRelayed(std::uint64_t bytes) {
    std::lock_guard lock(NetworkLock);
    session_->countRelayed(bytes);
  }

  // A logged-in session set aside, so that the next login starts another.
  struct HeldSession {
    UserSocket* session;
    std::shared_ptr<const bool> alive;
    UniqueFd client;
    ByteBuffer inbox;
  };
  HeldSession holdSession() {
    HeldSession held{session_, alive_, std::move(client_), std::move(inbox_)};
    inbox_ = ByteBuffer();
    return held;
  }

  // Sends one TrafficInfo on a held session; the counter of its answer, or -1.
  std::int64_t trafficInfoCounter(HeldSession& held) {
    ByteBuffer frame;
    AppendMessage(frame, MessageType::TrafficInfo);
    EXPECT_EQ(::send(held.client.get(), frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
    runPasses();
    Drain(held.client.get(), held.inbox);
    MessageReader reader(kMaxMessageLengthLoggedIn);
    SessionMessage message;
    std::int64_t limit = 0, counter = -1;
    while (reader.peek(held.inbox, message) == ParseResult::kDone) {
      if (message.type == MessageType::TrafficInfo) {
        EXPECT_TRUE(ParseTrafficInfoReply(message.payload, limit, counter));
      }
      held.inbox.consume(message.totalLength);
    }
    return counter;
  }

  static TempDir* home_;
  ManualLoopClock clock_;
  UniqueFd client_;
  UserSocket* session_ = nullptr;
  std::shared_ptr<const bool> alive_;
  std::string key_;
  ByteBuffer inbox_;
  bool peerOpen_ = true;
};

TempDir* SessionRulesTest::home_ = nullptr;

// ---- The opening message ----

class OpeningRuleTest : public SessionRulesTest {
 protected:
  void openConnection() {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    client_ = UniqueFd(pair[1]);
    std::lock_guard lock(NetworkLock);
    SetNonBlocking(pair[0]);  // as the daemon accepts
    new DispatchSocket(pair[0], nullptr, htonl(INADDR_LOOPBACK));
    liveBefore_ = Sockets().liveCount();
  }
  // The connection is still open: the dispatcher or the session that took it over.
  bool connectionOpen() {
    peerOpen_ = Drain(client_.get(), inbox_) && peerOpen_;
    return peerOpen_;
  }
  std::size_t liveBefore_ = 0;
};

TEST_F(OpeningRuleTest, SilentConnectionLastsFifteenSeconds) {
  openConnection();
  advance(14'999);
  EXPECT_TRUE(connectionOpen());
  advance(1);
  EXPECT_FALSE(connectionOpen());
  std::lock_guard lock(NetworkLock);
  EXPECT_EQ(Sockets().liveCount(), liveBefore_ - 1);
}

// Bytes of an unfinished opening message do not buy a connection more time.
TEST_F(OpeningRuleTest, TricklingOpeningBytesDoNotExtendTheWait) {
  openConnection();
  ByteBuffer opening;
  ASSERT_TRUE(AppendSessionOpening(opening, kServerVersion));
  const long step = 14'000 / static_cast<long>(opening.size());
  long elapsed = 0;
  for (std::size_t sentBytes = 0; sentBytes + 1 < opening.size(); ++sentBytes) {
    feed(opening.view().subspan(sentBytes, 1));
    advance(step);
    elapsed += step;
  }
  advance(14'999 - elapsed);
  EXPECT_TRUE(connectionOpen());
  advance(1);
  EXPECT_FALSE(connectionOpen());
}

// A completed opening hands the connection to a session, which the opening rule no longer ends.
TEST_F(OpeningRuleTest, CompletedOpeningEscapesTheOpeningRule) {
  openConnection();
  advance(14'000);
  ByteBuffer opening;
  ASSERT_TRUE(AppendSessionOpening(opening, kServerVersion));
  feed(opening.view());
  advance(1'000);
  EXPECT_TRUE(connectionOpen());
  std::vector<Frame> frames = sent();
  std::vector<Frame> hello;
  for (Frame& frame : frames) {
    if (frame.type == MessageType::Hello) hello.push_back(frame);
  }
  EXPECT_EQ(hello.size(), 1u);
}

// One address keeps kMaxSilentPerAddress connections that have been silent for kSilentAfter;
// the ones that turn silent past that bound are closed then, another address's are not.
TEST_F(OpeningRuleTest, OneAddressKeepsItsBoundOfSilentConnections) {
  const std::size_t extra = 5;
  std::vector<UniqueFd> crowd, neighbour;
  auto open = [](std::vector<UniqueFd>& into, std::uint32_t address) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    into.emplace_back(pair[1]);
    std::lock_guard lock(NetworkLock);
    SetNonBlocking(pair[0]);  // as the daemon accepts
    new DispatchSocket(pair[0], nullptr, address);
  };
  for (std::size_t i = 0; i < kMaxSilentPerAddress + extra; ++i) open(crowd, htonl(0x0a000001));
  open(neighbour, htonl(0x0a000002));
  const auto closed = [](std::vector<UniqueFd>& fds) {
    std::size_t count = 0;
    for (UniqueFd& fd : fds) {
      ByteBuffer ignored;
      if (!Drain(fd.get(), ignored)) ++count;
    }
    return count;
  };
  advance(std::chrono::duration_cast<milliseconds>(kSilentAfter).count() - 1);
  EXPECT_EQ(closed(crowd), 0u);
  advance(1);
  EXPECT_EQ(closed(crowd), extra);
  EXPECT_EQ(closed(neighbour), 0u);
  advance(std::chrono::duration_cast<milliseconds>(kOpeningTimeout - kSilentAfter).count());
  EXPECT_EQ(closed(crowd), crowd.size());
  EXPECT_EQ(closed(neighbour), 1u);
}

// ---- Idle sessions ----

TEST_F(SessionRulesTest, SilentSessionEndsAtThirtySeconds) {
  ASSERT_TRUE(MakeUser("idle-silent", 0, 0));
  ASSERT_TRUE(login("idle-silent", "pw"));
  advance(29'999);
  EXPECT_TRUE(alive());
  advance(1);
  EXPECT_FALSE(alive());
  std::lock_guard lock(NetworkLock);
  EXPECT_TRUE(Sessions().empty());
}

// An account that expires while logged in ends its session at that instant, as the daemon ends
// a session: the close row, the session gone from the list.
TEST_F(SessionRulesTest, AnExpiryEndsTheSessionAtItsInstant) {
  ASSERT_TRUE(MakeUser("expiring", 0, 0));
  UserPolicy policy{};
  {
    std::lock_guard lock(NetworkLock);
    policy.expires = PolicyWallNow() + 10;  // on the fake clock's wall time
  }
  ASSERT_EQ(SetUserPolicyStatus("expiring", &policy), READER_OK);
  ASSERT_TRUE(login("expiring", "pw"));
  advance(9'000);
  feedMessage(MessageType::TrafficInfo);  // not idle
  EXPECT_TRUE(alive());
  advance(2'001);  // the first second past expires has begun by now
  EXPECT_FALSE(alive());
  std::lock_guard lock(NetworkLock);
  EXPECT_TRUE(Sessions().empty());
}

// The window restarts at the last complete message, not at the login or the first check.
TEST_F(SessionRulesTest, MessageRestartsTheIdleWindow) {
  ASSERT_TRUE(MakeUser("idle-active", 0, 0));
  ASSERT_TRUE(login("idle-active", "pw"));
  advance(29'999);
  feedMessage(MessageType::TrafficInfo);
  ASSERT_TRUE(runUntil([this] { return !sentOfType(MessageType::TrafficInfo).empty(); }));
  advance(1);
  EXPECT_TRUE(alive());  // the first check is past, the window runs from the message
  advance(29'998);
  EXPECT_TRUE(alive());
  advance(1);
  EXPECT_FALSE(alive());
}

// Half a message is not activity: a client cannot hold a session with a frame it never ends.
TEST_F(SessionRulesTest, UnfinishedMessageIsNotActivity) {
  ASSERT_TRUE(MakeUser("idle-partial", 0, 0));
  ASSERT_TRUE(login("idle-partial", "pw"));
  ByteBuffer frame;
  AppendMessage(frame, MessageType::TrafficInfo);
  advance(10'000);
  feed(frame.view().first(4));
  advance(19'999);
  feed(frame.view().subspan(4, 3));  // one byte short of the whole frame
  EXPECT_TRUE(alive());
  advance(1);
  EXPECT_FALSE(alive());
}

// ---- Before login ----

// Only a Login meets the deadline: a TrafficInfo every 2 s is neither answered nor activity.
TEST_F(SessionRulesTest, BeforeLoginOnlyALoginMeetsTheDeadline) {
  startSession();
  for (int i = 0; i < 7; ++i) {
    advance(2'000);
    feedMessage(MessageType::TrafficInfo);
  }
  advance(kLoginDeadline.count() * 1000 - 14'000 - 1);
  EXPECT_TRUE(alive());
  advance(1);
  EXPECT_FALSE(alive());
  EXPECT_TRUE(sentOfType(MessageType::TrafficInfo).empty());
}

// One address keeps kMaxLateLoginsPerAddress sessions that have waited kLoginLateAfter for
// their Login; the ones turning late past that are closed then, and a client of the same
// address that logs in at once is served beside them.
TEST_F(SessionRulesTest, OneAddressKeepsItsBoundOfSessionsWaitingForTheirLogin) {
  const std::uint32_t address = htonl(0x0a000001);
  const std::size_t extra = 5;
  std::vector<UniqueFd> crowd;
  for (std::size_t i = 0; i < kMaxLateLoginsPerAddress + extra; ++i) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    crowd.emplace_back(pair[1]);
    std::lock_guard lock(NetworkLock);
    SetNonBlocking(pair[0]);
    new UserSocket(pair[0], nullptr, address);
  }
  const auto closed = [&crowd] {
    std::size_t count = 0;
    for (UniqueFd& fd : crowd) {
      ByteBuffer ignored;
      if (!Drain(fd.get(), ignored)) ++count;
    }
    return count;
  };
  advance(std::chrono::duration_cast<milliseconds>(kLoginLateAfter).count() - 1);
  EXPECT_EQ(closed(), 0u);
  advance(1);
  EXPECT_EQ(closed(), extra);
  ASSERT_TRUE(MakeUser("late-neighbour", 0, 0));
  ASSERT_TRUE(login("late-neighbour", "pw", address));
  advance(std::chrono::duration_cast<milliseconds>(kLoginDeadline - kLoginLateAfter).count());
  EXPECT_EQ(closed(), crowd.size());
  EXPECT_TRUE(alive());
}

// ---- Storing counted bytes ----

TEST_F(SessionRulesTest, CountedBytesAreStoredElevenSecondsAfterTheLastStore) {
  ASSERT_TRUE(MakeUser("store-due", 0, 100));
  ASSERT_TRUE(login("store-due", "pw"));
  advance(5'000);
  {
    std::lock_guard lock(NetworkLock);
    session_->countRelayed(500);
  }
  advance(5'999);  // 10,999 ms after the login's read, which counts as a store
  EXPECT_FALSE(account().storeInFlight);
  EXPECT_EQ(account().pending, 500u);
  EXPECT_EQ(storedCounter("store-due"), 100);

  advance(1);
  ASSERT_TRUE(runUntil([this] { return !session_->account().figures().storeInFlight; }));
  EXPECT_EQ(storedCounter("store-due"), 600);
  EXPECT_EQ(account().counter, 600);
  EXPECT_EQ(account().pending, 0u);

  // The next bytes wait a full interval from that store.
  {
    std::lock_guard lock(NetworkLock);
    session_->countRelayed(50);
  }
  advance(10'999);
  EXPECT_EQ(storedCounter("store-due"), 600);
  advance(1);
  ASSERT_TRUE(runUntil([this] { return !session_->account().figures().storeInFlight; }));
  EXPECT_EQ(storedCounter("store-due"), 650);
}

// The end of a session stores what it counted since the last store; a user the store no
// longer has loses what was pending, and nothing is written for it.
TEST_F(SessionRulesTest, SessionEndStoresWhatIsPendingAndAGoneUserDropsIt) {
  ASSERT_TRUE(MakeUser("store-end", 4000, 0));
  ASSERT_TRUE(login("store-end", "pw"));
  EXPECT_EQ(account().limit, 4000);  // read by the login
  countRelayed(700);
  {
    std::lock_guard lock(NetworkLock);
    delete session_;
  }
  ASSERT_TRUE(runUntil([] { return storedCounter("store-end") == 700; }));
  EXPECT_TRUE(Sessions().empty());

  ASSERT_TRUE(MakeUser("store-gone", 0, 0));
  ASSERT_TRUE(login("store-gone", "pw"));
  ASSERT_TRUE(DeleteUser("store-gone"));
  countRelayed(900);
  advance(11'000);
  ASSERT_TRUE(runUntil([this] { return !session_->account().figures().storeInFlight; }));
  EXPECT_EQ(account().pending, 0u);
  EXPECT_EQ(storedCounter("store-gone"), -1);
  EXPECT_TRUE(alive());  // dropped bytes, not a dropped session: TrafficInfo ends it
}

// A store that fails is not a user who is gone: the session stays, TrafficInfo is answered
// from what it last read, counted bytes wait, and they are all stored once the store is back.
// Meanwhile a new login is refused as an unknown user.
TEST_F(SessionRulesTest, AFailingStoreKeepsTheSessionAndItsCounts) {
  ASSERT_TRUE(MakeUser("store-down", 5000, 100));
  ASSERT_TRUE(login("store-down", "pw"));
  countRelayed(700);
  RawExecute("ALTER TABLE UsersTable RENAME TO UsersTableAway");

  advance(11'000);
  ASSERT_TRUE(runUntil([this] { return !session_->account().figures().storeInFlight; }));
  // Kept, to be sent again as it was: the store may have taken it.
  EXPECT_EQ(account().pending + account().storing, 700u);
  EXPECT_TRUE(alive());

  sent();
  feedMessage(MessageType::TrafficInfo);
  ASSERT_TRUE(runUntil([this] { return !sentOfType(MessageType::TrafficInfo).empty() || !*alive_; }));
  EXPECT_TRUE(alive());
  EXPECT_EQ(account().limit, 5000);
  EXPECT_EQ(account().counter, 100);

  // A second client, with the fixture's verbs, then back to the first.
  UserSocket* first = session_;
  std::shared_ptr<const bool> firstAlive = alive_;
  UniqueFd firstClient = std::move(client_);
  ASSERT_FALSE(login("store-down", "pw"));
  EXPECT_EQ(sentOfType(MessageType::UnknownUser).size(), 1u);
  session_ = first;
  alive_ = firstAlive;
  client_ = std::move(firstClient);
  peerOpen_ = true;

  RawExecute("ALTER TABLE UsersTableAway RENAME TO UsersTable");
  advance(11'000);
  ASSERT_TRUE(runUntil([] { return storedCounter("store-down") == 800; }));
  EXPECT_TRUE(alive());
  ASSERT_TRUE(runUntil([this] { return session_->account().figures().counter == 800; }));
}

// A session with nothing counted (and no limit reached) makes no store call: the only
// statement of each interval is the refresh of its user's copy, which takes the changed row.
TEST_F(SessionRulesTest, NothingCountedMakesNoStoreCall) {
  ASSERT_TRUE(MakeUser("store-idle", 0, 40));
  ASSERT_TRUE(login("store-idle", "pw"));
  ASSERT_TRUE(MakeUser("store-idle", 0, 777));  // changed behind the session's back
  for (int interval = 0; interval < 2; ++interval) {
    const std::uint64_t statements = ReaderStatementCount();
    advance(11'000);
    ASSERT_TRUE(runUntil([] { return !FindUserCopy("store-idle")->refreshing; }));
    EXPECT_FALSE(account().storeInFlight);
    EXPECT_EQ(ReaderStatementCount(), statements + 1);
    EXPECT_EQ(account().counter, 777);
    feedMessage(123);  // an ignored message keeps the session from the idle rule
  }
  EXPECT_EQ(storedCounter("store-idle"), 777);
  EXPECT_TRUE(alive());
}

// ---- TrafficInfo ----

// Every request finds the stored counter changed just before it, so each answer tells which
// read of the store it came from: the login's, or the refresh of the user's copy once that is
// kCopyRefreshAge old. Keep-alives themselves never read the store.
TEST_F(SessionRulesTest, TrafficInfoIsAnsweredFromTheCopyRefreshedWithinTheBound) {
  ASSERT_TRUE(MakeUser("info", 5000, 1000));
  ASSERT_TRUE(login("info", "pw"));
  std::int64_t stored = 1000;
  // The counters answered to count requests sent back to back, and the statements they cost.
  auto ask = [&](std::size_t count) {
    SetUserCount("info", ++stored);
    const std::uint64_t before = ReaderStatementCount();
    ByteBuffer frames;
    for (std::size_t i = 0; i < count; ++i) AppendMessage(frames, MessageType::TrafficInfo);
    feed(frames.view());
    std::vector<std::int64_t> counters;
    for (const Frame& answer : sentOfType(MessageType::TrafficInfo)) {
      std::int64_t limit = 0, counter = 0;
      EXPECT_TRUE(ParseTrafficInfoReply(answer.payload, limit, counter));
      EXPECT_EQ(limit, 5000);
      counters.push_back(counter);
    }
    EXPECT_EQ(ReaderStatementCount(), before);  // answered at once, from the copy
    return counters;
  };
  using Counters = std::vector<std::int64_t>;
  const long refreshMs = std::chrono::milliseconds(kCopyRefreshAge).count();

  EXPECT_EQ(ask(3), Counters(3, 1000));  // the login's read, one answer each
  advance(refreshMs - 1);
  EXPECT_EQ(ask(1), Counters{1000});
  advance(1);  // the copy's refresh
  ASSERT_TRUE(runUntil([] { return !FindUserCopy("info")->refreshing; }));
  EXPECT_EQ(ask(1), Counters{1002});  // what the store held at the refresh
  countRelayed(300);  // counted, not yet stored: the answer includes it
  EXPECT_EQ(ask(90), Counters(90, 1302));  // a flood (within the pace): no read

  // A refresh that finds the user gone ends the session at its next keep-alive.
  ASSERT_TRUE(DeleteUser("info"));
  advance(refreshMs);
  ASSERT_TRUE(runUntil([] { return FindUserCopy("info")->gone; }));
  feedMessage(MessageType::TrafficInfo);
  EXPECT_TRUE(runUntil([this] { return !alive(); }));
}

// ---- The user's copy ----

// Two sessions of one user share one copy; the copies of many users are refreshed together,
// by one statement, before they are kCopyBound old; keep-alives cost no statement at all.
TEST_F(SessionRulesTest, CopiesAreSharedAndRefreshedTogetherByOneStatement) {
  constexpr int kUsers = 30;
  {
    std::lock_guard lock(NetworkLock);
    ServerSettings.MultiConnect = true;
  }
  std::vector<HeldSession> held;
  for (int i = 0; i < kUsers; ++i) {
    const std::string name = "copy-" + std::to_string(i);
    ASSERT_TRUE(MakeUser(name.c_str(), 90'000, i));
    ASSERT_TRUE(login(name, "pw"));
    held.push_back(holdSession());
  }
  ASSERT_TRUE(login("copy-0", "pw"));  // a second session of the first user
  held.push_back(holdSession());
  {
    std::lock_guard lock(NetworkLock);
    ServerSettings.MultiConnect = false;
    EXPECT_EQ(UserCopyCount(), static_cast<std::size_t>(kUsers));
  }
  RawExecute("UPDATE UsersTable SET user_counter = user_counter + 1000");
  // Each session's keep-alive answer: its user's counter.
  auto keepAlives = [&] {
    std::vector<std::int64_t> counters;
    for (HeldSession& one : held) counters.push_back(trafficInfoCounter(one));
    return counters;
  };
  std::vector<std::int64_t> before, after;
  for (int i = 0; i < kUsers; ++i) {
    before.push_back(i);
    after.push_back(1000 + i);
  }
  before.push_back(0);
  after.push_back(1000);

  const std::uint64_t statements = ReaderStatementCount();
  EXPECT_EQ(keepAlives(), before);
  advance(std::chrono::milliseconds(kCopyRefreshAge).count());
  ASSERT_TRUE(runUntil([] { return !FindUserCopy("copy-0")->refreshing; }));
  EXPECT_EQ(keepAlives(), after);
  EXPECT_EQ(ReaderStatementCount(), statements + 1);
}

// A user deleted in the store, not through this daemon, is found by the next refresh of the
// copy: the session ends at its keep-alive, within kCopyBound of the deletion.
TEST_F(SessionRulesTest, AUserDeletedInTheStoreEndsTheSessionWithinTheBound) {
  ASSERT_TRUE(MakeUser("gone-direct", 0, 0));
  ASSERT_TRUE(login("gone-direct", "pw"));
  advance(3'000);
  RawExecute("DELETE FROM UsersTable WHERE name_key = 'gone-direct'");
  const NetworkTime deleted = NetworkNow();
  feedMessage(MessageType::TrafficInfo);
  EXPECT_EQ(sentOfType(MessageType::TrafficInfo).size(), 1u);  // the copy still has the user
  advance(std::chrono::milliseconds(kCopyRefreshAge).count() - 3'000);
  ASSERT_TRUE(runUntil([] { return FindUserCopy("gone-direct")->gone; }));
  feedMessage(MessageType::TrafficInfo);
  EXPECT_TRUE(runUntil([this] { return !alive(); }));
  EXPECT_LE(NetworkNow() - deleted, kCopyBound);
}

// A limit raised through the console reaches the session over its old limit before the
// console's request returns.
TEST_F(SessionRulesTest, ALimitRaisedThroughTheConsoleAppliesAtOnce) {
  ASSERT_TRUE(MakeUser("raise", 1000, 1000));
  ASSERT_TRUE(login("raise", "pw"));
  EXPECT_TRUE(account().overQuota());
  UserInfo change{};
  std::strcpy(change.name, "raise");
  std::strcpy(change.password, "pw");
  change.limit = 5000;
  ASSERT_EQ(UpdateUserCmd(change), CTL_OK);
  EXPECT_FALSE(account().overQuota());
  sent();
  feedMessage(MessageType::TrafficInfo);
  const std::vector<Frame> answers = sentOfType(MessageType::TrafficInfo);
  ASSERT_EQ(answers.size(), 1u);
  std::int64_t limit = 0, counter = 0;
  ASSERT_TRUE(ParseTrafficInfoReply(answers[0].payload, limit, counter));
  EXPECT_EQ(limit, 5000);
  EXPECT_EQ(counter, 1000);
}

// ---- Text messages ----

// A user's text messages may take kMessageBytesPerMinute of the file a minute, whichever of
// the user's sessions sends them; past it they are dropped and the first drop says so.
TEST_F(SessionRulesTest, TextMessagesPastTheMinutesAllowanceAreDroppedAndSaidOnce) {
  ASSERT_TRUE(MakeUser("chatty", 0, 0));
  ASSERT_TRUE(login("chatty", "pw"));
  const std::string text(1000, 'm');
  auto say = [&](int count) {
    AESEncryptor encryptor(key_.c_str(), static_cast<int>(key_.size()));
    for (int sent = 0; sent < count; sent += 20) {  // within the socket's buffer
      ByteBuffer frames;
      for (int i = sent; i < std::min(count, sent + 20); ++i) {
        AppendTextMessage(frames, encryptor, text);
      }
      feed(frames.view());
    }
  };
  struct Logged {
    std::size_t messages = 0;
    std::size_t messageBytes = 0;
    std::vector<std::string> drops;
  };
  auto logged = [] {
    std::ifstream file(home_->path() + "/messages.txt");
    Logged found;
    for (std::string line; std::getline(file, line);) {
      if (line.find(" from chatty[") == std::string::npos) continue;
      if (line.find("] :") != std::string::npos) {
        ++found.messages;
        found.messageBytes += line.size() + 1;
      } else {
        found.drops.push_back(line.substr(24));
      }
    }
    return found;
  };

  say(70);  // about 73 KB of lines
  Logged first = logged();
  EXPECT_LE(first.messageBytes, kMessageBytesPerMinute);
  EXPECT_GT(first.messageBytes + 2 * text.size(), kMessageBytesPerMinute);
  EXPECT_LT(first.messages, 70u);
  ASSERT_EQ(first.drops.size(), 1u);
  EXPECT_EQ(first.drops[0].rfind(" from chatty[0.0.0.0] dropped 1000 bytes: more than 65536 "
                                 "bytes of messages a minute", 0),
            0u)
      << first.drops[0];
  feedMessage(MessageType::TrafficInfo);  // the session is still served
  EXPECT_TRUE(runUntil([this] { return !sentOfType(MessageType::TrafficInfo).empty(); }));

  // Until the minute is over nothing more is written, not even from a new session.
  advance(20'000);
  feedMessage(123);  // the idle rule must not end the session meanwhile
  advance(20'000);
  feedMessage(123);
  advance(19'999);
  say(1);
  {
    std::lock_guard lock(NetworkLock);
    delete session_;
  }
  ASSERT_TRUE(login("chatty", "pw"));
  say(1);
  Logged later = logged();
  EXPECT_EQ(later.messages, first.messages);
  EXPECT_EQ(later.drops.size(), 1u);

  advance(1);  // a new minute
  say(1);
  EXPECT_EQ(logged().messages, first.messages + 1);
  EXPECT_TRUE(alive());
}

// ---- Name look-ups ----

TEST_F(SessionRulesTest, ResolveIsAnsweredNoSoonerThanASecondAfterTheRequest) {
  ASSERT_TRUE(MakeUser("resolve", 0, 0));
  ASSERT_TRUE(login("resolve", "pw"));
  AESEncryptor encryptor(key_.c_str(), static_cast<int>(key_.size()));
  ByteBuffer request;
  AppendResolveRequest(request, encryptor, std::vector<std::string>{"localhost"});
  feed(request.view());

  // The look-up itself is quick; its answer still waits for the fake clock.
  advance(999);
  for (int pass = 0; pass < 25; ++pass) RunNetworkPass(20);
  EXPECT_TRUE(sentOfType(MessageType::Resolve).empty());

  advance(1);
  std::uint32_t address = 0;
  std::string name;
  ASSERT_TRUE(oneResolveAnswer(address, name));
  EXPECT_EQ(name, "localhost");
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
}

TEST_F(SessionRulesTest, ResolveHoldsTheSessionBoundAndFreesItAsAnswersGo) {
  ASSERT_TRUE(MakeUser("many", 0, 0));
  ASSERT_TRUE(login("many", "pw"));
  AESEncryptor encryptor(key_.c_str(), static_cast<int>(key_.size()));
  auto ask = [&](const std::vector<std::string>& names) {
    ByteBuffer request;
    AppendResolveRequest(request, encryptor, names);
    feed(request.view());
  };
  // Dotted names are answered without the resolver thread, so the fake clock rules them all.
  std::vector<std::string> names;
  for (std::size_t i = 0; i < kMaxPendingNamesPerSession + 10; ++i) {
    names.push_back("127.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  ask(names);
  ask({"10.0.0.1"});  // past the bound: never answered
  advance(kResolveAnswerDelay.count());
  std::size_t answered = 0;
  ASSERT_TRUE(runUntil([&] {
    answered += sentOfType(MessageType::Resolve).size();
    return answered >= kMaxPendingNamesPerSession;
  }));
  runPasses();
  answered += sentOfType(MessageType::Resolve).size();
  EXPECT_EQ(answered, kMaxPendingNamesPerSession);

  // The answers gave the bound back.
  ask({"10.0.0.2"});
  advance(kResolveAnswerDelay.count());
  std::uint32_t address = 0;
  std::string name;
  ASSERT_TRUE(oneResolveAnswer(address, name));
  EXPECT_EQ(name, "10.0.0.2");
  EXPECT_EQ(address, ::inet_addr("10.0.0.2"));
}

// ---- TCP relays ----

// A relay whose client and destination both stop reading: each queue stops at its bound, and
// the rest waits in the kernel's buffers.
TEST_F(SessionRulesTest, AStalledRelaySideHoldsNoMoreThanItsQueueBound) {
  ASSERT_TRUE(MakeUser("relay-stalled", 0, 0));
  ASSERT_TRUE(login("relay-stalled", "pw"));
  // A destination that accepts and never reads.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd client(pair[1]);
  {
    std::lock_guard lock(NetworkLock);
    StartDataConnection(*session_, pair[0]);
  }
  ByteBuffer header;
  AppendDestinationHeader(header, address.sin_addr.s_addr, ntohs(address.sin_port));
  ASSERT_EQ(::send(client.get(), header.data(), header.size(), 0),
            static_cast<ssize_t>(header.size()));
  TcpRelay* relay = nullptr;
  ASSERT_TRUE(runUntil([&] {
    relay = session_->relays().tcp.empty() ? nullptr : session_->relays().tcp.front().get();
    return relay != nullptr && relay->hasDestination() && !relay->connecting();
  }));
  UniqueFd destination(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK));
  ASSERT_TRUE(destination.valid());

  // Both sides write until neither the kernel nor the relay takes more.
  AESEncryptor encryptor(key_.c_str(), static_cast<int>(key_.size()));
  std::vector<std::uint8_t> chunk(60'000, 0x5a);
  ByteBuffer records;
  encryptor.transformAppend(chunk.data(), chunk.size(), records);
  std::size_t recordsSent = 0;
  int quietRounds = 0;
  for (int round = 0; round < 10'000 && quietRounds < 3; ++round) {
    bool moved = false;
    const std::uint8_t* next = records.data() + recordsSent;
    const ssize_t upward = ::send(client.get(), next, records.size() - recordsSent, MSG_NOSIGNAL);
    if (upward > 0) {
      moved = true;
      recordsSent += static_cast<std::size_t>(upward);
      if (recordsSent == records.size()) {
        records.clear();
        encryptor.transformAppend(chunk.data(), chunk.size(), records);
        recordsSent = 0;
      }
    }
    if (::send(destination.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) moved = true;
    runPasses();
    quietRounds = moved ? 0 : quietRounds + 1;
  }
  ASSERT_EQ(quietRounds, 3) << "the relay never stopped taking bytes";
  std::lock_guard lock(NetworkLock);
  EXPECT_GE(relay->queuedForDestination(), kRelayQueueLimit - kCipherUnitSize);
  EXPECT_LE(relay->queuedForDestination(), kRelayQueueMost);
  EXPECT_GE(relay->queuedForClient(), kRelayQueueLimit);
  EXPECT_LE(relay->queuedForClient(), kRelayQueueMost);
}

}  // namespace
}  // namespace tarvo::test
