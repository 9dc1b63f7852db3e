// Local ports between threads and processes: connection set-up with sections both ways,
// refusals, many connections on one receiver, dead peers, names, time-outs and access rules.
#include "platform/local_port.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "platform/home.h"
#include "platform/port_frames.h"
#include "server/common/control_records.h"

namespace tarvo {
namespace {

// Bounds every wait so that a fault fails the test instead of hanging it.
constexpr int kBoundMs = 10'000;
constexpr char kPort[] = "test.sock";

class LocalPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvo-port-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    // Other users must reach the sockets for the access tests; the file modes then decide.
    ::chmod(directory_.c_str(), 0711);
    ::setenv("TARVO_RUNTIME_DIR", directory_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TARVO_RUNTIME_DIR");
    std::filesystem::remove_all(directory_);
  }

  std::unique_ptr<LocalPort> CreatePort(const PortAccessRule& rule) {
    std::unique_ptr<LocalPort> port;
    std::string error;
    EXPECT_EQ(LocalPort::Create(kPort, rule, port, &error), PortStatus::Ok) << error;
    return port;
  }

  std::string directory_;
};

PortAccessRule OwnRule() { return PortAccessRule::UserAndRoot(::geteuid()); }

SharedSection MakeSection(std::size_t size, std::size_t view) {
  SharedSection section;
  std::string error;
  EXPECT_TRUE(SharedSection::Create(size, view, section, &error)) << error;
  return section;
}

// Receives the next event, which must be a connection request, and accepts it.
ConnectionId AcceptNext(LocalPort& port, const SharedSection* own) {
  PortEvent event;
  std::string error;
  EXPECT_EQ(port.receive(event, kBoundMs, &error), PortStatus::Ok) << error;
  EXPECT_EQ(event.type, PortMessageType::ConnectionRequest);
  EXPECT_EQ(port.accept(event.connection, own, &error), PortStatus::Ok) << error;
  EXPECT_EQ(port.complete(event.connection, &error), PortStatus::Ok) << error;
  return event.connection;
}

PortEvent ReceiveNext(LocalPort& port) {
  PortEvent event;
  std::string error;
  EXPECT_EQ(port.receive(event, kBoundMs, &error), PortStatus::Ok) << error;
  return event;
}

std::unique_ptr<PortConnection> ConnectOrFail(const SharedSection* own) {
  std::unique_ptr<PortConnection> connection;
  std::string error;
  EXPECT_EQ(PortConnection::Connect(kPort, own, connection, kBoundMs, &error), PortStatus::Ok)
      << error;
  return connection;
}

TEST_F(LocalPortTest, RequestsAndRepliesCarrySectionDataBothWays) {
  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  SharedSection replyArea = MakeSection(kReplyAreaSize, kReplyAreaSize);

  std::thread owner([&] {
    PortEvent event = ReceiveNext(*port);
    ASSERT_EQ(event.type, PortMessageType::ConnectionRequest);
    EXPECT_EQ(event.peer.uid, ::geteuid());
    EXPECT_EQ(event.peerViewSize, kRequestViewSize);
    const ConnectionId id = event.connection;
    ASSERT_EQ(port->accept(id, &replyArea), PortStatus::Ok);
    ASSERT_EQ(port->complete(id), PortStatus::Ok);

    for (std::uint32_t round = 1; round <= 3; ++round) {
      event = ReceiveNext(*port);
      ASSERT_EQ(event.type, PortMessageType::Request);
      ASSERT_EQ(event.connection, id);
      EXPECT_EQ(event.message.header.clientProcess, static_cast<std::uint32_t>(::getpid()));
      ControlMessage request = ToControlMessage(event.message);
      EXPECT_EQ(request.code, CTL_GET_SETTINGS);
      auto* requestArea = static_cast<char*>(port->peerView(id)->base());
      EXPECT_EQ(std::string(requestArea), "question " + std::to_string(round));
      // Results go both into the console's request area and the far end of the reply area.
      std::strcpy(requestArea + 512, "written back");
      auto* reply = static_cast<char*>(replyArea.base());
      std::snprintf(reply + kReplyAreaSize - 16, 16, "answer %u", round);
      request.value = round;
      request.status = CTL_NOT_FOUND;
      ASSERT_EQ(port->reply(id, ToPortMessage(request)), PortStatus::Ok);
    }
    event = ReceiveNext(*port);
    EXPECT_EQ(event.type, PortMessageType::PortClosed);
    EXPECT_EQ(event.connection, id);
    port->close(id);
  });

  SharedSection requestArea = MakeSection(kRequestSectionSize, kRequestViewSize);
  auto connection = ConnectOrFail(&requestArea);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->peerView().valid());
  EXPECT_EQ(connection->peerView().viewSize(), kReplyAreaSize);
  EXPECT_EQ(connection->peer().uid, ::geteuid());
  auto* mine = static_cast<char*>(requestArea.base());
  for (std::uint32_t round = 1; round <= 3; ++round) {
    std::strcpy(mine, ("question " + std::to_string(round)).c_str());
    PortMessage message = ToPortMessage(MakeControlRequest(CTL_GET_SETTINGS));
    std::string error;
    ASSERT_EQ(connection->requestWaitReply(message, kBoundMs, &error), PortStatus::Ok) << error;
    ControlMessage reply = ToControlMessage(message);
    EXPECT_EQ(reply.header.type, static_cast<std::uint16_t>(PortMessageType::Reply));
    EXPECT_EQ(reply.code, CTL_GET_SETTINGS);
    EXPECT_EQ(reply.value, round);
    EXPECT_EQ(reply.status, CTL_NOT_FOUND);
    EXPECT_STREQ(mine + 512, "written back");
    auto* far = static_cast<const char*>(connection->peerView().base()) + kReplyAreaSize - 16;
    EXPECT_EQ(std::string(far), "answer " + std::to_string(round));
  }
  connection->close();
  owner.join();
  EXPECT_EQ(port->connectionCount(), 0u);
}

