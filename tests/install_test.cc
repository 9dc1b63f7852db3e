// tarvoctl and the installer library, run for real in a temporary product directory with the
// unit directory, the ODBC data-source files and the group files redirected there. No service
// manager answers here, so every successful install ends with "Installation completed.".
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "tests/install_layout.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] = "Usage :tarvoctl -install|-uninstall\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool NothingInstalled(const InstallLayout& layout) {
  return !fs::exists(layout.unitPath()) && !fs::exists(layout.odbcIniPath()) &&
         !fs::exists(layout.groupFilePath());
}

TEST(TarvoctlTest, AnythingButOneKnownArgumentPrintsTheUsageAndChangesNothing) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {}, {"install"}, {"-install", "x"}, {"-uninstall", "-install"}, {"--install"}, {""}}) {
    ProgramResult result = layout.tarvoctl(arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kUsage) << arguments.size();
    EXPECT_EQ(result.err, "");
  }
  EXPECT_TRUE(NothingInstalled(layout));
}

TEST(TarvoctlTest, MissingFilesAreNamedOnePerLineAndNothingIsTouched) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  fs::remove(layout.bin() + "/libReader.so");
  fs::remove(layout.bin() + "/TarvoConsole");
  ProgramResult result = layout.tarvoctl({"-install"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Missing next files :\nlibReader.so\nTarvoConsole\n");
  EXPECT_TRUE(NothingInstalled(layout));
  EXPECT_FALSE(fs::exists(layout.bin() + "/VPNdb.sqlite3"));
}

// The whole life of an installation: users made before it survive install, reinstall and
// uninstall (with their counters), the unit is replaced as a whole, and a second uninstall
// finds nothing.
TEST(TarvoctlTest, InstallReinstallUninstallKeepUsersAndReplaceTheUnit) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  ASSERT_EQ(layout.tarvostore({"add", "Alice", "secret", "5000"}).status, 0);
  ASSERT_EQ(RunWithEnv({"/usr/bin/sqlite3", layout.bin() + "/VPNdb.sqlite3",
                        "UPDATE UsersTable SET user_counter = 1234"},
                       {}, layout.root())
                .status,
            0);
  const std::string alice = "Alice\tlimit=5000\tcounter=1234\n";

  ProgramResult installed = layout.tarvoctl({"-INSTALL"});
  EXPECT_EQ(installed.status, 0);
  EXPECT_EQ(installed.out, "Installation completed.\n");
  EXPECT_EQ(installed.err, "");

  std::string unit = ReadText(layout.unitPath());
  EXPECT_TRUE(
      Contains(unit, "\nDescription=Provides Tarvo VPN Services, 256-bit AES encryption\n"));
  EXPECT_TRUE(Contains(unit, "\nType=notify\n"));
  EXPECT_TRUE(Contains(unit, "\nExecStart=" + layout.bin() + "/TarvoServer\n"));
  EXPECT_TRUE(Contains(unit, "TARVO_HOME=" + layout.bin() + " "));
  EXPECT_TRUE(Contains(unit, "\nRuntimeDirectory=tarvo\nRuntimeDirectoryMode=2770\n"));
  EXPECT_TRUE(Contains(unit, "\nGroup=tarvo\n"));
  EXPECT_TRUE(Contains(unit, "\nWantedBy=multi-user.target\n"));
  EXPECT_TRUE(Contains(ReadText(layout.groupFilePath()), "tarvo:"));

  // The data source names the same SQLite file, and the store now goes through it.
  std::string odbcIni = ReadText(layout.odbcIniPath());
  EXPECT_TRUE(Contains(odbcIni, "[VPN]\nDriver=SQLite3\n"));
  EXPECT_TRUE(Contains(odbcIni, "Database=" + layout.bin() + "/VPNdb.sqlite3\n"));
  EXPECT_EQ(layout.tarvostore({"list"}).out, alice);

  // A second install replaces the unit as a whole.
  ASSERT_TRUE(WriteText(layout.unitPath(), unit + "[X-Stale]\nMarker=1\n"));
  installed = layout.tarvoctl({"-install"});
  EXPECT_EQ(installed.out, "Installation completed.\n");
  EXPECT_EQ(ReadText(layout.unitPath()), unit);
  EXPECT_EQ(layout.tarvostore({"list"}).out, alice);

  ProgramResult removed = layout.tarvoctl({"-Uninstall"});
  EXPECT_EQ(removed.status, 0);
  EXPECT_EQ(removed.out, "Uninstall completed. Windows must be restarted\n");
  EXPECT_EQ(removed.err, "");
  EXPECT_FALSE(fs::exists(layout.unitPath()));
  EXPECT_EQ(layout.tarvostore({"list"}).out, alice);

  removed = layout.tarvoctl({"-uninstall"});
  EXPECT_EQ(removed.status, 0);
  EXPECT_EQ(removed.out, "");
  EXPECT_EQ(removed.err, "Tarvo VPN Server not installed\n");
}

