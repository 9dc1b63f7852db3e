// The control channel against the real daemon: every request and its statuses, attach and
// detach, several consoles, consoles that die or freeze, and who may connect.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

#include "platform/local_port.h"
#include "server/common/session_protocol.h"
#include "tests/control_test_support.h"

namespace tarvo::test {
namespace {

TEST(ControlUserRequests, EveryStatusAndTheRecordsWrittenBack) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);

  std::vector<UserInfo> users;
  EXPECT_EQ(console->CtlEnumUsers(users), CTL_OK);
  EXPECT_TRUE(users.empty());

  EXPECT_EQ(console->CtlAddUser("Alice", "pw1", 10 << 20), CTL_OK);
  EXPECT_EQ(console->CtlAddUser("alice", "other", 0), CTL_EXISTS);  // names ignore case
  EXPECT_EQ(console->CtlUpdateUser("ALICE", "pw2", 5000), CTL_OK);
  EXPECT_EQ(console->CtlUpdateUser("nobody-here", "x", 0), CTL_NOT_FOUND);

  UserInfo found{};
  std::strcpy(found.name, "aLiCe");
  ASSERT_EQ(console->CtlFindUser(found), CTL_OK);
  EXPECT_STREQ(found.name, "Alice");  // as stored
  EXPECT_STREQ(found.password, "pw2");
  EXPECT_EQ(found.limit, 5000);
  EXPECT_EQ(found.locked, 0);
  UserInfo missing{};
  std::strcpy(missing.name, "ghost");
  EXPECT_EQ(console->CtlFindUser(missing), CTL_NOT_FOUND);

  EXPECT_EQ(console->CtlToggleLock("alice"), CTL_OK);
  ASSERT_EQ(console->CtlFindUser(found), CTL_OK);
  EXPECT_EQ(found.locked, 1);
  EXPECT_EQ(console->CtlToggleLock("alice"), CTL_OK);  // a locked user is unlocked
  ASSERT_EQ(console->CtlFindUser(found), CTL_OK);
  EXPECT_EQ(found.locked, 0);
  EXPECT_EQ(console->CtlToggleLock("ghost"), CTL_FAILED);

  // Setting the state: whatever the user stood at, it ends as asked, and says if it moved.
  bool changed = true;
  EXPECT_EQ(console->CtlSetLock("alice", false, &changed), CTL_OK);
  EXPECT_FALSE(changed);
  EXPECT_EQ(console->CtlSetLock("alice", true, &changed), CTL_OK);
  EXPECT_TRUE(changed);
  ASSERT_EQ(console->CtlFindUser(found), CTL_OK);
  EXPECT_EQ(found.locked, 1);
  EXPECT_EQ(console->CtlSetLock("ALICE", true, &changed), CTL_OK);
  EXPECT_FALSE(changed);
  EXPECT_EQ(console->CtlSetLock("alice", false, &changed), CTL_OK);
  EXPECT_TRUE(changed);
  EXPECT_EQ(console->CtlSetLock("ghost", true, &changed), CTL_NOT_FOUND);
  EXPECT_FALSE(changed);

  EXPECT_EQ(console->CtlResetCounter("alice"), CTL_OK);
  EXPECT_EQ(console->CtlResetCounter("ghost"), CTL_FAILED);

  EXPECT_EQ(console->CtlDeleteUser("ALICE"), CTL_OK);
  EXPECT_EQ(console->CtlDeleteUser("alice"), CTL_NOT_FOUND);
  EXPECT_EQ(console->CtlEnumUsers(users), CTL_OK);
  EXPECT_TRUE(users.empty());
}

TEST(ControlUserRequests, NotificationsFollowTheFlagInOrder) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  NotificationLog log;
  std::unique_ptr<NotifyListener> listener;
  ASSERT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), listener), PortStatus::Ok);

  // Requests 2-6 notify by their flag alone, attached or not.
  ASSERT_EQ(console->CtlAddUser("bob", "pw", 0, true), CTL_OK);
  ASSERT_EQ(console->CtlAddUser("quiet", "pw", 0, false), CTL_OK);
  ASSERT_EQ(console->CtlUpdateUser("bob", "pw", 777, true), CTL_OK);
  ASSERT_EQ(console->CtlToggleLock("bob", true), CTL_OK);
  ASSERT_EQ(console->CtlResetCounter("bob", true), CTL_OK);
  ASSERT_EQ(console->CtlDeleteUser("bob", true), CTL_OK);
  EXPECT_EQ(console->CtlDeleteUser("bob", true), CTL_NOT_FOUND);  // a failure notifies nothing

  auto got = log.waitFor(5);
  ASSERT_EQ(Codes(got),
            (std::vector<std::uint32_t>{NTF_USER_ADDED, NTF_USER_CHANGED, NTF_USER_CHANGED,
                                        NTF_USER_CHANGED, NTF_USER_DELETED}));
  EXPECT_EQ(got[1].user.limit, 777);
  EXPECT_EQ(got[2].user.locked, 1);
  EXPECT_STREQ(got[2].user.password, "pw");  // the stored password, written back
  EXPECT_EQ(got[4].name, "bob");
}

