#include "server/service/base/settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

namespace tarvo {
namespace {

namespace fs = std::filesystem;

const char kDefaultFile[] =
    "[ServerPort]:80\n"
    "[MultiConnect]:no\n"
    "[AuditType]:0\n"
    "[MinClientVersion]:2.0.4\n"
    "[HidePwd]:no\n"
    "[StoreEncryptedPwd]:no\n"
    "[AutoRefresh]:no\n";

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarvo-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "tarvoserver.ini").string();
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void Write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::string Read() {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Loads `text` over default settings.
  ServerSettingsRecord Load(const std::string& text) {
    Write(text);
    ServerSettingsRecord settings;
    EXPECT_TRUE(LoadSettingsFile(path_, settings));
    return settings;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(SettingsFileTest, MissingFileKeepsDefaults) {
  ServerSettingsRecord settings;
  EXPECT_FALSE(LoadSettingsFile(path_, settings));
  EXPECT_EQ(settings.ServerPort, 80);
  EXPECT_FALSE(settings.MultiConnect);
  EXPECT_EQ(settings.AuditType, 0);
  EXPECT_STREQ(settings.MinClientVersion, "2.0.4");
  EXPECT_FALSE(settings.HidePwd || settings.StoreEncryptedPwd || settings.AutoRefresh);
}

TEST_F(SettingsFileTest, NumbersAreReadLikePercentI) {
  struct Case {
    const char* value;
    std::int32_t port;
  } cases[] = {
      {"0x1F90", 8080}, {" 8080", 8080},  {"010", 8},     {"\t0X10", 16},
      {"-5", -5},       {"+7", 7},        {"81abc", 81},  {"09", 0},
      {"2147483647", 2147483647},         {"-2147483648", -2147483647 - 1},
      // no number, or out of 32-bit range: the previous value stays
      {"abc", 80},      {"", 80},         {" ", 80},      {"- 5", 80},
      {"2147483648", 80},                 {"99999999999999999999999", 80},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Load(std::string("[ServerPort]:") + c.value + "\n").ServerPort, c.port) << c.value;
  }
  EXPECT_EQ(Load("[AuditType]: 0x2\n").AuditType, 2);
  EXPECT_EQ(Load("[AuditType]:x\n").AuditType, 0);
}

TEST_F(SettingsFileTest, OnlyYesSetsAFlag) {
  for (const char* yes : {"yes", "YES", "Yes", "yEs"}) {
    ServerSettingsRecord s = Load(std::string("[MultiConnect]:") + yes + "\n[HidePwd]:" + yes +
                                  "\n[StoreEncryptedPwd]:" + yes + "\n[AutoRefresh]:" + yes);
    EXPECT_TRUE(s.MultiConnect && s.HidePwd && s.StoreEncryptedPwd && s.AutoRefresh) << yes;
  }
  for (const char* other : {" yes", "yes ", "true", "1", "no", "", "y"}) {
    EXPECT_FALSE(Load(std::string("[MultiConnect]:") + other + "\n").MultiConnect) << other;
  }
  // Once set, a later line cannot clear a flag.
  EXPECT_TRUE(Load("[HidePwd]:yes\n[HidePwd]:no\n").HidePwd);
}

TEST_F(SettingsFileTest, KeysIgnoreCaseNeedBracketsAndLastValueWins) {
  EXPECT_EQ(Load("[SERVERPORT]:81\n").ServerPort, 81);
  EXPECT_EQ(Load("[serverport]:82\n").ServerPort, 82);
  EXPECT_EQ(Load("ServerPort:81\n").ServerPort, 80);
  EXPECT_EQ(Load("[ServerPort] :81\n").ServerPort, 80);
  EXPECT_EQ(Load("[ServerPort]81\n[Unknown]:1\n\n:\n").ServerPort, 80);
  EXPECT_EQ(Load("[ServerPort]:81\n[ServerPort]:82\n").ServerPort, 82);

  ServerSettingsRecord s = Load("[AuditType]:2\n[MinClientVersion]:1.0\n[MinClientVersion]:1.5\n");
  EXPECT_EQ(s.AuditType, 2);
  EXPECT_STREQ(s.MinClientVersion, "1.5");
}

TEST_F(SettingsFileTest, VersionTextIsVerbatim) {
  EXPECT_STREQ(Load("[MinClientVersion]: 2.0.4\n").MinClientVersion, " 2.0.4");
  EXPECT_STREQ(Load("[MinClientVersion]:2.0.4 \n").MinClientVersion, "2.0.4 ");
  EXPECT_STREQ(Load("[MinClientVersion]:a:b\n").MinClientVersion, "a:b");
  EXPECT_STREQ(Load("[MinClientVersion]:\n").MinClientVersion, "");
  // Text ends at a NUL byte, as in a C string.
  EXPECT_STREQ(Load(std::string("[MinClientVersion]:2.0\0junk\n", 28)).MinClientVersion, "2.0");
}

TEST_F(SettingsFileTest, AcceptsCrLfLineEnds) {
  ServerSettingsRecord s = Load(
      "[ServerPort]:8080\r\n[MultiConnect]:yes\r\n[MinClientVersion]:2.0.1\r\n"
      "[HidePwd]:yes\r");  // a CR just before the end of the file ends the line too
  EXPECT_EQ(s.ServerPort, 8080);
  EXPECT_TRUE(s.MultiConnect);
  EXPECT_STREQ(s.MinClientVersion, "2.0.1");
  EXPECT_TRUE(s.HidePwd);
  // A CR that is not part of a line end stays in the value.
  EXPECT_STREQ(Load("[MinClientVersion]:a\rb\n").MinClientVersion, "a\rb");
}

TEST_F(SettingsFileTest, OverlongLinesAreReadInPieces) {
  // The second piece of the line starts exactly where a key begins: a line of its own.
  EXPECT_EQ(Load(std::string(1023, 'x') + "[ServerPort]:81\n").ServerPort, 81);
  EXPECT_EQ(Load(std::string(1022, 'x') + "[ServerPort]:81\n").ServerPort, 80);
  // A line of exactly 1023 characters, then CR LF: the line end is no extra line.
  std::string version(1023 - 19, 'v');
  ServerSettingsRecord s = Load("[MinClientVersion]:" + version + "\r\n[AuditType]:1\n");
  EXPECT_EQ(std::string(s.MinClientVersion), version);
  EXPECT_EQ(s.AuditType, 1);

  // A very long version keeps its first piece and never overflows the field.
  s = Load("[MinClientVersion]:" + std::string(5000, '9') + "\n");
  EXPECT_EQ(std::string(s.MinClientVersion), std::string(1023 - 19, '9'));
}

TEST_F(SettingsFileTest, SaveWritesSevenLinesInFixedOrder) {
  ASSERT_TRUE(SaveSettingsFile(path_, ServerSettingsRecord{}));
  EXPECT_EQ(Read(), kDefaultFile);

  ServerSettingsRecord s = Load(
      "[AutoRefresh]:yes\n# comment\n[Extra]:1\n[MinClientVersion]: 1.2\n"
      "[AuditType]:0x2\n[StoreEncryptedPwd]:YES\n[ServerPort]:-1\n");
  ASSERT_TRUE(SaveSettingsFile(path_, s));
  EXPECT_EQ(Read(),
            "[ServerPort]:-1\n[MultiConnect]:no\n[AuditType]:2\n[MinClientVersion]: 1.2\n"
            "[HidePwd]:no\n[StoreEncryptedPwd]:yes\n[AutoRefresh]:yes\n");

  ServerSettingsRecord again;
  ASSERT_TRUE(LoadSettingsFile(path_, again));
  EXPECT_EQ(again.ServerPort, -1);
  EXPECT_EQ(again.AuditType, 2);
  EXPECT_STREQ(again.MinClientVersion, " 1.2");
  EXPECT_TRUE(again.StoreEncryptedPwd && again.AutoRefresh);

  // Only this file remains in the directory: no temporary left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// The one setting beyond the seven: read like a flag, and written after them only when on,
// so that a file of defaults stays the seven lines and a save from the console keeps it.
TEST_F(SettingsFileTest, UdpAddressRestrictedIsAnEighthLineOnlyWhenOn) {
  EXPECT_FALSE(Load("[UdpAddressRestricted]:no\n").UdpAddressRestricted);
  ServerSettingsRecord s = Load("[udpaddressrestricted]:Yes\n[ServerPort]:81\n");
  EXPECT_TRUE(s.UdpAddressRestricted);
  ASSERT_TRUE(SaveSettingsFile(path_, s));
  std::string expected = kDefaultFile;
  expected.replace(expected.find("80"), 2, "81");
  EXPECT_EQ(Read(), expected + "[UdpAddressRestricted]:yes\n");
  ServerSettingsRecord again;
  ASSERT_TRUE(LoadSettingsFile(path_, again));
  EXPECT_TRUE(again.UdpAddressRestricted);
}

// The metrics lines, also beyond the seven: written only when set, kept by a save.
TEST_F(SettingsFileTest, TheMetricsLinesAreKeptBeyondTheSevenOnlyWhenSet) {
  ServerSettingsRecord s = Load("[MetricsAddress]:127.0.0.1:9473\r\n[metricsperuser]:yes\n");
  EXPECT_EQ(s.MetricsAddress, "127.0.0.1:9473");
  EXPECT_TRUE(s.MetricsPerUser);
  ASSERT_TRUE(SaveSettingsFile(path_, s));
  EXPECT_EQ(Read(), std::string(kDefaultFile) +
                        "[MetricsAddress]:127.0.0.1:9473\n[MetricsPerUser]:yes\n");
  ASSERT_TRUE(SaveSettingsFile(path_, ServerSettingsRecord{}));
  EXPECT_EQ(Read(), kDefaultFile);
}

TEST_F(SettingsFileTest, SaveCannotInjectLinesThroughTheVersionText) {
  ServerSettingsRecord s;
  std::snprintf(s.MinClientVersion, sizeof s.MinClientVersion, "%s", "1.0\n[ServerPort]:1");
  ASSERT_TRUE(SaveSettingsFile(path_, s));
  ServerSettingsRecord loaded;
  ASSERT_TRUE(LoadSettingsFile(path_, loaded));
  EXPECT_STREQ(loaded.MinClientVersion, "1.0");
  EXPECT_EQ(loaded.ServerPort, 80);

  // A field with no terminating NUL is written up to its size, not beyond.
  std::memset(s.MinClientVersion, '7', sizeof s.MinClientVersion);
  ASSERT_TRUE(SaveSettingsFile(path_, s));
  EXPECT_NE(Read().find("[MinClientVersion]:" + std::string(1024, '7') + "\n"),
            std::string::npos);
}

TEST_F(SettingsFileTest, FailedSaveReportsFalseAndKeepsTheOldFile) {
  EXPECT_FALSE(SaveSettingsFile((dir_ / "missing" / "tarvoserver.ini").string(), {}));

  Write("[ServerPort]:81\n");
  chmod(path_.c_str(), 0640);
  ServerSettingsRecord s;
  s.ServerPort = 82;
  ASSERT_TRUE(SaveSettingsFile(path_, s));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the administrator's permissions survive

  // A write that fails half-way (here: the file size limit) leaves the old file whole.
  std::string before = Read();
  struct rlimit oldLimit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = oldLimit;
  small.rlim_cur = 40;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  s.ServerPort = 83;
  bool saved = SaveSettingsFile(path_, s);
  setrlimit(RLIMIT_FSIZE, &oldLimit);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(saved);
  EXPECT_EQ(Read(), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  // A directory in the file's place cannot be replaced.
  fs::remove(path_);
  fs::create_directories(fs::path(path_) / "keep");
  EXPECT_FALSE(SaveSettingsFile(path_, s));
  EXPECT_TRUE(fs::is_directory(fs::path(path_) / "keep"));
}

TEST_F(SettingsFileTest, LoadAndSaveUseTheHomeDirectory) {
  const char* old = std::getenv("TARVO_HOME");
  std::string oldHome = old ? old : "";
  setenv("TARVO_HOME", dir_.c_str(), 1);
  ServerSettingsRecord saved = ServerSettings;

  ServerSettings = ServerSettingsRecord{};
  EXPECT_FALSE(LoadSettings());
  ServerSettings.ServerPort = 8443;
  ASSERT_TRUE(SaveSettings());
  EXPECT_EQ(Read(), std::string(kDefaultFile).replace(13, 2, "8443"));
  ServerSettings = ServerSettingsRecord{};
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(ServerSettings.ServerPort, 8443);

  ServerSettings = saved;
  if (old) {
    setenv("TARVO_HOME", oldHome.c_str(), 1);
  } else {
    unsetenv("TARVO_HOME");
  }
}

nlohmann::json Vectors() {
  std::ifstream in(std::string(TARVO_TEST_DATA_DIR) + "/vectors.json");
  EXPECT_TRUE(in.good());
  return nlohmann::json::parse(in);
}

TEST(VersionRule, AdmissionVectors) {
  nlohmann::json vectors = Vectors();
  ServerSettingsRecord saved = ServerSettings;
  int count = 0;
  for (const char* group :
       {"version_admission_default_server_2.0.5", "version_admission_implementer_choice"}) {
    ASSERT_TRUE(vectors.contains(group)) << group;
    for (const auto& v : vectors[group]) {
      std::string client = v["client"];
      std::string minimum = v["minimum"];
      bool admitted = v["admitted"];
      EXPECT_EQ(IsClientVersionAllowed(client.c_str(), minimum.c_str()), admitted)
          << group << ": client \"" << client << "\" minimum \"" << minimum << "\"";
      std::snprintf(ServerSettings.MinClientVersion, kMinClientVersionSize, "%s",
                    minimum.c_str());
      EXPECT_EQ(IsClientVersionAllowed(client.c_str()), admitted) << client;
      ++count;
    }
  }
  EXPECT_GT(count, 20);
  ServerSettings = saved;
}

TEST(VersionRule, ComparisonVectors) {
  nlohmann::json vectors = Vectors();
  ASSERT_TRUE(vectors.contains("version_cmp"));
  for (const auto& v : vectors["version_cmp"]) {
    std::string a = v["a"];
    std::string b = v["b"];
    int result = v["result"];
    EXPECT_EQ(CompareVersions(a.c_str(), b.c_str()), result) << a << " vs " << b;
    EXPECT_EQ(CompareVersions(b.c_str(), a.c_str()), -result) << b << " vs " << a;
  }
}

TEST(VersionRule, HugeComponentsCompareExactly) {
  // 2^64 + 5 must not wrap around to 5.
  EXPECT_EQ(CompareVersions("2.0.18446744073709551621", "2.0.5"), 1);
  EXPECT_EQ(CompareVersions("2.0.4294967301", "2.0.5"), 1);
  EXPECT_EQ(CompareVersions("2.0.000000000000000000000000005", "2.0.5"), 0);
  EXPECT_EQ(CompareVersions("2.0.99999999999999999999998", "2.0.99999999999999999999999"), -1);
  EXPECT_FALSE(IsClientVersionAllowed("2.0.18446744073709551621", "2.0.4"));
  EXPECT_EQ(CompareVersions(nullptr, "0.0"), 0);
  EXPECT_EQ(CompareVersions("+2. \t1", "2.1"), 0);
  EXPECT_EQ(CompareVersions("2.-1", "2.0"), 0);
}

}  // namespace
}  // namespace tarvo
