// The daemon and its tools under the loose umask of a root shell (022): every file they make
// (store with its WAL and shared memory, key, logs, settings, lock, control port) is closed to
// other users, and one that an earlier start left open to them is closed once it is used.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>

#include "server/common/control_codes.h"
#include "server/common/control_records.h"
#include "tests/control_test_support.h"

namespace tarvo::test {
namespace {

// Mode bits of every entry of directory, by name, as lstat sees them.
std::map<std::string, mode_t> Modes(const std::string& directory) {
  std::map<std::string, mode_t> modes;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return modes;
  while (dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    struct stat status {};
    if (name == "." || name == ".." || ::lstat((directory + "/" + name).c_str(), &status) != 0) {
      continue;
    }
    modes[name] = status.st_mode;
  }
  ::closedir(listing);
  return modes;
}

class LooseUmask {
 public:
  LooseUmask() : previous_(::umask(022)) {}
  ~LooseUmask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(FileModes, NothingTheDaemonOrItsToolsMakeIsOpenToOthers) {
  LooseUmask loose;
  ServerSettingsRecord settings = AuditedSettings();
  settings.StoreEncryptedPwd = true;
  TestDaemon daemon(settings);
  ASSERT_TRUE(daemon.started()) << daemon.process().stderrText();
  const std::string home = daemon.home();
  // As an earlier start under the same umask would have left it.
  {
    std::ofstream(home + "/messages.txt") << "Mon Jan  1 00:00:00 2024 from old[192.0.2.1] :hi\n";
    ASSERT_EQ(::chmod((home + "/messages.txt").c_str(), 0644), 0);
  }

  ASSERT_TRUE(daemon.addUser("ana", "pw"));  // tarvostore makes the store
  auto console = ConnectTo(daemon);
  ASSERT_TRUE(console);
  ASSERT_EQ(console->CtlAddUser("bo", "sealed", 0), CTL_OK);  // the key, sealing bo's password
  SettingsRecord record{};
  ASSERT_EQ(console->CtlGetSettings(record), CTL_OK);
  ASSERT_EQ(console->CtlSetSettings(record), CTL_OK);  // the daemon rewrites the settings
  client::SessionClient session;
  ASSERT_TRUE(LoggedIn(session, daemon, "ana", "pw"));  // an audit row
  ASSERT_EQ(session.sendTextMessage("hello"), client::ClientStatus::kOk);
  ASSERT_TRUE(WaitUntil([&] { return daemon.messageLines().size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return !daemon.auditRows().empty(); }));

  std::map<std::string, mode_t> modes = Modes(home);
  // The test harness's own files, not the daemon's.
  modes.erase("daemon-stderr.txt");
  modes.erase("notify.sock");
  const std::set<std::string> expected = {
      "VPNdb.sqlite3",    "VPNdb.sqlite3-wal", "VPNdb.sqlite3-shm", "tarvostore.key",
      "vpn_log.csv",      "messages.txt",      "tarvoserver.ini",   "tarvo-server.lock",
      "tarvo-ports.lock", kControlPortName};
  for (const std::string& name : expected) EXPECT_EQ(modes.count(name), 1u) << name;
  for (const auto& [name, mode] : modes) {
    EXPECT_EQ(mode & S_IRWXO, 0u) << name << " has mode " << std::oct << (mode & 07777);
    EXPECT_FALSE(S_ISLNK(mode)) << name;
  }
  // What the admin group keeps: the store (its consoles read it), the logs and the lock.
  EXPECT_EQ(modes["VPNdb.sqlite3"] & 07777, 0660u);
  EXPECT_EQ(modes["tarvostore.key"] & 07777, 0600u);
  EXPECT_EQ(modes["vpn_log.csv"] & 07777, 0640u);
  EXPECT_EQ(modes["messages.txt"] & 07777, 0640u);
  EXPECT_EQ(modes["tarvo-server.lock"] & 07777, 0640u);
  EXPECT_EQ(modes["tarvo-ports.lock"] & 07777, 0640u);
}

}  // namespace
}  // namespace tarvo::test