TEST(ControlSettings, GetSetAndTheListenerMoves) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);

  SettingsRecord settings{};
  ASSERT_EQ(console->CtlGetSettings(settings), CTL_OK);
  EXPECT_EQ(settings.ServerPort, daemon.port());
  EXPECT_EQ(settings.AuditType, 1);

  // Same port: the listener stays; values and the file change.
  std::strcpy(settings.MinClientVersion, "2.0.1");
  settings.MultiConnect = 7;  // read as yes
  ASSERT_EQ(console->CtlSetSettings(settings), CTL_OK);
  EXPECT_TRUE(PortAcceptsConnections(daemon.port()));
  SettingsRecord read{};
  ASSERT_EQ(console->CtlGetSettings(read), CTL_OK);
  EXPECT_STREQ(read.MinClientVersion, "2.0.1");
  EXPECT_EQ(read.MultiConnect, 1u);
  EXPECT_NE(daemon.readFile("tarvoserver.ini").find("[MinClientVersion]:2.0.1"), std::string::npos);

  // A new free port: the listener moves.
  const int moved = FreeLoopbackPort();
  settings.ServerPort = moved;
  ASSERT_EQ(console->CtlSetSettings(settings), CTL_OK);
  EXPECT_TRUE(WaitUntil([&] { return PortAcceptsConnections(moved); }));
  // The old socket goes once the network thread's wait has let go of it.
  EXPECT_TRUE(WaitUntil([&] { return !PortAcceptsConnections(daemon.port()); }));
  EXPECT_NE(daemon.process().stderrText().find("TarvoServer: listening on 0.0.0.0 port " +
                                               std::to_string(moved) + "\n"),
            std::string::npos);

  // A port in use: still 0, and no listener at all.
  const int taken = FreeLoopbackPort();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(taken));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  settings.ServerPort = taken;
  EXPECT_EQ(console->CtlSetSettings(settings), CTL_OK);
  ::close(fd);
  EXPECT_TRUE(WaitUntil([&] { return !PortAcceptsConnections(moved); }));
  EXPECT_FALSE(PortAcceptsConnections(taken));
  EXPECT_EQ(console->CtlGetSettings(read), CTL_OK);  // still answering
  EXPECT_EQ(read.ServerPort, taken);
  EXPECT_EQ(daemon.process().stderrText().find("port " + std::to_string(taken)), std::string::npos);
}

TEST(ControlConsoles, TwoConnectionsEachAnsweredOnItsOwn) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  auto first = ConnectTo(daemon);
  auto second = ConnectTo(daemon);
  ASSERT_TRUE(first && second);
  ASSERT_EQ(first->CtlAddUser("one", "pw", 0), CTL_OK);
  ASSERT_EQ(second->CtlAddUser("two", "pw", 0), CTL_OK);
  // Each reply lands in its own connection's reply area.
  std::vector<UserInfo> users;
  ASSERT_EQ(first->CtlEnumUsers(users), CTL_OK);
  EXPECT_EQ(users.size(), 2u);
  SettingsRecord settings{};
  ASSERT_EQ(second->CtlGetSettings(settings), CTL_OK);
  EXPECT_EQ(settings.ServerPort, daemon.port());
  ASSERT_EQ(first->CtlEnumUsers(users), CTL_OK);
  EXPECT_EQ(users.size(), 2u);
  EXPECT_TRUE(first->CtlAttach());
  EXPECT_TRUE(second->CtlDetach());
}

TEST(ControlConsoles, SecondConsoleCannotTakeTheNotifyPort) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  NotificationLog log;
  std::unique_ptr<NotifyListener> first, second;
  ASSERT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), first), PortStatus::Ok);
  EXPECT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), second),
            PortStatus::NameTaken);
  // The first still receives.
  ASSERT_EQ(console->CtlAddUser("carol", "pw", 0, true), CTL_OK);
  EXPECT_EQ(Codes(log.waitFor(1)), std::vector<std::uint32_t>{NTF_USER_ADDED});
}