TEST_F(LocalPortTest, RefusalAndMissingPortAreReportedDistinctly) {
  std::unique_ptr<PortConnection> connection;
  EXPECT_EQ(PortConnection::Connect(kPort, nullptr, connection, kBoundMs), PortStatus::NotFound);

  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  std::thread owner([&] {
    PortEvent event = ReceiveNext(*port);
    ASSERT_EQ(event.type, PortMessageType::ConnectionRequest);
    EXPECT_EQ(event.peerViewSize, 0u);
    port->refuse(event.connection);
  });
  EXPECT_EQ(PortConnection::Connect(kPort, nullptr, connection, kBoundMs), PortStatus::Refused);
  EXPECT_FALSE(connection);
  owner.join();
  EXPECT_EQ(port->connectionCount(), 0u);
}

TEST_F(LocalPortTest, OneReceiverServesSeveralConnectionsEachOnItsOwn) {
  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  constexpr int kClients = 3;
  constexpr std::uint32_t kRounds = 50;

  std::vector<std::thread> clients;
  std::vector<int> failures(kClients, 0);
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      SharedSection area = MakeSection(kRequestSectionSize, kRequestViewSize);
      auto connection = ConnectOrFail(&area);
      if (!connection) return void(++failures[c]);
      for (std::uint32_t round = 0; round < kRounds; ++round) {
        const std::uint32_t tag = static_cast<std::uint32_t>(c) * 1000 + round;
        std::memcpy(area.base(), &tag, sizeof tag);
        PortMessage message = ToPortMessage(MakeControlRequest(CTL_LIST_SESSIONS));
        if (connection->requestWaitReply(message, kBoundMs) != PortStatus::Ok) {
          return void(++failures[c]);
        }
        std::uint32_t reply = ToControlMessage(message).value;
        if (reply != tag + 1) ++failures[c];
      }
    });
  }
  // The owner answers from each connection's own request area.
  int ended = 0;
  while (ended < kClients) {
    PortEvent event = ReceiveNext(*port);
    if (::testing::Test::HasFailure()) break;
    if (event.type == PortMessageType::ConnectionRequest) {
      ASSERT_EQ(port->accept(event.connection, nullptr), PortStatus::Ok);
      ASSERT_EQ(port->complete(event.connection), PortStatus::Ok);
    } else if (event.type == PortMessageType::Request) {
      std::uint32_t tag;
      std::memcpy(&tag, port->peerView(event.connection)->base(), sizeof tag);
      ControlMessage reply = ToControlMessage(event.message);
      reply.value = tag + 1;
      ASSERT_EQ(port->reply(event.connection, ToPortMessage(reply)), PortStatus::Ok);
    } else {
      port->close(event.connection);
      ++ended;
    }
  }
  for (auto& client : clients) client.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], 0) << "client " << c;
}

