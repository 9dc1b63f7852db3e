// Traffic accounting on a real session object over a socket pair and the real user store:
// pending bytes reach the stored counter, a vanished user drops them, and the end of a session
// stores what is still pending.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include "external/reader.h"
#include "server/common/password_hash.h"
#include "server/common/session_protocol.h"
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

// A session logged in as name through its own message handler.
UserSocket* LoggedInSession(const char* name, const char* password) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return nullptr;
  auto* session = new UserSocket(pair[0], nullptr);
  ::close(pair[1]);  // the replies are not read
  std::string key = DeriveSessionKeyText(password);
  AESEncryptor encryptor(key.c_str(), static_cast<int>(key.size()));
  ByteBuffer payload, frame;
  AppendLoginPayload(payload, name, encryptor);
  AppendMessage(frame, MessageType::Login, payload.view());
  session->onData(frame.view());
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
  EXPECT_EQ(alice->limitCopy, 4000);  // loaded by the login's store

  alice->pendingBytes = 1500;
  StoreTrafficCounter(*alice);
  EXPECT_EQ(StoredCounter("alice"), 1500);
  EXPECT_EQ(alice->counterCopy, 1500);
  EXPECT_EQ(alice->pendingBytes, 0u);

  // Bytes counted since the last store are not lost when the session ends.
  alice->pendingBytes = 700;
  delete alice;
  EXPECT_EQ(StoredCounter("alice"), 2200);
  EXPECT_TRUE(Sessions().empty());

  // A user who vanished: the pending bytes are dropped and nothing is written.
  UserSocket* bob = LoggedInSession("bob", "pw");
  ASSERT_NE(bob, nullptr);
  ASSERT_TRUE(bob->loggedIn());
  ASSERT_TRUE(DeleteUser("bob"));
  bob->pendingBytes = 900;
  StoreTrafficCounter(*bob);
  EXPECT_EQ(bob->pendingBytes, 0u);
  EXPECT_EQ(StoredCounter("bob"), -1);
  DeleteAllSessions();
  EXPECT_TRUE(Sessions().empty());
}

}  // namespace
}  // namespace tarvo::test