bool SaidOnStderr(TestDaemon& daemon, const std::string& line) {
  return WaitUntil([&] {
    return daemon.process().stderrText().find("TarvoServer: " + line + "\n") != std::string::npos;
  });
}

// Also what the operator is told on stderr: attaches, the console that went, the detach.
TEST(ControlConsoles, KilledConsoleIsForgottenAndTheNextNotificationIsLost) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  const std::string password = "Dave-Secret-77";
  ASSERT_TRUE(daemon.addUser("dave", password));
  ::setenv("TARVO_RUNTIME_DIR", daemon.home().c_str(), 1);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // A console that attaches and then dies without detaching.
    std::unique_ptr<ControlClient> console;
    std::unique_ptr<NotifyListener> listener;
    bool ok = ControlClient::ConnectControlPort(console) == PortStatus::Ok &&
              NotifyListener::Start(console->daemonUser(), nullptr, listener) == PortStatus::Ok &&
              console->CtlAttach();
    char byte = ok ? 1 : 0;
    (void)!::write(ready[1], &byte, 1);
    ::pause();
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  const std::string uid = std::to_string(::geteuid());
  EXPECT_TRUE(SaidOnStderr(daemon, "a console attached (uid " + uid + ", pid " +
                                       std::to_string(child) + ")"));
  EXPECT_TRUE(SaidOnStderr(daemon, "the attached console was dropped (uid " + uid + ", pid " +
                                       std::to_string(child) + "): it left without detaching"));

  // The login notifies a console that is gone: lost, and nothing else suffers.
  client::SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "dave", password));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  std::vector<UserInfo> sessions;
  EXPECT_EQ(console->CtlListSessions(sessions), 1u);
  // A new console gets the next notifications.
  NotificationLog log;
  std::unique_ptr<NotifyListener> listener;
  ASSERT_EQ(NotifyListener::Start(console->daemonUser(), log.callback(), listener), PortStatus::Ok);
  ASSERT_TRUE(console->CtlAttach());
  session.close();
  auto got = log.waitFor(1);
  // The login's notification, raised for the console that died, may still reach this listener
  // in the moment between its start and its attach: harmless, and then it comes first.
  if (!got.empty() && got.front().code == NTF_SESSION_OPENED) got = log.waitFor(2);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().code, NTF_SESSION_CLOSED);

  ASSERT_TRUE(console->CtlDetach());
  const std::string me = "(uid " + uid + ", pid " + std::to_string(::getpid()) + ")";
  EXPECT_TRUE(SaidOnStderr(daemon, "a console attached " + me));
  EXPECT_TRUE(SaidOnStderr(daemon, "the console detached " + me));
  const std::string said = daemon.process().stderrText();
  EXPECT_EQ(said.find(password), std::string::npos) << said;
  std::istringstream lines(said);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.rfind("TarvoServer: ", 0), 0u) << line;
  }
}

// A console whose notify port accepts nothing and answers nothing.
TEST(ControlConsoles, FrozenConsoleDoesNotStallSessionsOrRequests) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("erin", "pw"));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  std::unique_ptr<LocalPort> frozen;  // created, never served
  ASSERT_EQ(LocalPort::Create(kNotifyPortName, PortAccessRule::UserAndRoot(::geteuid()), frozen),
            PortStatus::Ok);
  ASSERT_TRUE(console->CtlAttach());
  // Each login queues notifications the frozen console never takes; logins and requests go on.
  for (int i = 0; i < 20; ++i) {
    client::SessionClient session;
    ASSERT_TRUE(LoggedIn(session, daemon, "erin", "pw")) << i;
    SettingsRecord settings{};
    ASSERT_EQ(console->CtlGetSettings(settings), CTL_OK) << i;
  }
  EXPECT_TRUE(console->CtlDetach());
  // The stop ends the listener and the notifier without waiting on the frozen console for long.
  EXPECT_EQ(daemon.process().stop(SIGTERM, 30000), std::optional<int>(0));
}

