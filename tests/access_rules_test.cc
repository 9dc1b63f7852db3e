// Destination rules (their syntax, the package's file, re-reading the file as it changes) and
// login throttling on hand-set times.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "server/service/policy/access_file.h"
#include "server/service/policy/access_rules.h"
#include "server/service/policy/host_addresses.h"
#include "server/service/policy/login_guard.h"
#include "server/service/policy/login_throttle.h"
#include "tests/daemon_process.h"

namespace tarvo {
namespace {

using std::chrono::seconds;

std::uint32_t Ip(const char* dotted) { return ::inet_addr(dotted); }

AccessRules Rules(const std::string& text, std::vector<AccessRuleError>* errors = nullptr) {
  std::vector<AccessRuleError> found;
  AccessRules rules = AccessRules::Parse(text, found);
  if (errors != nullptr) {
    *errors = found;
  } else {
    EXPECT_TRUE(found.empty()) << found.front().line << ": " << found.front().reason;
  }
  return rules;
}

TEST(AccessRulesTest, NetworksPortsAndTheFirstMatchDecide) {
  const AccessRules rules = Rules(
      "# comment line\n"
      "\n"
      "allow 10.1.2.3 port 22          # one host, one port\n"
      "DENY 10.0.0.0/8\n"
      "allow 192.168.7.99/24 port 80, 443,8000-8099\n"
      "deny 192.168.0.0/16 port all\n"
      "deny 0.0.0.0/0 port 25\r\n");
  EXPECT_EQ(rules.size(), 5u);
  EXPECT_TRUE(rules.allows(Ip("10.1.2.3"), 22));  // the first rule wins over the deny after it
  EXPECT_FALSE(rules.allows(Ip("10.1.2.3"), 23));
  EXPECT_FALSE(rules.allows(Ip("10.255.0.1"), 22));
  // Host bits of 192.168.7.99/24 name the network 192.168.7.0/24.
  EXPECT_TRUE(rules.allows(Ip("192.168.7.1"), 443));
  EXPECT_TRUE(rules.allows(Ip("192.168.7.255"), 8099));
  EXPECT_FALSE(rules.allows(Ip("192.168.7.1"), 8100));
  EXPECT_FALSE(rules.allows(Ip("192.168.8.1"), 80));
  EXPECT_FALSE(rules.allows(Ip("8.8.8.8"), 25));
  EXPECT_TRUE(rules.allows(Ip("8.8.8.8"), 26));  // no rule matches: allowed
  EXPECT_TRUE(Rules("").allows(Ip("127.0.0.1"), 80));
  EXPECT_FALSE(Rules("deny 0.0.0.0/0").allows(Ip("1.2.3.4"), 0));
}

TEST(AccessRulesTest, BadLinesAreReportedByNumberAndIgnored) {
  std::vector<AccessRuleError> errors;
  const AccessRules rules = Rules(
      "deny 127.0.0.1\n"
      "block 10.0.0.0/8\n"
      "deny 10.0.0.0/33\n"
      "deny 10.0.0.256\n"
      "deny 10.0.0\n"
      "deny\n"
      "deny 10.0.0.0/8 port 70000\n"
      "deny 10.0.0.0/8 port 90-80\n"
      "deny 10.0.0.0/8 port\n"
      "deny 10.0.0.0/8 ports 1,,2\n"
      "deny 10.0.0.0/8 to 80\n"
      "deny -1.0.0.0\n"
      "deny 10.0.0.0/8 port +80\n"
      "deny 172.16.0.0/12 port 80\n",
      &errors);
  std::vector<std::size_t> lines;
  for (const auto& error : errors) {
    EXPECT_FALSE(error.reason.empty());
    lines.push_back(error.line);
  }
  EXPECT_EQ(lines, (std::vector<std::size_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
  EXPECT_EQ(rules.size(), 2u);
  EXPECT_FALSE(rules.allows(Ip("127.0.0.1"), 1));
  EXPECT_TRUE(rules.allows(Ip("10.0.0.1"), 80));
  EXPECT_FALSE(rules.allows(Ip("172.31.0.1"), 80));

  // A NUL byte does not end the text early: the lines after it still count.
  std::vector<AccessRuleError> nul;
  const AccessRules after = Rules(std::string("deny 1.1.1.1\0x\ndeny 2.2.2.2\n", 27), &nul);
  ASSERT_EQ(nul.size(), 1u);
  EXPECT_EQ(nul[0].line, 1u);
  EXPECT_FALSE(after.allows(Ip("2.2.2.2"), 1));
  EXPECT_TRUE(after.allows(Ip("1.1.1.1"), 1));
}

TEST(AccessRulesTest, ThePackagesFileKeepsRelaysOffThisHostAndTheMetadataAddress) {
  std::ifstream file(std::string(TARVO_SOURCE_DIR) + "/packaging/tarvo-access.conf");
  ASSERT_TRUE(file.is_open());
  std::stringstream text;
  text << file.rdbuf();
  const AccessRules rules = Rules(text.str());
  for (const char* denied : {"127.0.0.1", "127.255.255.254", "0.0.0.0", "169.254.169.254",
                             "169.254.0.1"}) {
    EXPECT_FALSE(rules.allows(Ip(denied), 80)) << denied;
    EXPECT_FALSE(rules.allows(Ip(denied), 8080)) << denied;
  }
  for (const char* allowed : {"8.8.8.8", "10.0.0.1", "192.168.1.1", "128.0.0.1"}) {
    EXPECT_TRUE(rules.allows(Ip(allowed), 443)) << allowed;
  }
  // The host's interface addresses are this host too, on every port; only they.
  const std::vector<std::uint32_t> interfaces{ntohl(Ip("10.0.0.7")), ntohl(Ip("192.168.1.20"))};
  for (const char* own : {"10.0.0.7", "192.168.1.20", "0.1.2.3"}) {
    EXPECT_FALSE(rules.allows(Ip(own), 22, interfaces)) << own;
  }
  EXPECT_TRUE(rules.allows(Ip("10.0.0.8"), 22, interfaces));
  // A port list narrows the word as it narrows a network.
  const AccessRules ssh = Rules("deny THIS-HOST port 22");
  EXPECT_FALSE(ssh.allows(Ip("10.0.0.7"), 22, interfaces));
  EXPECT_TRUE(ssh.allows(Ip("10.0.0.7"), 80, interfaces));
  // The listing the daemon starts from has this host's loopback address.
  std::vector<std::uint32_t> read;
  ASSERT_TRUE(ReadHostAddresses(read));
  EXPECT_TRUE(std::binary_search(read.begin(), read.end(), ntohl(Ip("127.0.0.1"))));
}

// AccessFile on a temporary directory, with times given by hand.
class AccessFileTest : public ::testing::Test {
 protected:
  void write(const std::string& text) {
    // A new file renamed into place, as editors save: each version is a new file.
    const std::string temporary = path + ".new";
    std::ofstream(temporary) << text;
    ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
  }

  test::TempDir home;
  const std::string path = home.path() + "/" + kAccessFileName;
  AccessFile file{path};
  NetworkTime at = NetworkTime{} + std::chrono::hours(1);
  const std::uint32_t loopback = Ip("127.0.0.1");
};

TEST_F(AccessFileTest, ChangesAreSeenWithinASecondAndAMissingFileAllowsAll) {
  file.load(at);
  EXPECT_TRUE(file.allows(loopback, 80, at));

  write("deny 127.0.0.1\n");
  EXPECT_TRUE(file.allows(loopback, 80, at + std::chrono::milliseconds(999)));  // not looked yet
  at += seconds(1);
  EXPECT_FALSE(file.allows(loopback, 80, at));
  EXPECT_TRUE(file.allows(Ip("127.0.0.2"), 80, at));

  write("deny 127.0.0.2\n");
  at += seconds(1);
  EXPECT_TRUE(file.allows(loopback, 80, at));
  EXPECT_FALSE(file.allows(Ip("127.0.0.2"), 80, at));

  ASSERT_EQ(::unlink(path.c_str()), 0);
  at += seconds(1);
  EXPECT_TRUE(file.allows(Ip("127.0.0.2"), 80, at));
}

TEST_F(AccessFileTest, AFileThatCannotBeReadRefusesEverything) {
  // A symbolic link is not followed, even to a file that allows everything.
  const std::string target = home.path() + "/elsewhere.conf";
  std::ofstream(target) << "allow 0.0.0.0/0\n";
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  file.load(at);
  EXPECT_FALSE(file.allows(Ip("8.8.8.8"), 53, at));

  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  at += seconds(1);
  EXPECT_FALSE(file.allows(Ip("8.8.8.8"), 53, at));
  ASSERT_EQ(::rmdir(path.c_str()), 0);

  // Once it reads, its rules apply.
  write("deny 127.0.0.0/8\n");
  at += seconds(1);
  EXPECT_TRUE(file.allows(Ip("8.8.8.8"), 53, at));
  EXPECT_FALSE(file.allows(loopback, 53, at));

  write(std::string(kMaxAccessFileSize + 1, '#'));
  at += seconds(1);
  EXPECT_FALSE(file.allows(Ip("8.8.8.8"), 53, at));
}

TEST(ThrottleFiguresTest, OffOrThreeFigures) {
  const auto figures = ParseThrottleFigures("3,60,2");
  ASSERT_TRUE(figures.has_value());
  EXPECT_TRUE(figures->enabled);
  EXPECT_EQ(figures->wrongProofs, 3u);
  EXPECT_EQ(figures->window, seconds(60));
  EXPECT_EQ(figures->hold, seconds(2));
  ASSERT_TRUE(ParseThrottleFigures("off").has_value());
  EXPECT_FALSE(ParseThrottleFigures("off")->enabled);
  for (const char* bad : {"", "3", "3,60", "3,60,2,1", "0,60,2", "3,0,2", "3,60,-2", "a,b,c",
                          "3, 60,2", "1001,60,2", "3,60,99999999999"}) {
    EXPECT_FALSE(ParseThrottleFigures(bad).has_value()) << bad;
  }
}

using Verdict = LoginThrottle::Verdict;

class LoginThrottleTest : public ::testing::Test {
 protected:
  ThrottleFigures figures() const {
    ThrottleFigures f;  // the defaults: 10 within 300 s hold 300 s
    f.auditedPerHold = 3;
    f.addresses = 4;
    return f;
  }
  // count wrong proofs from address, step apart, ending at `at`.
  void wrong(LoginThrottle& throttle, std::uint32_t address, int count, seconds step) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(throttle.admit(address, at), Verdict::kCheck) << i;
      throttle.noteWrongProof(address, at);
      if (i + 1 < count) at += step;
    }
  }

  NetworkTime at = NetworkTime{} + std::chrono::hours(1);
  const std::uint32_t client = Ip("192.0.2.5");
  const std::uint32_t other = Ip("192.0.2.6");
};

TEST_F(LoginThrottleTest, StartsAtTheTenthWrongProofInTheWindowAndEndsAfterTheHold) {
  LoginThrottle throttle(figures());
  wrong(throttle, client, 9, seconds(30));  // nine within 240 s
  EXPECT_EQ(throttle.admit(client, at), Verdict::kCheck);
  EXPECT_TRUE(throttle.noteWrongProof(client, at));  // the tenth holds the address
  const NetworkTime heldAt = at;

  EXPECT_EQ(throttle.admit(client, at), Verdict::kRefuse);
  EXPECT_EQ(throttle.admit(other, at), Verdict::kCheck);  // another address is unaffected
  EXPECT_EQ(throttle.admit(client, heldAt + seconds(299)), Verdict::kRefuse);
  EXPECT_EQ(throttle.admit(client, heldAt + seconds(300)), Verdict::kCheck);

  // Afresh: it takes ten again.
  at = heldAt + seconds(300);
  wrong(throttle, client, 9, seconds(1));
  EXPECT_EQ(throttle.admit(client, at), Verdict::kCheck);
}

TEST_F(LoginThrottleTest, WrongProofsSpreadWiderThanTheWindowNeverHold) {
  LoginThrottle throttle(figures());
  // One every 34 s: any ten span 306 s, more than the window.
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(throttle.admit(client, at), Verdict::kCheck) << i;
    ASSERT_FALSE(throttle.noteWrongProof(client, at)) << i;
    at += seconds(34);
  }
  // The last nine (within 272 s) and one more now hold it.
  at -= seconds(34);
  at += seconds(27);
  EXPECT_TRUE(throttle.noteWrongProof(client, at));
  EXPECT_EQ(throttle.admit(client, at), Verdict::kRefuse);
}

TEST_F(LoginThrottleTest, RefusalsWhileHeldAreAuditedUpToTheBound) {
  LoginThrottle throttle(figures());
  wrong(throttle, client, 10, seconds(1));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(throttle.admit(client, at), Verdict::kRefuse);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(throttle.admit(client, at), Verdict::kRefuseUnaudited);
  // The next hold audits afresh.
  at += seconds(300);
  wrong(throttle, client, 10, seconds(1));
  EXPECT_EQ(throttle.admit(client, at), Verdict::kRefuse);
}

TEST_F(LoginThrottleTest, AddressesAreBoundedAndTheLeastRecentlyWrongIsForgottenFirst) {
  LoginThrottle throttle(figures());
  const std::uint32_t first = Ip("198.51.100.1");
  wrong(throttle, first, 9, seconds(1));
  for (int i = 2; i <= 4; ++i) {
    wrong(throttle, Ip(("198.51.100." + std::to_string(i)).c_str()), 1, seconds(1));
  }
  // first is wrong again, so 198.51.100.2 is now the oldest and goes for the fifth.
  throttle.noteWrongProof(first, at);
  EXPECT_EQ(throttle.admit(first, at), Verdict::kRefuse);
  wrong(throttle, Ip("198.51.100.5"), 1, seconds(1));
  EXPECT_EQ(throttle.remembered(), 4u);
  EXPECT_EQ(throttle.admit(first, at), Verdict::kRefuse);

  // Turned off, nothing is held or kept.
  ThrottleFigures off = figures();
  off.enabled = false;
  LoginThrottle none(off);
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(none.noteWrongProof(client, at));
  EXPECT_EQ(none.admit(client, at), Verdict::kCheck);
  EXPECT_EQ(none.remembered(), 0u);
}

TEST_F(LoginThrottleTest, GuessesHoldTheGuessedUserAloneAndARotatingGuesserIsSlowedPerUser) {
  LoginGuard guard;
  // Ten wrong at alice from one address hold alice there; bob behind it gets in, and so does
  // alice from elsewhere.
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(guard.admit(client, "alice", at), Verdict::kCheck) << i;
    guard.noteWrongProof(client, "alice", at);
    at += seconds(1);
  }
  EXPECT_EQ(guard.admit(client, "ALICE", at), Verdict::kRefuse);
  EXPECT_EQ(guard.admit(client, "bob", at), Verdict::kCheck);
  guard.noteAccepted(other, "alice");  // alice's own address from now on