// The package's maintainer scripts ship their own unit and ask only for the data source: no
// unit, no group, the users kept, and a store that cannot open is an exit status of 1.
TEST(TarvoctlTest, PrepareStoreSetsUpOnlyTheDataSource) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  ASSERT_EQ(layout.tarvostore({"add", "Alice", "secret", "5000"}).status, 0);
  ProgramResult prepared = layout.tarvoctl({"-prepare-store"});
  EXPECT_EQ(prepared.status, 0);
  EXPECT_EQ(prepared.out, "");
  EXPECT_EQ(prepared.err, "");
  EXPECT_FALSE(fs::exists(layout.unitPath()));
  EXPECT_FALSE(fs::exists(layout.groupFilePath()));
  std::string odbcIni = ReadText(layout.odbcIniPath());
  EXPECT_TRUE(Contains(odbcIni, "[VPN]\nDriver=SQLite3\n"));
  EXPECT_TRUE(Contains(odbcIni, "Database=" + layout.bin() + "/VPNdb.sqlite3\n"));
  EXPECT_EQ(layout.tarvostore({"list"}).out, "Alice\tlimit=5000\tcounter=0\n");

  layout.setEnv("TARVO_ODBC_DRIVER", "No Such Driver");
  prepared = layout.tarvoctl({"-prepare-store"});
  EXPECT_EQ(prepared.status, 1);
  EXPECT_EQ(prepared.err, "The user store could not be prepared in " + layout.bin() + "/\n");
}

// The package ships its own unit: it must keep every rule of the one tarvoctl writes, bar the
// paths of a self-contained directory and the root account, and run the daemon as tarvo.
TEST(TarvoctlTest, PackagedUnitKeepsTheInstalledUnitsRules) {
  InstallLayout layout;
  ASSERT_TRUE(layout.ready());
  ASSERT_EQ(layout.tarvoctl({"-install"}).out, "Installation completed.\n");
  const std::string packaged = ReadText(TARVO_PACKAGED_UNIT_PATH);
  ASSERT_FALSE(packaged.empty());
  std::set<std::string> lines;
  std::istringstream packagedLines(packaged);
  for (std::string line; std::getline(packagedLines, line);) lines.insert(line);

  const std::set<std::string> layoutKeys = {"ExecStart", "WorkingDirectory", "Environment",
                                            "ReadWritePaths"};
  std::istringstream installed(ReadText(layout.unitPath()));
  for (std::string line; std::getline(installed, line);) {
    if (layoutKeys.count(line.substr(0, line.find('='))) != 0) continue;
    EXPECT_EQ(lines.count(line), 1u) << "the packaged unit lacks: " << line;
  }
  for (const char* line : {"ExecStart=/usr/sbin/TarvoServer", "User=tarvo", "StateDirectory=tarvo",
                           "AmbientCapabilities=CAP_NET_BIND_SERVICE"}) {
    EXPECT_EQ(lines.count(line), 1u) << line;
  }
}

// A product directory whose path a unit file cannot carry plainly is refused, not mangled.
TEST(TarvoctlTest, ProductPathWithSpaceGivesInstallServiceError) {
  InstallLayout layout("tarvo server");
  ASSERT_TRUE(layout.ready());
  ProgramResult result = layout.tarvoctl({"-install"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Install service error\n");
  EXPECT_FALSE(fs::exists(layout.unitPath()));
}

}  // namespace
}  // namespace tarvo::test
