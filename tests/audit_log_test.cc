#include "server/service/base/audit_log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "server/service/session/message_log.h"
#include "server/service/base/settings.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

std::uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

std::tm Time(int year, int month, int day, int hour, int minute, int second, int weekday) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  when.tm_wday = weekday;
  return when;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A private home directory for the files, with AuditType restored afterwards.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarvo-logs-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    if (const char* old = getenv("TARVO_HOME")) oldHome_ = old;
    setenv("TARVO_HOME", dir_.c_str(), 1);
    oldAuditType_ = ServerSettings.AuditType;
  }
  void TearDown() override {
    ServerSettings.AuditType = oldAuditType_;
    if (oldHome_.empty()) {
      unsetenv("TARVO_HOME");
    } else {
      setenv("TARVO_HOME", oldHome_.c_str(), 1);
    }
    fs::remove_all(dir_);
  }
  std::string Read(const char* name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  fs::path dir_;
  std::string oldHome_;
  std::int32_t oldAuditType_ = 0;
};

TEST(AuditRowTest, ExactRowsForEachEvent) {
  const std::tm when = Time(2026, 3, 7, 14, 5, 9, 6);
  const std::uint32_t client = Ip("192.0.2.5");
  EXPECT_EQ(FormatAuditRow(when, "alice", client, "open", 0, 0, "done"),
            "\"2026/03/07\",\"14:05:09\",\"alice[192.0.2.5]\",\"open\",\"\",\"\",\"done\"\n");
  EXPECT_EQ(FormatAuditRow(when, "alice", client, "close", 0, 0, "done"),
            "\"2026/03/07\",\"14:05:09\",\"alice[192.0.2.5]\",\"close\",\"\",\"\",\"done\"\n");
  EXPECT_EQ(
      FormatAuditRow(when, "alice", client, "connect", Ip("198.51.100.7"), 65535, "fail"),
      "\"2026/03/07\",\"14:05:09\",\"alice[192.0.2.5]\",\"connect\",\"198.51.100.7\",\"65535\","
      "\"fail\"\n");
  EXPECT_EQ(FormatAuditRow(when, "alice", client, "disconnect", Ip("198.51.100.7"), 80, "done"),
            "\"2026/03/07\",\"14:05:09\",\"alice[192.0.2.5]\",\"disconnect\",\"198.51.100.7\","
            "\"80\",\"done\"\n");
  // The first second of a year keeps its leading zeros.
  EXPECT_EQ(FormatAuditRow(Time(2027, 1, 1, 0, 0, 0, 5), "bob", client, "open", 0, 0,
                           "unknown user"),
            "\"2027/01/01\",\"00:00:00\",\"bob[192.0.2.5]\",\"open\",\"\",\"\",\"unknown user\"\n");
}

TEST(AuditRowTest, HostileNamesStayOneRow) {
  const std::tm when = Time(2026, 3, 7, 14, 5, 9, 6);
  const std::uint32_t client = Ip("192.0.2.5");
  EXPECT_EQ(FormatAuditRow(when, "a\"b", client, "open", 0, 0, "unknown user"),
            "\"2026/03/07\",\"14:05:09\",\"a\"\"b[192.0.2.5]\",\"open\",\"\",\"\","
            "\"unknown user\"\n");
  // A forged second row is written as escapes inside the first.
  std::string forged = "x\",\"open\",\"\",\"\",\"done\"\r\n\"2026/01/01\",\"00:00:00\",\"root";
  std::string row = FormatAuditRow(when, forged, client, "open", 0, 0, "unknown user");
  EXPECT_EQ(row.find('\r'), std::string::npos);
  EXPECT_EQ(row.find('\n'), row.size() - 1);
  EXPECT_NE(row.find("\\r\\n"), std::string::npos);
  EXPECT_EQ(FormatAuditRow(when, std::string("t\tz\x01\x7f\\", 6), client, "close", 0, 0, "done"),
            "\"2026/03/07\",\"14:05:09\",\"t\\tz\\x01\\x7F\\[192.0.2.5]\",\"close\",\"\",\"\","
            "\"done\"\n");
  // A backslash is no control byte: a domain name reads as the store holds it.
  EXPECT_EQ(FormatAuditRow(when, "CORP\\alice", client, "open", 0, 0, "done"),
            "\"2026/03/07\",\"14:05:09\",\"CORP\\alice[192.0.2.5]\",\"open\",\"\",\"\",\"done\"\n");
  // Bytes of other code pages are not control characters.
  EXPECT_NE(FormatAuditRow(when, "J\xf6rg", client, "open", 0, 0, "done").find("J\xf6rg["),
            std::string::npos);
}

