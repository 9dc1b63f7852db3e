// Requests about live sessions, and the notifications sessions raise while a console attaches.
#include <gtest/gtest.h>

#include "server/common/session_protocol.h"
#include "tests/control_test_support.h"

namespace tarvo::test {
namespace {

using client::ClientStatus;
using client::SessionClient;

struct Fixture {
  TestDaemon daemon{AuditedSettings(true)};
  std::unique_ptr<ControlClient> console;
  NotificationLog log;
  std::unique_ptr<NotifyListener> listener;

  bool attach() {
    return NotifyListener::Start(console->daemonUser(), log.callback(), listener) ==
               PortStatus::Ok &&
           console->CtlAttach();
  }
};

bool Prepare(Fixture& f) {
  if (!f.daemon.started() || !f.daemon.addUser("ann", "pw") || !f.daemon.addUser("ben", "pw")) {
    return false;
  }
  f.console = ConnectTo(f.daemon);
  return f.console != nullptr;
}

TEST(ControlSessions, LoginAndCloseNotifyInOrder) {
  Fixture f;
  ASSERT_TRUE(Prepare(f));
  ASSERT_TRUE(f.attach());
  SessionClient session;
  ASSERT_TRUE(LoggedIn(session, f.daemon, "ann", "pw"));
  // Login: opened, then the counter stored at login.
  auto got = f.log.waitFor(2);
  ASSERT_EQ(Codes(got), (std::vector<std::uint32_t>{NTF_SESSION_OPENED, NTF_USER_CHANGED}));
  EXPECT_EQ(got[0].name, "ann");
  EXPECT_EQ(got[0].address, Loopback());
  EXPECT_EQ(got[0].sessionId, session.sessionId());
  EXPECT_EQ(got[1].name, "ann");

  std::vector<UserInfo> sessions;
  ASSERT_EQ(f.console->CtlListSessions(sessions), 1u);
  EXPECT_STREQ(sessions[0].name, "ann");
  EXPECT_EQ(sessions[0].address, Loopback());
  EXPECT_EQ(sessions[0].sessionId, session.sessionId());

  session.close();
  got = f.log.waitFor(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].code, NTF_SESSION_CLOSED);
  EXPECT_EQ(got[2].sessionId, session.sessionId());

  // Detached: sessions notify nothing.
  ASSERT_TRUE(f.console->CtlDetach());
  SessionClient later;
  ASSERT_TRUE(LoggedIn(later, f.daemon, "ann", "pw"));
  ASSERT_EQ(f.console->CtlAddUser("marker", "pw", 0, true), CTL_OK);
  got = f.log.waitFor(4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3].code, NTF_USER_ADDED);
}

TEST(ControlSessions, DeleteAndLockEndEverySessionOfTheUser) {
  Fixture f;
  ASSERT_TRUE(Prepare(f));
  for (const char* request : {"delete", "lock", "set-lock"}) {
    ASSERT_TRUE(f.daemon.addUser("ann", "pw"));  // back after the delete
    SessionClient a, b, other;
    ASSERT_TRUE(LoggedIn(a, f.daemon, "ann", "pw"));
    ASSERT_TRUE(LoggedIn(b, f.daemon, "ANN", "pw"));
    ASSERT_TRUE(LoggedIn(other, f.daemon, "ben", "pw"));
    if (std::string(request) == "delete") {
      ASSERT_EQ(f.console->CtlDeleteUser("ann"), CTL_OK);
    } else if (std::string(request) == "set-lock") {
      bool changed = false;
      ASSERT_EQ(f.console->CtlSetLock("ann", true, &changed), CTL_OK);
      EXPECT_TRUE(changed);
      ASSERT_EQ(f.console->CtlSetLock("Ann", true, &changed), CTL_OK);  // stays locked
      EXPECT_FALSE(changed);
      ASSERT_EQ(f.console->CtlSetLock("ann", false, &changed), CTL_OK);
      EXPECT_TRUE(changed);
    } else {
      ASSERT_EQ(f.console->CtlToggleLock("ann"), CTL_OK);
      ASSERT_EQ(f.console->CtlToggleLock("ann"), CTL_OK);  // unlocking ends nothing more
      std::vector<UserInfo> left;
      EXPECT_EQ(f.console->CtlListSessions(left), 1u);
    }
    EXPECT_TRUE(ClosedByPeer(a.socket())) << request;
    EXPECT_TRUE(ClosedByPeer(b.socket())) << request;
    std::vector<UserInfo> sessions;
    ASSERT_EQ(f.console->CtlListSessions(sessions), 1u) << request;
    EXPECT_STREQ(sessions[0].name, "ben");
    other.close();
    ASSERT_TRUE(WaitUntil([&] { return f.console->CtlListSessions(sessions) == 0; }));
    f.daemon.store({"delete", "ann"});
  }
}

TEST(ControlSessions, DisconnectAndMessages) {
  Fixture f;
  ASSERT_TRUE(Prepare(f));
  SessionClient ann, ben;
  ASSERT_TRUE(LoggedIn(ann, f.daemon, "ann", "pw"));
  ASSERT_TRUE(LoggedIn(ben, f.daemon, "ben", "pw"));

  // Both sessions come from 127.0.0.1: both get the text.
  EXPECT_EQ(f.console->CtlSendMessage(Loopback(), "maintenance at noon"), CTL_OK);
  for (SessionClient* session : {&ann, &ben}) {
    client::ReceivedMessage message;
    ASSERT_EQ(session->readMessage(message, kIoTimeoutMs), ClientStatus::kOk);
    ASSERT_EQ(message.type, MessageType::TextMessage);
    ByteBuffer text;
    ASSERT_EQ(session->decipher(message.payload.view(), text), ClientStatus::kOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "maintenance at noon");
  }
  EXPECT_EQ(f.console->CtlSendMessage(0x0200007F, "nobody there"), CTL_OK);

  EXPECT_EQ(f.console->CtlDisconnectSession("ann", Loopback(), ann.sessionId() + 1), CTL_NOT_FOUND);
  EXPECT_EQ(f.console->CtlDisconnectSession("ben", Loopback(), ann.sessionId()), CTL_NOT_FOUND);
  EXPECT_EQ(f.console->CtlDisconnectSession("ANN", Loopback(), ann.sessionId()), CTL_OK);
  EXPECT_TRUE(ClosedByPeer(ann.socket()));
  // Its id is stale now.
  EXPECT_TRUE(WaitUntil([&] {
    return f.console->CtlDisconnectSession("ann", Loopback(), ann.sessionId()) == CTL_NOT_FOUND;
  }));
  std::vector<RelayInfo> relays;
  EXPECT_EQ(f.console->CtlListRelays("ann", Loopback(), ann.sessionId(), relays), 0u);
}

}  // namespace
}  // namespace tarvo::test