// A child process that connects and sends one request, then waits to be killed.
pid_t StartRequestingChild() {
  pid_t child = ::fork();
  if (child == 0) {
    std::unique_ptr<PortConnection> connection;
    if (PortConnection::Connect(kPort, nullptr, connection, kBoundMs) != PortStatus::Ok) {
      ::_exit(1);
    }
    PortMessage message = ToPortMessage(MakeControlRequest(CTL_ENUM_USERS));
    connection->requestWaitReply(message);
    ::_exit(2);
  }
  return child;
}

TEST_F(LocalPortTest, KilledConnectorIsSeenAsClientDied) {
  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  pid_t child = StartRequestingChild();
  ASSERT_GT(child, 0);
  const ConnectionId id = AcceptNext(*port, nullptr);
  PortEvent event = ReceiveNext(*port);
  ASSERT_EQ(event.type, PortMessageType::Request);
  EXPECT_EQ(event.message.header.clientProcess, static_cast<std::uint32_t>(child));

  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  event = ReceiveNext(*port);
  EXPECT_EQ(event.type, PortMessageType::ClientDied);
  EXPECT_EQ(event.connection, id);
  // Answering the dead peer reports the end instead of failing obscurely.
  EXPECT_EQ(port->reply(id, event.message), PortStatus::Closed);
  port->close(id);
  EXPECT_EQ(port->connectionCount(), 0u);
}

TEST_F(LocalPortTest, KilledOwnerIsSeenAsClosedByAWaitingRequest) {
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  pid_t child = ::fork();
  if (child == 0) {
    std::unique_ptr<LocalPort> port;
    if (LocalPort::Create(kPort, OwnRule(), port) != PortStatus::Ok) ::_exit(1);
    char byte = 'c';
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    PortEvent event;
    if (port->receive(event, kBoundMs) != PortStatus::Ok) ::_exit(1);
    port->accept(event.connection, nullptr);
    port->complete(event.connection);
    if (port->receive(event, kBoundMs) != PortStatus::Ok) ::_exit(1);
    byte = 'r';  // holds the request unanswered until killed
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'c');
  auto connection = ConnectOrFail(nullptr);
  ASSERT_TRUE(connection);
  std::thread killer([&] {
    char got = 0;
    if (::read(ready[0], &got, 1) == 1 && got == 'r') ::kill(child, SIGKILL);
  });
  PortMessage message = ToPortMessage(MakeControlRequest(CTL_ENUM_USERS));
  EXPECT_EQ(connection->requestWaitReply(message, kBoundMs), PortStatus::Closed);
  EXPECT_FALSE(connection->connected());
  EXPECT_EQ(connection->requestWaitReply(message, kBoundMs), PortStatus::Closed);
  killer.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  ::close(ready[0]);
}