TEST(MessageLineTest, TimeFormAndLine) {
  EXPECT_EQ(FormatMessageTime(Time(2026, 1, 5, 9, 3, 7, 1)), "Mon Jan 05 09:03:07 2026");
  EXPECT_EQ(FormatMessageTime(Time(2027, 1, 1, 0, 0, 0, 5)), "Fri Jan 01 00:00:00 2027");
  EXPECT_EQ(FormatMessageTime(Time(2026, 12, 31, 23, 59, 59, 4)), "Thu Dec 31 23:59:59 2026");
  EXPECT_EQ(FormatMessageTime(Time(2026, 12, 31, 23, 59, 59, 4)).size(), 24u);
  // Out-of-range fields never index outside the name tables.
  EXPECT_EQ(FormatMessageTime(Time(2026, 13, 1, 0, 0, 0, 7)).substr(0, 7), "??? ???");

  EXPECT_EQ(FormatMessageLine(Time(2026, 1, 5, 9, 3, 7, 1), "alice", Ip("192.0.2.5"), "hello"),
            "Mon Jan 05 09:03:07 2026 from alice[192.0.2.5] :hello\n");
  EXPECT_EQ(FormatMessageLine(Time(2026, 1, 5, 9, 3, 7, 1), "alice", Ip("192.0.2.5"),
                              "line1\r\nline2 \"q\" \\"),
            "Mon Jan 05 09:03:07 2026 from alice[192.0.2.5] :line1\\r\\nline2 \"q\" \\\n");
}

TEST(MessageLineTest, LongTextIsCutWithoutSplittingAnEscape) {
  const std::tm when = Time(2026, 1, 5, 9, 3, 7, 1);
  const std::string prefix = "Mon Jan 05 09:03:07 2026 from alice[192.0.2.5] :";
  std::string line = FormatMessageLine(when, "alice", Ip("192.0.2.5"), std::string(10240, 'm'));
  EXPECT_EQ(line, prefix + std::string(kMaxLoggedMessageText, 'm') + "\n");

  // 1022 plain bytes then control bytes: the 4-byte escape does not fit and is left out whole.
  std::string text = std::string(kMaxLoggedMessageText - 1, 'm') + std::string(10, '\x01');
  line = FormatMessageLine(when, "alice", Ip("192.0.2.5"), text);
  EXPECT_EQ(line, prefix + std::string(kMaxLoggedMessageText - 1, 'm') + "\n");

  std::string newlines(10240, '\n');
  line = FormatMessageLine(when, "alice", Ip("192.0.2.5"), newlines);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.size(), prefix.size() + 1022 + 1);  // 511 whole "\n" escapes
}

TEST_F(LogFileTest, AuditTypeZeroCreatesNoFile) {
  ServerSettings.AuditType = 0;
  AuditSessionOpen("alice", Ip("192.0.2.5"), "done");
  AuditSessionClose("alice", Ip("192.0.2.5"));
  AuditRelayConnect("alice", Ip("192.0.2.5"), "done", Ip("198.51.100.7"), 80);
  AuditRelayDisconnect("alice", Ip("192.0.2.5"), Ip("198.51.100.7"), 80);
  EXPECT_FALSE(fs::exists(dir_ / kAuditFileName));
  // The message log does not depend on AuditType.
  EXPECT_TRUE(SaveUserMessage("alice", Ip("192.0.2.5"), Bytes(std::string_view("hi\0x", 4))));
  std::string content = Read(kMessageFileName);
  EXPECT_EQ(content.size(), 24u + std::string(" from alice[192.0.2.5] :hi\n").size());
  EXPECT_EQ(content.substr(24), " from alice[192.0.2.5] :hi\n");
}

TEST_F(LogFileTest, EveryEventAppendsOneRow) {
  ServerSettings.AuditType = 1;
  AuditSessionOpen(std::string(10240, '"'), Ip("192.0.2.5"), "unknown user");
  AuditSessionOpen("alice", Ip("192.0.2.5"), "done");
  AuditRelayConnect("alice", Ip("192.0.2.5"), "done", Ip("198.51.100.7"), 443);
  AuditRelayDisconnect("alice", Ip("192.0.2.5"), Ip("198.51.100.7"), 443);
  AuditSessionClose("alice", Ip("192.0.2.5"));
  std::istringstream rows(Read(kAuditFileName));
  std::vector<std::string> lines;
  for (std::string line; std::getline(rows, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  // Date and time, a comma and a quote, the 10240 quotes doubled, the address, the rest.
  EXPECT_EQ(lines[0].size(), 23u + 2 + 20480 + 12 + 28);
  const char* tails[] = {
      "\"alice[192.0.2.5]\",\"open\",\"\",\"\",\"done\"",
      "\"alice[192.0.2.5]\",\"connect\",\"198.51.100.7\",\"443\",\"done\"",
      "\"alice[192.0.2.5]\",\"disconnect\",\"198.51.100.7\",\"443\",\"done\"",
      "\"alice[192.0.2.5]\",\"close\",\"\",\"\",\"done\"",
  };
  for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[i + 1].substr(24), tails[i]) << i;

  ServerSettings.AuditType = 2;
  AuditSessionClose("bob", Ip("192.0.2.6"));
  EXPECT_NE(Read(kAuditFileName).find("\"bob[192.0.2.6]\",\"close\""), std::string::npos);
}

TEST_F(LogFileTest, MessageLogThatCannotBeOpenedReportsFalse) {
  fs::create_directory(dir_ / kMessageFileName);
  EXPECT_FALSE(SaveUserMessage("alice", Ip("192.0.2.5"), Bytes("hello")));
}

}  // namespace
}  // namespace tarvo