// A console whose notify port takes the connection but answers no notification: dropped after
// each, and said once.
TEST(ControlConsoles, ConsoleThatDoesNotAnswerIsDroppedAndSaidOnce) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("fay", "pw"));
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  std::unique_ptr<LocalPort> mute;
  ASSERT_EQ(LocalPort::Create(kNotifyPortName, PortAccessRule::UserAndRoot(::geteuid()), mute),
            PortStatus::Ok);
  std::atomic<int> connections{0};
  std::atomic<bool> stopping{false};
  std::thread server([&] {
    while (!stopping.load()) {
      PortEvent event;
      if (mute->receive(event, 100) != PortStatus::Ok) continue;
      if (event.type == PortMessageType::ConnectionRequest &&
          mute->accept(event.connection, nullptr) == PortStatus::Ok &&
          mute->complete(event.connection) == PortStatus::Ok) {
        ++connections;
      }
    }
  });
  ASSERT_TRUE(console->CtlAttach());
  // Each login's notifications wait for an answer that never comes, and connect anew.
  for (int i = 0; i < 3; ++i) {
    client::SessionClient session;
    ASSERT_TRUE(LoggedIn(session, daemon, "fay", "pw")) << i;
  }
  EXPECT_TRUE(WaitUntil([&] { return connections.load() >= 2; }, 20000));
  EXPECT_TRUE(console->CtlDetach());
  stopping = true;
  server.join();
  const std::string said = daemon.process().stderrText();
  const std::string line =
      "TarvoServer: a console did not answer a notification in time: its notify connection was "
      "dropped\n";
  const std::size_t first = said.find(line);
  EXPECT_NE(first, std::string::npos) << said;
  EXPECT_EQ(said.find(line, first + 1), std::string::npos) << said;
}

// A console that writes no NUL anywhere, and a code nobody knows.
TEST(ControlConsoles, RequestAreaReadsStayInsideTheArea) {
  TestDaemon daemon(AuditedSettings(true));
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(daemon.addUser("lu", "pw"));
  client::SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "lu", "pw"));
  ::setenv("TARVO_RUNTIME_DIR", daemon.home().c_str(), 1);
  SharedSection area;
  ASSERT_TRUE(SharedSection::Create(kRequestSectionSize, kRequestViewSize, area));
  std::unique_ptr<PortConnection> port;
  ASSERT_EQ(PortConnection::Connect(kControlPortName, &area, port, 10000), PortStatus::Ok);
  auto request = [&](std::uint32_t code, std::uint32_t status = 0) {
    ControlMessage message = MakeControlRequest(code);
    message.status = status;
    PortMessage raw = ToPortMessage(message);
    EXPECT_EQ(port->requestWaitReply(raw, 10000), PortStatus::Ok);
    return ToControlMessage(raw);
  };
  std::memset(area.base(), 'A', area.viewSize());
  // Name and password are cut at 256 characters.
  EXPECT_EQ(request(CTL_ADD_USER).status, CTL_OK);
  std::memset(area.base(), 'A', area.viewSize());
  const std::uint32_t address = Loopback();
  std::memcpy(area.base(), &address, sizeof address);
  // The text runs to the end of the area: sent, cut there.
  EXPECT_EQ(request(CTL_SEND_MESSAGE).status, CTL_OK);
  client::ReceivedMessage text;
  EXPECT_EQ(session.readMessage(text, kIoTimeoutMs), client::ClientStatus::kOk);
  EXPECT_EQ(text.type, MessageType::TextMessage);
  EXPECT_EQ(request(CTL_LIST_RELAYS).value, 0u);
  EXPECT_EQ(request(99, 0xABCD).status, 0xABCDu);  // unknown: answered unchanged

  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  UserInfo user{};
  std::string longName(256, 'A');
  longName.copy(user.name, 256);
  ASSERT_EQ(console->CtlFindUser(user), CTL_OK);
  EXPECT_EQ(std::string(user.password), std::string(256, 'A'));
}

TEST(ControlAccess, OutsidersAreRefused) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  ::setenv("TARVO_RUNTIME_DIR", daemon.home().c_str(), 1);
  const std::optional<int> status = ExitStatusAsNobody([] {
    std::unique_ptr<ControlClient> console;
    const PortStatus connected = ControlClient::ConnectControlPort(console);
    return connected == PortStatus::AccessDenied ? 0 : 20 + static_cast<int>(connected);
  });
  if (!status) GTEST_SKIP() << "needs root and the user nobody";
  EXPECT_EQ(*status, 0);
  // Root still gets in.
  EXPECT_TRUE(ConnectTo(daemon));
}

}  // namespace
}  // namespace tarvo::test
