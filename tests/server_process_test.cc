// The real TarvoServer: start, listen, refuse to run twice, fail cleanly, stop on a signal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/daemon_process.h"

namespace tarvo::test {
namespace {

bool HasNotification(const DaemonProcess& daemon, const std::string& text) {
  for (const auto& message : daemon.notifications()) {
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(ServerProcessTest, ListensReportsReadyAndStopsOnSigtermWithExitZero) {
  TempDir home;
  int port = FreeLoopbackPort();
  DaemonProcess daemon(home.path());
  ASSERT_TRUE(daemon.writeSettings(port));
  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(daemon.waitReady()) << daemon.stderrText();
  EXPECT_TRUE(PortAcceptsConnections(port));

  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  EXPECT_TRUE(HasNotification(daemon, "STOPPING=1"));
  // The operator's lines, and nothing else: the port, v2's key, the warning that v1 is accepted.
  const std::string text = daemon.stderrText();
  EXPECT_EQ(text.substr(0, text.find("TarvoServer: protocol v2")),
            "TarvoServer: listening on 0.0.0.0 port " + std::to_string(port) + "\n");
  EXPECT_NE(text.find("\nTarvoServer: protocol v1 is accepted: its recorded sessions can be "
                      "replayed"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("refuse it)\nTarvoServer: stopping\n")) << text;
  EXPECT_FALSE(PortAcceptsConnections(port));
}

TEST(ServerProcessTest, SigintStopsLikeSigtermAndARestartBindsAtOnce) {
  TempDir home;
  int port = FreeLoopbackPort();
  {
    DaemonProcess first(home.path());
    ASSERT_TRUE(first.writeSettings(port));
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitReady()) << first.stderrText();
    // A connection the daemon closes leaves its side in TIME_WAIT on the port.
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(first.stop(SIGINT), 0);
    ::close(client);
  }
  DaemonProcess second(home.path());
  ASSERT_TRUE(second.start());
  ASSERT_TRUE(second.waitReady()) << second.stderrText();
  EXPECT_EQ(second.stop(SIGTERM), 0);
}

TEST(ServerProcessTest, PortInUseGivesTheBindingErrorAndFails) {
  TempDir home;
  int port = FreeLoopbackPort();
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  // SO_REUSEADDR, as FreeLoopbackPort still holds the port; a listener blocks it all the same.
  int on = 1;
  ASSERT_EQ(::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);

  // Only the low 16 bits are bound; the message names the value as configured.
  for (int configured : {port, port + 65536}) {
    DaemonProcess daemon(home.path());
    ASSERT_TRUE(daemon.writeSettings(configured));
    ASSERT_TRUE(daemon.start());
    EXPECT_FALSE(daemon.waitReady());
    std::optional<int> status = daemon.waitExit();
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_EQ(daemon.stderrText(), "Port " + std::to_string(configured) + " :binding error\n");
  }
  ::close(blocker);
}

TEST(ServerProcessTest, UnopenableStoreFailsWithoutListening) {
  TempDir home;
  int port = FreeLoopbackPort();
  DaemonProcess daemon(home.path());
  ASSERT_TRUE(daemon.writeSettings(port));
  daemon.setEnv("TARVO_STORE", "Driver=NoSuchDriver;");
  ASSERT_TRUE(daemon.start());
  EXPECT_FALSE(daemon.waitReady());
  std::optional<int> status = daemon.waitExit();
  ASSERT_TRUE(status);
  EXPECT_NE(*status, 0);
  EXPECT_FALSE(PortAcceptsConnections(port));
  std::string text = daemon.stderrText();
  EXPECT_EQ(text, "TarvoServer: the user store cannot be opened\n");
}

TEST(ServerProcessTest, SecondDaemonOnTheSameRuntimeDirectoryIsRefused) {
  TempDir home, otherHome;
  int port = FreeLoopbackPort();
  DaemonProcess first(home.path());
  ASSERT_TRUE(first.writeSettings(port));
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(first.waitReady()) << first.stderrText();

  DaemonProcess second(otherHome.path());
  second.setRuntimeDir(home.path());
  ASSERT_TRUE(second.writeSettings(FreeLoopbackPort()));
  ASSERT_TRUE(second.start());
  std::optional<int> status = second.waitExit();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 1);
  std::string text = second.stderrText();
  EXPECT_NE(text.find("another TarvoServer is running"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);

  EXPECT_TRUE(PortAcceptsConnections(port));  // the first one goes on
  EXPECT_EQ(first.stop(SIGTERM), 0);
}

// Whoever may write to the runtime directory could serve the control port in the daemon's
// place: the daemon will not run there. A home others may write to is only said.
TEST(ServerProcessTest, RuntimeDirectoryOthersMayWriteOrOwnIsRefused) {
  TempDir home, runtime;
  struct Case {
    mode_t mode;
    uid_t owner;
    const char* said;
  };
  for (const Case& c :
       {Case{01777, 0, "is writable by other users"}, Case{0777, 0, "is writable by other users"},
        Case{0755, 65534, "belongs to uid 65534"}}) {
    ASSERT_EQ(::chmod(runtime.path().c_str(), c.mode), 0);
    ASSERT_EQ(::chown(runtime.path().c_str(), c.owner, c.owner), 0);
    DaemonProcess daemon(home.path());
    daemon.setRuntimeDir(runtime.path());
    ASSERT_TRUE(daemon.writeSettings(FreeLoopbackPort()));
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(daemon.waitExit(), 1);
    std::string text = daemon.stderrText();
    EXPECT_NE(text.find(c.said), std::string::npos) << text;
    EXPECT_NE(text.find(runtime.path()), std::string::npos) << text;
    EXPECT_NE(::access((runtime.path() + "/tarvo-server.lock").c_str(), F_OK), 0);
  }
}

// A lock that another user holds on the runtime directory (which they may read) for as long
// as they like does not hold the daemon's start.
TEST(ServerProcessTest, ALockOnTheRuntimeDirectoryDoesNotHoldTheStart) {
  TempDir home, runtime;
  ASSERT_EQ(::chmod(runtime.path().c_str(), 0755), 0);
  int ready[2], release[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);  // the daemon must not keep them open
  ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::close(release[1]);
    int directory = ::open(runtime.path().c_str(), O_RDONLY | O_DIRECTORY);
    char byte = directory >= 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                        ::flock(directory, LOCK_EX) == 0
                    ? 'y'
                    : 'n';
    [[maybe_unused]] ssize_t w = ::write(ready[1], &byte, 1);
    [[maybe_unused]] ssize_t r = ::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');

  DaemonProcess daemon(home.path());
  daemon.setRuntimeDir(runtime.path());
  ASSERT_TRUE(daemon.writeSettings(FreeLoopbackPort()));
  ASSERT_TRUE(daemon.start());
  EXPECT_TRUE(daemon.waitReady()) << daemon.stderrText();
  EXPECT_EQ(daemon.stop(SIGTERM), 0);

  ::close(release[1]);
  ::waitpid(holder, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
}

TEST(ServerProcessTest, HomeOthersMayWriteToIsSaidAtStart) {
  TempDir home, runtime;
  ASSERT_EQ(::chmod(home.path().c_str(), 0777), 0);
  DaemonProcess daemon(home.path());
  daemon.setRuntimeDir(runtime.path());
  int port = FreeLoopbackPort();
  ASSERT_TRUE(daemon.writeSettings(port));
  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(daemon.waitReady()) << daemon.stderrText();
  EXPECT_TRUE(PortAcceptsConnections(port));
  std::string text = daemon.stderrText();
  EXPECT_NE(text.find("warning: the home directory " + home.path() + " is writable by other users"),
            std::string::npos)
      << text;
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tarvo::test
