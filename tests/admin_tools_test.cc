// The command lines of the daemon and of tarvostore: what they answer without starting, and
// the ways tarvostore takes a password, each checked by logging in with it.
#include <dirent.h>
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/control_test_support.h"

namespace tarvo::test {
namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  return names;
}

// Runs a shell command line with TARVO_HOME at home; its standard output.
ToolRun Shell(const std::string& home, const std::string& command,
              const std::vector<std::string>& args = {}) {
  std::vector<std::string> argv{"-c", "TARVO_HOME=\"" + home + "\"; export TARVO_HOME; " +
                                          "unset TARVO_STORE; " + command};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunTool("/bin/sh", home, argv, 1);
}

TEST(DaemonCommandLine, HelpAndVersionAnswerWithoutStarting) {
  TempDir home;
  const std::string server = TarvoServerPath();
  // Bounded: a daemon that started instead would run until stopped.
  ToolRun help = Shell(home.path(), "timeout 10 \"$0\" --help", {server});
  EXPECT_EQ(help.exit, 0);
  EXPECT_EQ(help.output.rfind("usage: TarvoServer [--help | --version]\n", 0), 0u) << help.output;
  EXPECT_NE(help.output.find("TARVO_RUNTIME_DIR"), std::string::npos);
  // Among other arguments, as the rest are ignored.
  ToolRun version = Shell(home.path(), "timeout 10 \"$0\" -x --version", {server});
  EXPECT_EQ(version.exit, 0);
  EXPECT_EQ(version.output, "TarvoServer " TARVO_VERSION_TEXT "\n");
  // Nothing was made: no presence lock, no store, no control port.
  EXPECT_TRUE(Entries(home.path()).empty());
}

TEST(TarvostoreCommandLine, PasswordFromFileStandardInputOrArgument) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  const std::string home = daemon.home();
  TempDir scratch;
  const std::string file = scratch.path() + "/pw";
  std::ofstream(file) << "from-file\r\nsecond line\n";
  const char* tool = TARVO_STORE_TOOL_PATH;

  EXPECT_EQ(Shell(home, "\"$0\" add ann --password-file \"$1\" 1000", {tool, file}).exit, 0);
  EXPECT_EQ(Shell(home, "printf 'from-stdin\\n' | \"$0\" add ben --password-file -", {tool}).exit,
            0);
  EXPECT_EQ(Shell(home, "\"$0\" add cy --password from-option --encrypt", {tool}).exit, 0);
  EXPECT_EQ(Shell(home, "\"$0\" add dee old-form 5", {tool}).exit, 0);
  for (const auto& [name, password] :
       std::vector<std::pair<std::string, std::string>>{{"ann", "from-file"},
                                                        {"ben", "from-stdin"},
                                                        {"cy", "from-option"},
                                                        {"dee", "old-form"}}) {
    client::SessionClient session;
    EXPECT_TRUE(LoggedIn(session, daemon, name, password)) << name;
  }
  ToolRun list = Shell(home, "\"$0\" list", {tool});
  EXPECT_NE(list.output.find("ann\tlimit=1000\t"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("dee\tlimit=5\t"), std::string::npos) << list.output;

  // Given twice, missing, or from a file that is not there: usage, and nobody is added.
  EXPECT_EQ(Shell(home, "\"$0\" add eve --password a --password-file \"$1\"", {tool, file}).exit,
            2);
  EXPECT_EQ(Shell(home, "\"$0\" add eve", {tool}).exit, 2);
  EXPECT_EQ(Shell(home, "\"$0\" add eve --password-file /nonexistent/pw", {tool}).exit, 2);
  EXPECT_EQ(Shell(home, "\"$0\" add eve --password a 1 2", {tool}).exit, 2);
  EXPECT_EQ(Shell(home, "\"$0\" list", {tool}).output.find("eve"), std::string::npos);

  ToolRun help = Shell(home, "\"$0\" --help", {tool});
  EXPECT_EQ(help.exit, 0);
  EXPECT_NE(help.output.find("--password P"), std::string::npos);
  EXPECT_NE(help.output.find("which other local users can\n"), std::string::npos) << help.output;
}

// tarvostore's policy, show and list --counters, with plain list's lines as they were.
TEST(TarvostoreCommandLine, PolicySetShownAndListedWhileListKeepsItsLines) {
  TestDaemon daemon;
  ASSERT_TRUE(daemon.started());
  const std::string home = daemon.home();
  const char* tool = TARVO_STORE_TOOL_PATH;
  ASSERT_EQ(Shell(home, "\"$0\" add ann --password pw 1000", {tool}).exit, 0);
  ASSERT_EQ(Shell(home,
                  "\"$0\" policy ann --rate-down 2.5MB/s --rate-up 1Gbps --period daily "
                  "--period-from '2027-01-15 06:00' --max-sessions 3 --expires @1900000000",
                  {tool})
                .exit,
            0);
  ToolRun shown = Shell(home, "\"$0\" show ann --json", {tool});
  ASSERT_EQ(shown.exit, 0);
  const auto json = nlohmann::json::parse(shown.output);
  EXPECT_EQ(json["rate_down"], 2500000);
  EXPECT_EQ(json["rate_up"], 125000000);
  EXPECT_EQ(json["period"], "daily");
  std::tm anchor{};
  anchor.tm_year = 127;
  anchor.tm_mday = 15;
  anchor.tm_hour = 6;
  anchor.tm_isdst = -1;
  EXPECT_EQ(json["period_anchor"], std::mktime(&anchor));
  EXPECT_EQ(json["max_sessions"], 3);
  EXPECT_EQ(json["expires"], 1900000000);
  EXPECT_EQ(json["limit"], 1000);
  const std::string text = Shell(home, "\"$0\" show ann", {tool}).output;
  EXPECT_NE(text.find("rate up: 125 MB/s (1 Gbit/s)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("period from: 2027-01-15 06:00:00"), std::string::npos) << text;

  ASSERT_EQ(Shell(home, "\"$0\" lock ann", {tool}).exit, 0);
  EXPECT_EQ(Shell(home, "\"$0\" list", {tool}).output, "ann\tlimit=1000\tcounter=0\tlocked\n");
  EXPECT_EQ(Shell(home, "\"$0\" list --counters", {tool}).output,
            "ann\tlimit=1000\tcounter=0\tdown=0\tup=0\tlocked\n");

  // Refused whole: nothing changes.
  EXPECT_EQ(Shell(home, "\"$0\" policy ann --rate-up 1MB/s --period yearly", {tool}).exit, 2);
  EXPECT_EQ(Shell(home, "\"$0\" policy ann", {tool}).exit, 2);
  EXPECT_EQ(Shell(home, "\"$0\" policy ann --period none --period-from 2027-01-01", {tool}).exit,
            2);
  EXPECT_EQ(Shell(home, "\"$0\" policy ghost --rate-up 1MB/s", {tool}).exit, 1);
  EXPECT_EQ(Shell(home, "\"$0\" show ghost", {tool}).exit, 1);
  EXPECT_EQ(nlohmann::json::parse(Shell(home, "\"$0\" show ann --json", {tool}).output)["rate_up"],
            125000000);
}

}  // namespace
}  // namespace tarvo::test
