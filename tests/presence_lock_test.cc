// The presence lock as the daemon takes it and the consoles test it, and what it refuses.
#include "platform/presence_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

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

// A process that keeps the file open with a shared lock (a console looking, or a user who
// opened it while it was readable) is no daemon: a daemon starting replaces the file.
TEST(PresenceLockTest, SharedLockOfAnotherProcessDoesNotKeepTheDaemonOut) {
  test::TempDir runtime;
  ::setenv("TARVO_RUNTIME_DIR", runtime.path().c_str(), 1);
  const std::string path = runtime.path() + "/tarvo-server.lock";
  {
    PresenceLock earlier;  // an earlier start left the file behind
    ASSERT_EQ(earlier.acquire(), PresenceLock::Result::Acquired);
  }
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(release[1]);
    int fd = ::open(path.c_str(), O_RDONLY);
    char byte = fd >= 0 && ::flock(fd, LOCK_SH) == 0 && ::setuid(65534) == 0 ? 'y' : 'n';
    [[maybe_unused]] ssize_t w = ::write(ready[1], &byte, 1);
    [[maybe_unused]] ssize_t r = ::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  struct stat squatted {};
  ASSERT_EQ(::stat(path.c_str(), &squatted), 0);

  PresenceLock daemon;
  std::string error;
  EXPECT_EQ(daemon.acquire(&error), PresenceLock::Result::Acquired) << error;
  struct stat now {};
  ASSERT_EQ(::lstat(path.c_str(), &now), 0);
  EXPECT_NE(now.st_ino, squatted.st_ino);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
  EXPECT_TRUE(IsDaemonRunning());
  PresenceLock second;  // and the new file keeps a second daemon out
  EXPECT_EQ(second.acquire(), PresenceLock::Result::HeldByOther);
  // Only the lock file is left in the directory: the replacement took its place.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(runtime.path()),
                          std::filesystem::directory_iterator()),
            1);

  ::close(release[1]);
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
  ::unsetenv("TARVO_RUNTIME_DIR");
}

// A link in the lock's place would make the daemon truncate and write whatever it points to;
// a file of another user may be held open, or changed, by that user.
TEST(PresenceLockTest, SymbolicLinksAndFilesOfOtherUsersAreRefused) {
  test::TempDir runtime, elsewhere;
  ::setenv("TARVO_RUNTIME_DIR", runtime.path().c_str(), 1);
  const std::string path = runtime.path() + "/tarvo-server.lock";
  const std::string target = elsewhere.path() + "/precious";
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);

  // Dangling: nothing is created at the target.
  PresenceLock lock;
  std::string error;
  EXPECT_EQ(lock.acquire(&error), PresenceLock::Result::Failed);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_NE(::access(target.c_str(), F_OK), 0);

  // Leading to a file: it keeps its contents and its mode.
  { std::ofstream(target) << "keep me\n"; }
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  EXPECT_EQ(lock.acquire(&error), PresenceLock::Result::Failed);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  std::ifstream in(target);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "keep me\n");
  struct stat status {};
  ASSERT_EQ(::stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_FALSE(IsDaemonRunning());

  // A FIFO: refused, not waited on.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(lock.acquire(&error), PresenceLock::Result::Failed);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

  // A regular file of another user.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  { std::ofstream(path) << ""; }
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  EXPECT_EQ(lock.acquire(&error), PresenceLock::Result::Failed);
  EXPECT_NE(error.find("belongs to uid 65534"), std::string::npos) << error;
  ::unsetenv("TARVO_RUNTIME_DIR");
}

}  // namespace
}  // namespace tarvo