TEST_F(LocalPortTest, LiveNameIsKeptAndStaleSocketFileIsTakenOver) {
  std::string path;
  ASSERT_TRUE(RuntimeFilePath(kPort, path));
  // A socket file whose process is gone: bound, never listened to, closed.
  {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    UniqueFd stale(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ASSERT_TRUE(std::filesystem::exists(path));
  {
    auto port = CreatePort(OwnRule());
    ASSERT_TRUE(port);
    std::unique_ptr<LocalPort> second;
    EXPECT_EQ(LocalPort::Create(kPort, OwnRule(), second), PortStatus::NameTaken);
    EXPECT_FALSE(second);

    // The first port still works after the failed attempt (which probed it).
    std::thread owner([&] { AcceptNext(*port, nullptr); });
    auto connection = ConnectOrFail(nullptr);
    owner.join();
    EXPECT_TRUE(connection);
  }
  EXPECT_FALSE(std::filesystem::exists(path));  // removed with its port

  // Something that is not a socket is never removed to make room.
  {
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(file);
    std::fclose(file);
  }
  std::unique_ptr<LocalPort> port;
  std::string error;
  EXPECT_EQ(LocalPort::Create(kPort, OwnRule(), port, &error), PortStatus::Failed);
  EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST_F(LocalPortTest, UnansweredRequestTimesOutAndTheLateReplyIsDropped) {
  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  std::promise<void> timedOut;
  std::thread owner([&] {
    const ConnectionId id = AcceptNext(*port, nullptr);
    PortEvent first = ReceiveNext(*port);
    timedOut.get_future().wait();
    ControlMessage late = ToControlMessage(first.message);
    late.value = 1;
    EXPECT_EQ(port->reply(id, ToPortMessage(late)), PortStatus::Ok);
    PortEvent second = ReceiveNext(*port);
    ControlMessage answer = ToControlMessage(second.message);
    answer.value = 2;
    EXPECT_EQ(port->reply(id, ToPortMessage(answer)), PortStatus::Ok);
  });
  auto connection = ConnectOrFail(nullptr);
  ASSERT_TRUE(connection);
  PortMessage message = ToPortMessage(MakeNotification(NTF_SESSION_OPENED));
  EXPECT_EQ(connection->requestWaitReply(message, 200), PortStatus::TimedOut);
  timedOut.set_value();
  message = ToPortMessage(MakeNotification(NTF_SESSION_CLOSED));
  ASSERT_EQ(connection->requestWaitReply(message, kBoundMs), PortStatus::Ok);
  EXPECT_EQ(ToControlMessage(message).value, 2u);
  EXPECT_EQ(ToControlMessage(message).code, NTF_SESSION_CLOSED);
  owner.join();
}

TEST_F(LocalPortTest, InterruptEndsAWaitingReceive) {
  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  std::thread stopper([&] { port->interrupt(); });
  PortEvent event;
  EXPECT_EQ(port->receive(event), PortStatus::Interrupted);
  stopper.join();
}

// Sends a raw connection request offering fd with the given view size; returns the status
// the port's answer stands for.
PortStatus RawConnect(int fd, std::uint32_t viewSize) {
  std::string path;
  if (!RuntimeFilePath(kPort, path)) return PortStatus::Failed;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return PortStatus::Failed;
  }
  PortMessage frame =
      port_frames::MakeFrame(static_cast<std::uint16_t>(PortMessageType::ConnectionRequest));
  frame.header.clientViewSize = viewSize;
  const auto deadline = port_frames::Deadline::After(kBoundMs);
  if (port_frames::SendFrame(socket.get(), frame, fd, deadline, nullptr) !=
      port_frames::SendResult::Sent) {
    return PortStatus::Failed;
  }
  if (port_frames::WaitReadable(socket.get(), deadline, nullptr) !=
      port_frames::WaitResult::Ready) {
    return PortStatus::TimedOut;
  }
  UniqueFd passed;
  if (port_frames::ReadFrame(socket.get(), frame, passed, nullptr) !=
      port_frames::ReadResult::Frame) {
    return PortStatus::Closed;
  }
  return frame.header.type == port_frames::kRefuseFrame ? PortStatus::Refused : PortStatus::Ok;
}

TEST_F(LocalPortTest, SectionsThatCouldShrinkOrAreTooSmallAreRefused) {
  auto port = CreatePort(OwnRule());
  ASSERT_TRUE(port);
  std::atomic<bool> reported{false};
  std::thread owner([&] {
    PortEvent event;
    if (port->receive(event, kBoundMs) == PortStatus::Ok) reported = true;
  });
  UniqueFd unsealed(::memfd_create("unsealed", MFD_CLOEXEC));
  ASSERT_EQ(::ftruncate(unsealed.get(), 8192), 0);
  EXPECT_EQ(RawConnect(unsealed.get(), 4096), PortStatus::Refused);
  SharedSection small = MakeSection(4096, 4096);
  EXPECT_EQ(RawConnect(small.fd(), 8192), PortStatus::Refused);
  EXPECT_EQ(RawConnect(kNoDescriptor, 4096), PortStatus::Refused);  // a view without a section
  port->interrupt();
  owner.join();
  EXPECT_FALSE(reported);  // the owner never hears of them
  EXPECT_EQ(port->connectionCount(), 0u);
}

TEST(PortAccessRuleTest, AdmitsRootTheUserAndTheGroupOnly) {
  const auto rule = PortAccessRule::UserGroupAndRoot(1000, 4321);
  EXPECT_TRUE(rule.admits({1, 0, 0, {}}));
  EXPECT_TRUE(rule.admits({1, 1000, 1000, {}}));
  EXPECT_TRUE(rule.admits({1, 2000, 4321, {}}));
  EXPECT_TRUE(rule.admits({1, 2000, 2000, {27, 4321}}));
  EXPECT_FALSE(rule.admits({1, 2000, 2000, {27}}));
  EXPECT_FALSE(PortAccessRule::UserAndRoot(1000).admits({1, 2000, 4321, {4321}}));
  EXPECT_EQ(rule.socketFileMode(1000), 0660u);
  EXPECT_EQ(PortAccessRule::UserAndRoot(1000).socketFileMode(1000), 0600u);
  EXPECT_EQ(PortAccessRule::UserAndRoot(1000).socketFileMode(3000), 0666u);
  // An administrator's notify port for a daemon running as root, which may lack the capability
  // to pass over file permissions.
  EXPECT_EQ(PortAccessRule::UserAndRoot(0).socketFileMode(1000), 0666u);
  EXPECT_EQ(PortAccessRule::UserAndRoot(0).socketFileMode(0), 0600u);
  EXPECT_FALSE(PortAccessRule::ForControlPort("no-such-group-here").group().has_value());
}

constexpr uid_t kNobody = 65534;
constexpr gid_t kAdminGroup = 4321;

// Forks a child that waits for a byte on go, takes nobody's identity (with kAdminGroup as a
// supplementary group when asked), connects and exits with the PortStatus it got. Forked
// before any thread starts, so the child inherits no held lock.
pid_t StartNobodyChild(int go, bool inAdminGroup) {
  pid_t child = ::fork();
  if (child == 0) {
    char byte;
    if (::read(go, &byte, 1) != 1) ::_exit(100);
    gid_t groups[] = {kAdminGroup};
    if (::setgroups(inAdminGroup ? 1 : 0, groups) != 0) ::_exit(101);
    if (::setresgid(kNobody, kNobody, kNobody) != 0) ::_exit(102);
    if (::setresuid(kNobody, kNobody, kNobody) != 0) ::_exit(103);
    std::unique_ptr<PortConnection> connection;
    ::_exit(static_cast<int>(PortConnection::Connect(kPort, nullptr, connection, kBoundMs)));
  }
  return child;
}

PortStatus WaitChild(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? static_cast<PortStatus>(WEXITSTATUS(status)) : PortStatus::Failed;
}

// Runs the owner side for one child: every request it hears of is accepted.
PortStatus ConnectAsNobody(LocalPort& port, bool inAdminGroup, int* requestsHeard) {
  int go[2];
  if (::pipe2(go, O_CLOEXEC) != 0) return PortStatus::Failed;
  pid_t child = StartNobodyChild(go[0], inAdminGroup);
  std::thread owner([&] {
    PortEvent event;
    while (port.receive(event, kBoundMs) == PortStatus::Ok) {
      if (event.type != PortMessageType::ConnectionRequest) continue;
      ++*requestsHeard;
      EXPECT_EQ(event.peer.uid, kNobody);
      port.accept(event.connection, nullptr);
      port.complete(event.connection);
    }
  });
  char byte = 'g';
  [[maybe_unused]] ssize_t written = ::write(go[1], &byte, 1);
  PortStatus result = WaitChild(child);
  port.interrupt();
  owner.join();
  ::close(go[0]);
  ::close(go[1]);
  return result;
}

TEST_F(LocalPortTest, AccessRuleRefusesOtherUsersAtConnect) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  int heard = 0;
  {
    // Root and the owner only: the socket file's mode already keeps nobody out.
    auto port = CreatePort(PortAccessRule::UserAndRoot(0));
    ASSERT_TRUE(port);
    EXPECT_EQ(ConnectAsNobody(*port, false, &heard), PortStatus::AccessDenied);
  }
  {
    // A rule for another user leaves the file open; the credential check refuses nobody.
    auto port = CreatePort(PortAccessRule::UserAndRoot(12345));
    ASSERT_TRUE(port);
    EXPECT_EQ(ConnectAsNobody(*port, false, &heard), PortStatus::AccessDenied);
  }
  EXPECT_EQ(heard, 0);
  {
    // Members of the admin group get in; others are kept out by the file's group.
    auto port = CreatePort(PortAccessRule::UserGroupAndRoot(0, kAdminGroup));
    ASSERT_TRUE(port);
    EXPECT_EQ(ConnectAsNobody(*port, true, &heard), PortStatus::Ok);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(ConnectAsNobody(*port, false, &heard), PortStatus::AccessDenied);
    EXPECT_EQ(heard, 1);
  }
}

// Takes CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH out of this process's effective set, as a
// unit's CapabilityBoundingSet does for a daemon that runs as root.
bool DropFileCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  return ::syscall(SYS_capset, &header, data) == 0;
}