  // Addresses taking turns, each guessing once, 100 a second for 10 s: ten a second reach the
  // check, and alice from her own address is never refused.
  at += seconds(300);
  int checked = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t rotating = htonl(0x0A000000u + static_cast<std::uint32_t>(i));
    if (guard.admit(rotating, "alice", at) == Verdict::kCheck) {
      ++checked;
      guard.noteWrongProof(rotating, "alice", at);
    }
    if (i % 10 == 0) {
      EXPECT_EQ(guard.admit(other, "alice", at), Verdict::kCheck) << i;
    }
    at += std::chrono::milliseconds(10);
  }
  EXPECT_LE(checked, 10 * 10 + 30);  // the rate, and the burst saved up
  EXPECT_GE(checked, 10 * 10);
  EXPECT_EQ(guard.admit(htonl(0x0B000001u), "bob", at), Verdict::kCheck);  // bob unaffected

  // One address guessing many names is held as a whole at 300 wrong proofs in the window.
  for (int i = 0; i < 300; ++i) {
    guard.noteWrongProof(client, "user" + std::to_string(i), at);
  }
  EXPECT_NE(guard.admit(client, "carol", at), Verdict::kCheck);
}

TEST_F(LoginThrottleTest, RefusalsAreAuditedAtMostAHundredAMinuteInAll) {
  LoginGuard guard;
  for (std::uint32_t a = 1; a <= 40; ++a) {
    for (int i = 0; i < 10; ++i) guard.noteWrongProof(htonl(a), "alice", at);
  }
  int audited = 0;
  for (std::uint32_t a = 1; a <= 40; ++a) {
    for (int i = 0; i < 10; ++i) audited += guard.admit(htonl(a), "alice", at) == Verdict::kRefuse;
  }
  EXPECT_EQ(audited, 100);
  at += std::chrono::minutes(1);
  EXPECT_EQ(guard.admit(htonl(1), "alice", at), Verdict::kRefuse);  // a new minute
}

}  // namespace
}  // namespace tarvo
