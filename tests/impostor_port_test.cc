// Control ports that are not the daemon's: a process of another user listening where the
// daemon's port belongs. tarvoadm and the console's connecting code refuse it, say who serves
// it, and send it nothing.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory_checks.h"
#include "server/common/control_records.h"
#include "tests/control_test_support.h"

namespace tarvo::test {
namespace {

constexpr uid_t kNobody = 65534;

// A child that binds the control port's name in directory as root, becomes nobody and then
// listens, so the kernel reports nobody as the port's owner. When told to stop it counts the
// connections made to it and the bytes they sent.
class ImpostorPort {
 public:
  explicit ImpostorPort(const std::string& directory) {
    int ready[2];
    // Close-on-exec: a tarvoadm started meanwhile must not keep the stop pipe open.
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0 ||
        ::pipe2(result_, O_CLOEXEC) != 0) {
      return;
    }
    child_ = ::fork();
    if (child_ == 0) {
      ::close(ready[0]);
      ::close(stop_[1]);
      ::close(result_[0]);
      Serve(directory + "/" + kControlPortName, ready[1]);
    }
    ::close(ready[1]);
    ::close(stop_[0]);
    ::close(result_[1]);
    char byte = 0;
    listening_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::close(ready[0]);
  }
  ~ImpostorPort() {
    if (child_ > 0 && !stopped_) finish();
  }

  bool listening() const { return listening_; }

  // Stops the child; the connections it accepted and the bytes they sent.
  std::pair<int, long> finish() {
    ::close(stop_[1]);
    stopped_ = true;
    long counts[2] = {-1, -1};
    if (::read(result_[0], counts, sizeof counts) != sizeof counts) counts[0] = -1;
    ::close(result_[0]);
    ::waitpid(child_, nullptr, 0);
    return {static_cast<int>(counts[0]), counts[1]};
  }

 private:
  [[noreturn]] void Serve(const std::string& path, int ready) {
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    bool ok = listener >= 0 &&
              ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::chmod(path.c_str(), 0666) == 0 && ::setgroups(0, nullptr) == 0 &&
              ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && ::listen(listener, 8) == 0 &&
              ::fcntl(listener, F_SETFL, O_NONBLOCK) == 0;
    char byte = ok ? 'y' : 'n';
    [[maybe_unused]] ssize_t w = ::write(ready, &byte, 1);
    // Everything a client sent is queued by the time the test says stop: the client has
    // finished, and a connection it closed is still in the backlog.
    char stop = 0;
    [[maybe_unused]] ssize_t s = ::read(stop_[0], &stop, 1);
    long counts[2] = {0, 0};
    int fd;
    while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
      ++counts[0];
      char buffer[256];
      ssize_t got;
      while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) counts[1] += got;
      ::close(fd);
    }
    [[maybe_unused]] ssize_t r = ::write(result_[1], counts, sizeof counts);
    ::_exit(0);
  }

  pid_t child_ = -1;
  int stop_[2] = {-1, -1};
  int result_[2] = {-1, -1};
  bool listening_ = false;
  bool stopped_ = false;
};

// Runs tarvoadm with args against runtimeDir; stderr captured.
ToolRun Tarvoadm(const std::string& runtimeDir, const std::vector<std::string>& args) {
  return RunTool(TARVOADM_PATH, runtimeDir, args, 2);
}

TEST(ImpostorPort, TarvoadmRefusesAPortServedByAnotherUserAndSendsItNothing) {
  TempDir runtime;
  ImpostorPort impostor(runtime.path());
  ASSERT_TRUE(impostor.listening());

  ToolRun run = Tarvoadm(runtime.path(), {"user", "add", "carol", "--password", "s3cret"});
  EXPECT_EQ(run.exit, 3) << run.output;
  EXPECT_NE(run.output.find("served by uid 65534"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(runtime.path() + "/" + kControlPortName), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("success"), std::string::npos) << run.output;

  auto [connections, bytes] = impostor.finish();
  EXPECT_EQ(connections, 1);
  EXPECT_EQ(bytes, 0);
}

TEST(ImpostorPort, TheConsolesConnectionRefusesItToo) {
  TempDir runtime;
  ImpostorPort impostor(runtime.path());
  ASSERT_TRUE(impostor.listening());
  ::setenv("TARVO_RUNTIME_DIR", runtime.path().c_str(), 1);

  std::unique_ptr<ControlClient> client;
  std::string error;
  EXPECT_EQ(ControlClient::ConnectControlPort(client, &error), PortStatus::UntrustedOwner);
  EXPECT_FALSE(client);
  EXPECT_NE(error.find("uid 65534"), std::string::npos) << error;

  auto [connections, bytes] = impostor.finish();
  EXPECT_EQ(connections, 1);
  EXPECT_EQ(bytes, 0);
  ::unsetenv("TARVO_RUNTIME_DIR");
}

// Root, and the owner of the directory the port lies in, are trusted; nobody else.
TEST(ImpostorPort, TrustedOwnersAreRootAndTheDirectorysOwner) {
  TempDir mine, nobodys;
  ASSERT_EQ(::chown(nobodys.path().c_str(), kNobody, kNobody), 0);
  PeerCredentials root, nobody;
  nobody.uid = kNobody;
  std::string error;
  EXPECT_TRUE(IsTrustedPortOwner(root, mine.path() + "/port", &error));
  EXPECT_TRUE(IsTrustedPortOwner(root, nobodys.path() + "/port", &error));
  EXPECT_TRUE(IsTrustedPortOwner(nobody, nobodys.path() + "/port", &error));
  EXPECT_FALSE(IsTrustedPortOwner(nobody, mine.path() + "/port", &error));
  EXPECT_NE(error.find("uid 65534"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvo::test
