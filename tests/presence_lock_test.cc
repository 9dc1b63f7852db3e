// The presence lock as the daemon takes it and the consoles test it.
#include "platform/presence_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/daemon_process.h"

namespace tarvo {
namespace {

TEST(PresenceLockTest, HeldByOneProcessAtATimeAndSeenByOthers) {
  test::TempDir runtime;
  ::setenv("TARVO_RUNTIME_DIR", runtime.path().c_str(), 1);
  EXPECT_FALSE(IsDaemonRunning());  // no lock file yet

  // Another process holds it: this one sees a daemon and cannot take the lock.
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(release[1]);  // so that the parent's close is seen as the end of the pipe
    PresenceLock lock;
    char byte = lock.acquire() == PresenceLock::Result::Acquired ? 'y' : 'n';
    [[maybe_unused]] ssize_t w = ::write(ready[1], &byte, 1);
    [[maybe_unused]] ssize_t r = ::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  EXPECT_TRUE(IsDaemonRunning());
  PresenceLock mine;
  EXPECT_EQ(mine.acquire(), PresenceLock::Result::HeldByOther);

  // The holder ends (however it ends, the kernel releases the lock).
  ::close(release[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_FALSE(IsDaemonRunning());
  EXPECT_EQ(mine.acquire(), PresenceLock::Result::Acquired);
  EXPECT_TRUE(mine.held());
  ::close(ready[0]);
  ::close(ready[1]);
  ::close(release[0]);
  ::unsetenv("TARVO_RUNTIME_DIR");
}

TEST(PresenceLockTest, MissingRuntimeDirectoryIsAFailureNotAnotherDaemon) {
  ::setenv("TARVO_RUNTIME_DIR", "/nonexistent/tarvo-runtime", 1);
  PresenceLock lock;
  std::string error;
  EXPECT_EQ(lock.acquire(&error), PresenceLock::Result::Failed);
  EXPECT_NE(error.find("tarvo-server.lock"), std::string::npos) << error;
  EXPECT_FALSE(IsDaemonRunning());
  ::unsetenv("TARVO_RUNTIME_DIR");
}

}  // namespace
}  // namespace tarvo
