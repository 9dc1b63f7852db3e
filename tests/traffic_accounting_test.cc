// Traffic accounting on a real session object over a socket pair and the real user store:
// pending bytes reach the stored counter, a vanished user drops them, and the end of a session
// stores what is still pending.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <functional>
#include <vector>
#include <mutex>

#include "external/reader.h"
#include "server/common/password_hash.h"
#include "server/common/session_protocol.h"
#include "platform/fd.h"
#include "server/service/network_loop.h"
#include "server/service/session_list.h"
#include "server/service/traffic_accounting.h"
#include "server/service/user_socket.h"
#include "tests/daemon_process.h"

namespace tarvo::test {
namespace {

std::int64_t StoredCounter(const char* name) {
  char password[kUserPasswordSize];
  std::int64_t limit = 0, counter = -1;
  std::uint8_t locked = 0;
  return GetUserInfo(name, password, &limit, &counter, &locked) ? counter : -1;
}

// Runs the network loop until done() holds (store answers come back through it).
bool RunUntil(const std::function<bool()>& done) {
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

// A session logged in as name through its own message handler.
UserSocket* LoggedInSession(const char* name, const char* password) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return nullptr;
  auto* session = new UserSocket(pair[0], nullptr);
  // The replies are not read, but the client stays: a closed peer would end the session.
  static std::vector<UniqueFd> peers;
  peers.emplace_back(pair[1]);
  std::string key = DeriveSessionKeyText(password);
  AESEncryptor encryptor(key.c_str(), static_cast<int>(key.size()));
  ByteBuffer payload, frame;
  AppendLoginPayload(payload, name, encryptor);
  AppendMessage(frame, MessageType::Login, payload.view());
  {
    std::lock_guard lock(NetworkLock);
    session->onData(frame.view());
  }
  RunUntil([session] { return session->loggedIn(); });
  return session;
}

TEST(TrafficAccountingTest, PendingBytesReachTheStoreAndSessionEndKeepsThem) {
  TempDir home;
  ASSERT_EQ(::setenv("TARVO_HOME", home.path().c_str(), 1), 0);
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("alice", "secret", 4000, 0));
  ASSERT_TRUE(SetUserInfo("bob", "pw", 0, 0));

  UserSocket* alice = LoggedInSession("alice", "secret");
  ASSERT_NE(alice, nullptr);
  ASSERT_TRUE(alice->loggedIn());
  EXPECT_EQ(Sessions().size(), 1u);
  EXPECT_EQ(alice->account.limit, 4000);  // read by the login

  {
    std::lock_guard lock(NetworkLock);
    alice->countRelayed(1500);
    StoreTrafficCounter(*alice);
  }
  ASSERT_TRUE(RunUntil([alice] { return !alice->account.storeInFlight; }));
  EXPECT_EQ(StoredCounter("alice"), 1500);
  EXPECT_EQ(alice->account.counter, 1500);
  EXPECT_EQ(alice->account.pending, 0u);

  // Bytes counted since the last store are not lost when the session ends.
  {
    std::lock_guard lock(NetworkLock);
    alice->countRelayed(700);
    delete alice;
  }
  ASSERT_TRUE(RunUntil([] { return StoredCounter("alice") == 2200; }));
  EXPECT_TRUE(Sessions().empty());

  // A user who vanished: the pending bytes are dropped and nothing is written.
  UserSocket* bob = LoggedInSession("bob", "pw");
  ASSERT_NE(bob, nullptr);
  ASSERT_TRUE(bob->loggedIn());
  ASSERT_TRUE(DeleteUser("bob"));
  {
    std::lock_guard lock(NetworkLock);
    bob->countRelayed(900);
    StoreTrafficCounter(*bob);
  }
  ASSERT_TRUE(RunUntil([bob] { return !bob->account.storeInFlight; }));
  EXPECT_EQ(bob->account.pending, 0u);
  EXPECT_EQ(StoredCounter("bob"), -1);
  std::lock_guard lock(NetworkLock);
  DeleteAllSessions();
  EXPECT_TRUE(Sessions().empty());
}

}  // namespace
}  // namespace tarvo::test
