// Many sessions on one daemon: far more handles than one select() call could watch, all
// logged in at once and all served.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <vector>

#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::LoginOutcome;
using client::SessionClient;

constexpr int kSessions = 500;

TEST(SessionLoadTest, FiveHundredLoggedInSessionsAreAllServed) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 2 * kSessions) {
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  if (limit.rlim_cur < kSessions + 64) GTEST_SKIP() << "descriptor limit too low";

  TestDaemon daemon(AuditedSettings(/*multiConnect=*/true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("alice", "secret", 1000000));

  std::vector<SessionClient> sessions(kSessions);
  for (auto& session : sessions) {
    ASSERT_TRUE(OpenSession(session, daemon));
    ASSERT_EQ(session.login("alice", "secret", 10000).outcome, LoginOutcome::kAccepted);
  }
  // Every request goes out before any answer is read: the daemon serves them side by side.
  for (auto& session : sessions) {
    ASSERT_EQ(session.sendMessage(MessageType::TrafficInfo), ClientStatus::kOk);
  }
  int answered = 0;
  for (auto& session : sessions) {
    client::ReceivedMessage answer;
    if (session.readMessage(answer, 10000) == ClientStatus::kOk &&
        answer.type == MessageType::TrafficInfo && answer.payload.size() == 16) {
      ++answered;
    }
  }
  EXPECT_EQ(answered, kSessions);
}

}  // namespace
}  // namespace tarvo::test