// A console run by an admin-group member makes its notify port for a daemon that runs as root
// under the installed unit, which keeps no capability to pass file modes by.
TEST_F(LocalPortTest, PortForRootMadeByAnotherUserAdmitsRootWithoutFileCapabilities) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  const std::string own = directory_ + "/nobody";
  // Open to pass through, as the runtime directory is to the daemon through its group.
  ASSERT_EQ(::mkdir(own.c_str(), 0711), 0);
  ASSERT_EQ(::chmod(own.c_str(), 0711), 0);
  ASSERT_EQ(::chown(own.c_str(), kNobody, kNobody), 0);
  ::setenv("TARVO_RUNTIME_DIR", own.c_str(), 1);
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  pid_t owner = ::fork();
  if (owner == 0) {
    if (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setgroups(0, nullptr) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      ::_exit(100);
    }
    std::unique_ptr<LocalPort> port;
    if (LocalPort::Create(kPort, PortAccessRule::UserAndRoot(0), port) != PortStatus::Ok) {
      ::_exit(101);
    }
    char byte = 'r';
    if (::write(ready[1], &byte, 1) != 1) ::_exit(102);
    PortEvent event;
    if (port->receive(event, kBoundMs) != PortStatus::Ok ||
        event.type != PortMessageType::ConnectionRequest || event.peer.uid != 0) {
      ::_exit(103);
    }
    port->accept(event.connection, nullptr);
    port->complete(event.connection);
    while (port->receive(event, kBoundMs) == PortStatus::Ok &&
           event.type == PortMessageType::Request) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the owner could not make its port";
  ::close(ready[0]);
  struct stat socketFile {};
  ASSERT_EQ(::stat((own + "/" + kPort).c_str(), &socketFile), 0);
  EXPECT_EQ(socketFile.st_mode & 0777, 0666u);

  pid_t connector = ::fork();
  if (connector == 0) {
    if (!DropFileCapabilities()) ::_exit(110);
    std::unique_ptr<PortConnection> connection;
    PortStatus status = PortConnection::Connect(kPort, nullptr, connection, kBoundMs);
    ::_exit(static_cast<int>(status));
  }
  EXPECT_EQ(WaitChild(connector), PortStatus::Ok);
  int status = 0;
  ASSERT_EQ(::waitpid(owner, &status, 0), owner);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace tarvo
