#include "platform/home.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tarvo {
namespace {

// Sets (or clears) an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string ExecutableDirectory() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/'));
}

TEST(HomeDirectory, FollowsTarvoHomeAndFallsBackToExecutableDirectory) {
  {
    ScopedEnv home("TARVO_HOME", "/srv/tarvo");
    EXPECT_EQ(HomeDirectory(), "/srv/tarvo");
  }
  {
    ScopedEnv home("TARVO_HOME", "/srv/tarvo//");
    EXPECT_EQ(HomeDirectory(), "/srv/tarvo");
  }
  {
    ScopedEnv home("TARVO_HOME", "/");
    EXPECT_EQ(HomeDirectory(), "/");
  }
  std::string executableDirectory = ExecutableDirectory();
  ASSERT_FALSE(executableDirectory.empty());
  {
    ScopedEnv home("TARVO_HOME", "");  // empty counts as not set
    EXPECT_EQ(HomeDirectory(), executableDirectory);
  }
  {
    ScopedEnv home("TARVO_HOME", nullptr);
    EXPECT_EQ(HomeDirectory(), executableDirectory);
  }
}

TEST(RuntimeDirectory, FollowsTarvoRuntimeDirElseHome) {
  ScopedEnv home("TARVO_HOME", "/srv/tarvo");
  {
    ScopedEnv runtime("TARVO_RUNTIME_DIR", "/run/tarvo/");
    EXPECT_EQ(RuntimeDirectory(), "/run/tarvo");
  }
  {
    ScopedEnv runtime("TARVO_RUNTIME_DIR", "");
    EXPECT_EQ(RuntimeDirectory(), "/srv/tarvo");
  }
  ScopedEnv runtime("TARVO_RUNTIME_DIR", nullptr);
  EXPECT_EQ(RuntimeDirectory(), "/srv/tarvo");

  std::string path;
  ASSERT_TRUE(HomeFilePath("tarvoserver.ini", path));
  EXPECT_EQ(path, "/srv/tarvo/tarvoserver.ini");
  ASSERT_TRUE(RuntimeFilePath("control", path));
  EXPECT_EQ(path, "/srv/tarvo/control");
}

// Programs in the system's program directories are the packaged service's and find it in
// systemd's directories; every other directory is self-contained, as before.
TEST(DefaultDirectories, FollowTheInstalledLayout) {
  for (const char* system : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
    DefaultDirectories found = DefaultDirectoriesFor(system);
    EXPECT_EQ(found.home, "/var/lib/tarvo") << system;
    EXPECT_EQ(found.runtime, "/run/tarvo") << system;
  }
  for (const char* own : {"/opt/tarvo", "/usr/local/bin", "/usr/bin/tarvo", "/usr/binx", "/usr",
                          "/home/alice/build/bin", "/"}) {
    DefaultDirectories found = DefaultDirectoriesFor(own);
    EXPECT_EQ(found.home, own);
    EXPECT_EQ(found.runtime, own);
  }
}

// The test program lives in a build directory: its defaults are its own directory, and a
// home named by the variable carries its runtime directory with it.
TEST(DefaultDirectories, VariablesOverrideAndAHomeKeepsItsPorts) {
  const std::string own = ExecutableDirectory();
  ScopedEnv runtime("TARVO_RUNTIME_DIR", nullptr);
  {
    ScopedEnv home("TARVO_HOME", nullptr);
    EXPECT_EQ(HomeDirectory(), own);
    EXPECT_EQ(RuntimeDirectory(), own);
  }
  ScopedEnv home("TARVO_HOME", "/srv/tarvo");
  EXPECT_EQ(RuntimeDirectory(), "/srv/tarvo");
  ScopedEnv runtimeSet("TARVO_RUNTIME_DIR", "/run/elsewhere");
  EXPECT_EQ(HomeDirectory(), "/srv/tarvo");
  EXPECT_EQ(RuntimeDirectory(), "/run/elsewhere");
}

TEST(JoinPath, JoinsWithOneSeparator) {
  std::string path;
  ASSERT_TRUE(JoinPath("/a/b", "f.txt", path));
  EXPECT_EQ(path, "/a/b/f.txt");
  ASSERT_TRUE(JoinPath("/a/b/", "f.txt", path));
  EXPECT_EQ(path, "/a/b/f.txt");
  ASSERT_TRUE(JoinPath("/", "f.txt", path));
  EXPECT_EQ(path, "/f.txt");
}

TEST(JoinPath, RefusesBadNamesAndLeavesPathAlone) {
  std::string path = "unchanged";
  std::string error;
  const std::string names[] = {"", ".", "..", "a/b", std::string("a\0b", 3)};
  for (const std::string& name : names) {
    error.clear();
    EXPECT_FALSE(JoinPath("/a", name, path, &error)) << name;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(JoinPath("", "f", path, &error));
  EXPECT_FALSE(JoinPath("/a", "", path));  // no error text wanted: must not crash
  EXPECT_EQ(path, "unchanged");
}

TEST(JoinPath, ChecksTheLengthLimitExactly) {
  std::string path;
  std::string error;
  const std::string name = "tarvoserver.ini";
  // directory + '/' + name is exactly the limit
  std::string directory = "/" + std::string(kMaxPathLength - name.size() - 2, 'd');
  ASSERT_TRUE(JoinPath(directory, name, path, &error)) << error;
  EXPECT_EQ(path.size(), kMaxPathLength);

  directory += 'd';
  path = "unchanged";
  EXPECT_FALSE(JoinPath(directory, name, path, &error));
  EXPECT_EQ(path, "unchanged");  // never a cut path
  EXPECT_NE(error.find("1024"), std::string::npos) << error;
  EXPECT_NE(error.find("1023"), std::string::npos) << error;

  ScopedEnv home("TARVO_HOME", directory.c_str());
  EXPECT_FALSE(HomeFilePath(name, path, &error));
  ScopedEnv runtime("TARVO_RUNTIME_DIR", nullptr);
  EXPECT_FALSE(RuntimeFilePath(name, path, &error));
}

}  // namespace
}  // namespace tarvo
