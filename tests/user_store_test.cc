// The user store through the real SQLite3 ODBC driver in a temporary home, and through the
// PostgreSQL driver on a throw-away cluster.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "external/reader.h"
#include "external/reader_tokens.h"
#include "tests/user_store_fixture.h"

namespace {

using namespace tarvo::test;
namespace fs = std::filesystem;

struct Found {
  bool ok = false;
  std::string password;
  std::int64_t limit = -1;
  std::int64_t counter = -1;
  std::uint8_t locked = 9;
};

Found Get(const char* name) {
  Found found;
  char password[tarvo::kUserPasswordSize];
  std::memset(password, 'x', sizeof password);
  found.ok = GetUserInfo(name, password, &found.limit, &found.counter, &found.locked);
  if (found.ok) found.password = password;
  return found;
}

std::vector<tarvo::UserInfo> Enumerate() {
  std::vector<tarvo::UserInfo> users(tarvo::kMaxEnumeratedUsers);
  std::int32_t count = EnumUsers2(users.data());
  users.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
  return users;
}

TEST_F(UserStoreTest, CreatesTheSqliteStoreInTheHomeDirectory) {
  ASSERT_TRUE(InitReader());
  EXPECT_TRUE(fs::exists(DatabasePath()));
  EXPECT_EQ(Enumerate().size(), 0u);
}

TEST_F(UserStoreTest, UserLifecycleMatchesNamesWithoutCase) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Alice", "secret-1", 1000, 0));

  Found alice = Get("alice");
  ASSERT_TRUE(alice.ok);
  EXPECT_EQ(alice.password, "secret-1");
  EXPECT_EQ(alice.limit, 1000);
  EXPECT_EQ(alice.counter, 0);
  EXPECT_EQ(alice.locked, 0);

  // Counter and lock survive a change of password and limit; the stored name keeps its case.
  SetUserCount("ALICE", 77);
  ASSERT_TRUE(LockUser("aLiCe", 1));
  ASSERT_TRUE(SetUserInfo("aLICE", "secret-2", 2000, 0));
  alice = Get("Alice");
  ASSERT_TRUE(alice.ok);
  EXPECT_EQ(alice.password, "secret-2");
  EXPECT_EQ(alice.limit, 2000);
  EXPECT_EQ(alice.counter, 77);
  EXPECT_EQ(alice.locked, 1);
  auto users = Enumerate();
  ASSERT_EQ(users.size(), 1u);
  EXPECT_STREQ(users[0].name, "Alice");

  ASSERT_TRUE(LockUser("alice", 0));
  EXPECT_EQ(Get("alice").locked, 0);
  ASSERT_TRUE(ResetUser("ALICE"));
  EXPECT_EQ(Get("alice").counter, 0);

  ASSERT_TRUE(DeleteUser("ALICE"));
  EXPECT_FALSE(Get("alice").ok);
  // Refusals for a user that does not exist.
  EXPECT_FALSE(DeleteUser("alice"));
  EXPECT_FALSE(LockUser("alice", 1));
  EXPECT_FALSE(ResetUser("alice"));
  SetUserCount("alice", 5);
  EXPECT_EQ(Enumerate().size(), 0u);
}

TEST_F(UserStoreTest, EnumerationFillsWholeRecords) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("bob", "b-pass", 0, 0));
  ASSERT_TRUE(SetUserInfo("Carol", "c-pass", 42, 1));
  ASSERT_TRUE(LockUser("carol", 1));
  SetUserCount("bob", 1234567890123);

  std::vector<tarvo::UserInfo> users(tarvo::kMaxEnumeratedUsers);
  std::memset(users.data(), 0xAB, sizeof(tarvo::UserInfo) * 3);
  ASSERT_EQ(EnumUsers2(users.data()), 2);
  EXPECT_STREQ(users[0].name, "bob");
  EXPECT_STREQ(users[0].password, "b-pass");
  EXPECT_EQ(users[0].counter, 1234567890123);
  EXPECT_EQ(users[0].locked, 0);
  EXPECT_STREQ(users[1].name, "Carol");
  EXPECT_STREQ(users[1].password, "c-pass");
  EXPECT_EQ(users[1].limit, 42);
  EXPECT_EQ(users[1].locked, 1);
  // Nothing of the records is left over from the buffer, and nothing beyond them is written.
  for (int i = 0; i < 2; ++i) {
    const auto& user = users[i];
    EXPECT_EQ(user.address, 0u);
    EXPECT_EQ(user.sessionId, 0u);
    for (std::size_t j = std::strlen(user.name); j < sizeof user.name; ++j) {
      ASSERT_EQ(user.name[j], 0) << "name byte " << j;
    }
    for (std::size_t j = std::strlen(user.password); j < sizeof user.password; ++j) {
      ASSERT_EQ(user.password[j], 0) << "password byte " << j;
    }
    for (auto b : user.padding1) EXPECT_EQ(b, 0);
    for (auto b : user.padding2) EXPECT_EQ(b, 0);
  }
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&users[2])[0], 0xAB);
}

TEST_F(UserStoreTest, RefusesNamesAndPasswordsTooLongToStore) {
  ASSERT_TRUE(InitReader());
  const std::string name256(256, 'N');
  const std::string name257(257, 'N');
  const std::string pass256(256, 'p');
  const std::string pass257(257, 'p');

  EXPECT_TRUE(SetUserInfo(name256.c_str(), pass256.c_str(), 1, 0));
  EXPECT_FALSE(SetUserInfo(name257.c_str(), "x", 1, 0));
  EXPECT_FALSE(SetUserInfo("shortname", pass257.c_str(), 1, 0));
  EXPECT_FALSE(SetUserInfo("", "x", 1, 0));
  // The sealed form of the longest password still fits its column.
  EXPECT_TRUE(SetUserInfo("sealed", pass256.c_str(), 1, 1));
  EXPECT_EQ(Get("SEALED").password, pass256);

  Found found = Get(std::string(256, 'n').c_str());
  ASSERT_TRUE(found.ok);
  EXPECT_EQ(found.password, pass256);
  EXPECT_FALSE(Get(name257.c_str()).ok);
  EXPECT_FALSE(DeleteUser(name257.c_str()));
  EXPECT_FALSE(LockUser(name257.c_str(), 1));
  EXPECT_EQ(Enumerate().size(), 2u);
}

TEST_F(UserStoreTest, SealedPasswordsStayOffTheDiskAndOpenOnlyInPlace) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Dave", "PlainTextVisible-17", 0, 0));
  ASSERT_TRUE(SetUserInfo("Erin", "CorrectHorseBattery-42", 9, 1));
  ASSERT_TRUE(SetUserInfo("Frank", "OtherSecret-99", 9, 1));
  ASSERT_TRUE(SetUserInfo("Gina", "GinaSecret-55", 9, 1));

  EXPECT_EQ(Get("erin").password, "CorrectHorseBattery-42");
  auto users = Enumerate();
  ASSERT_EQ(users.size(), 4u);
  EXPECT_STREQ(users[1].password, "CorrectHorseBattery-42");

  struct stat info {};
  ASSERT_EQ(stat(KeyPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_size, 32);
  EXPECT_TRUE(HomeFilesContain("PlainTextVisible-17"));  // the scan sees stored text
  EXPECT_FALSE(HomeFilesContain("CorrectHorseBattery-42"));

  // A sealed value copied to another row, or altered, does not open.
  RawExecute(
      "UPDATE UsersTable SET user_password = (SELECT user_password FROM UsersTable "
      "WHERE name_key = 'erin') WHERE name_key = 'frank'");
  RawExecute(
      "UPDATE UsersTable SET user_password = user_password || 'AAAA' "
      "WHERE name_key = 'gina'");
  EXPECT_FALSE(Get("frank").ok);
  EXPECT_FALSE(Get("gina").ok);
  users = Enumerate();
  ASSERT_EQ(users.size(), 4u);
  EXPECT_STREQ(users[2].name, "Frank");
  EXPECT_STREQ(users[2].password, "");
  // Found as the list shows it, so that it can be administered; a free name is not.
  char password[tarvo::kUserPasswordSize] = "x";
  std::int64_t limit = 0, counter = 0;
  std::uint8_t locked = 0;
  EXPECT_EQ(FindUserStatus("FRANK", password, &limit, &counter, &locked), READER_OK);
  EXPECT_STREQ(password, "");
  EXPECT_EQ(limit, 9);
  EXPECT_EQ(FindUserStatus("erin", password, &limit, &counter, &locked), READER_OK);
  EXPECT_STREQ(password, "CorrectHorseBattery-42");
  EXPECT_EQ(FindUserStatus("nobody", password, &limit, &counter, &locked), READER_NO_USER);

  // Writing a new password repairs the user; switching to plain storage works as well.
  ASSERT_TRUE(SetUserInfo("FRANK", "Fresh-1", 9, 1));
  EXPECT_EQ(Get("frank").password, "Fresh-1");
  ASSERT_TRUE(SetUserInfo("gina", "Plain-2", 9, 0));
  EXPECT_EQ(Get("gina").password, "Plain-2");
}

TEST_F(UserStoreTest, SealedPasswordsNeedTheirOwnKey) {
  // A key file of the wrong size is never used for sealing; plain storage still works.
  std::ofstream(KeyPath(), std::ios::binary) << std::string(31, 'k');
  pid_t shortKey = StartChild([] {
    return InitReader() && !SetUserInfo("ian", "i-secret", 1, 1) &&
                   SetUserInfo("ian", "i-plain", 1, 0)
               ? 0
               : 1;
  });
  ASSERT_EQ(WaitChild(shortKey), 0);
  ASSERT_EQ(unlink(KeyPath().c_str()), 0);

  // Another process seals a password under a new key.
  pid_t writer =
      StartChild([] { return InitReader() && SetUserInfo("hal", "h-secret", 1, 1) ? 0 : 1; });
  ASSERT_EQ(WaitChild(writer), 0);

  // With the key file replaced by another key the password does not open.
  ASSERT_EQ(unlink(KeyPath().c_str()), 0);
  std::ofstream(KeyPath(), std::ios::binary) << std::string(32, '\x5a');
  ASSERT_TRUE(InitReader());
  EXPECT_FALSE(Get("hal").ok);
  EXPECT_EQ(Get("ian").password, "i-plain");
}

// The packaged service's home belongs to its user: a key that root's tools make there must be
// that user's, or the daemon could not open a single sealed password.
TEST_F(UserStoreTest, KeyMadeByRootInAnotherUsersHomeIsThatUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kNobody = 65534;
  // The store as the package's maintainer scripts leave it: made by root, given to the user.
  ASSERT_EQ(WaitChild(StartChild([] { return InitReader() ? 0 : 1; })), 0);
  for (const auto& entry : fs::directory_iterator(home_)) {
    ASSERT_EQ(chown(entry.path().c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(chown(home_.c_str(), kNobody, kNobody), 0);

  pid_t writer =
      StartChild([] { return InitReader() && SetUserInfo("kim", "k-secret", 1, 1) ? 0 : 1; });
  ASSERT_EQ(WaitChild(writer), 0);
  struct stat key {};
  ASSERT_EQ(stat(KeyPath().c_str(), &key), 0);
  EXPECT_EQ(key.st_uid, kNobody);
  EXPECT_EQ(key.st_gid, kNobody);
  EXPECT_EQ(key.st_mode & 07777, 0600u);
  pid_t reader = StartChild([] {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      return 2;
    }
    return InitReader() && Get("kim").password == "k-secret" ? 0 : 1;
  });
  EXPECT_EQ(WaitChild(reader), 0);
}

TEST_F(UserStoreTest, InitReaderFailsWhenTheStoreCannotBeOpened) {
  setenv("TARVO_STORE", "Driver=NoSuchDriverAnywhere;Database=/tmp/nothing;", 1);
  EXPECT_FALSE(InitReader());
  EXPECT_FALSE(SetUserInfo("a", "b", 0, 0));
  EXPECT_FALSE(Get("a").ok);
  EXPECT_EQ(EnumUsers2(nullptr), -1);
  std::vector<tarvo::UserInfo> users(2);
  EXPECT_EQ(EnumUsers2(users.data()), -1);
  SetUserCount("a", 1);

  unsetenv("TARVO_STORE");
  setenv("TARVO_HOME", (home_ + "/no/such/directory").c_str(), 1);
  EXPECT_FALSE(InitReader());

  // The store opens once it can: nothing of the failures stuck.
  setenv("TARVO_HOME", home_.c_str(), 1);
  EXPECT_TRUE(InitReader());
  EXPECT_TRUE(SetUserInfo("a", "b", 0, 0));
}

TEST_F(UserStoreTest, UsesTheDataSourceVpnWhenConfigured) {
  std::string other = home_ + "/from-dsn.sqlite3";
  std::ofstream(odbcIni_) << "[VPN]\nDriver=SQLite3\nDatabase=" << other << "\nTimeout=10000\n";
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("jo", "j", 0, 0));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_FALSE(fs::exists(DatabasePath()));
}

TEST_F(UserStoreTest, FindsTheSqliteDriverWhenItIsNotRegistered) {
  // An ODBC system directory whose driver list is empty.
  fs::create_directory(home_ + "/odbcsys");
  std::ofstream(home_ + "/odbcsys/odbcinst.ini").flush();
  std::ofstream(home_ + "/odbcsys/odbc.ini").flush();
  setenv("ODBCSYSINI", (home_ + "/odbcsys").c_str(), 1);
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("kim", "k", 0, 0));
  EXPECT_TRUE(fs::exists(DatabasePath()));
}

TEST_F(UserStoreTest, TwoProcessesWriteAtOnce) {
  constexpr int kRounds = 400;
  int startPipe[2];
  ASSERT_EQ(pipe(startPipe), 0);
  auto writer = [&](int id) {
    close(startPipe[1]);
    char byte;
    // Both start together: the read ends when the parent closes its end.
    while (read(startPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    if (!InitReader()) return 100;
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
      std::string own = "p" + std::to_string(id) + "-" + std::to_string(i);
      // Both processes also write one shared user, sealed, racing for the key file too.
      if (!SetUserInfo("Shared", "shared-pw", i, 1)) ++failures;
      if (!SetUserInfo(own.c_str(), "own-pw", i, static_cast<std::uint8_t>(i % 2))) ++failures;
      SetUserCount(own.c_str(), i * 10);
      SetUserCount("shared", i);
    }
    return failures > 99 ? 99 : failures;
  };
  pid_t first = StartChild([&] { return writer(1); });
  pid_t second = StartChild([&] { return writer(2); });
  close(startPipe[0]);
  close(startPipe[1]);
  EXPECT_EQ(WaitChild(first), 0);
  EXPECT_EQ(WaitChild(second), 0);

  ASSERT_TRUE(InitReader());
  auto users = Enumerate();
  EXPECT_EQ(users.size(), 2u * kRounds + 1);
  for (int id = 1; id <= 2; ++id) {
    for (int i = 0; i < kRounds; ++i) {
      std::string own = "p" + std::to_string(id) + "-" + std::to_string(i);
      Found found = Get(own.c_str());
      ASSERT_TRUE(found.ok) << own;
      EXPECT_EQ(found.password, "own-pw");
      EXPECT_EQ(found.limit, i);
      EXPECT_EQ(found.counter, i * 10);
    }
  }
  Found shared = Get("shared");
  ASSERT_TRUE(shared.ok);
  EXPECT_EQ(shared.password, "shared-pw");
  EXPECT_EQ(shared.counter, kRounds - 1);
}

// Status results: a user the store does not have is told from a store that cannot answer.
TEST_F(UserStoreTest, StatusResultsTellAMissingUserFromAFailingStore) {
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Lena", "l-pass", 500, 0));
  SetUserCount("lena", 40);
  ASSERT_TRUE(LockUser("lena", 1));

  char password[tarvo::kUserPasswordSize] = "untouched";
  std::int64_t limit = -1;
  std::int64_t counter = -1;
  std::uint8_t locked = 9;
  EXPECT_EQ(GetUserInfoStatus("nobody", password, &limit, &counter, &locked), READER_NO_USER);
  EXPECT_STREQ(password, "untouched");
  EXPECT_EQ(counter, -1);
  ASSERT_EQ(GetUserInfoStatus("LENA", password, &limit, &counter, &locked), READER_OK);
  EXPECT_STREQ(password, "l-pass");
  EXPECT_EQ(limit, 500);
  EXPECT_EQ(counter, 40);
  EXPECT_EQ(locked, 1);

  EXPECT_EQ(AddUserCountStatus("nobody", 5, &counter), READER_NO_USER);
  ASSERT_EQ(AddUserCountStatus("Lena", 2, &counter), READER_OK);
  EXPECT_EQ(counter, 42);
  // Names and arguments the store cannot use: no such user, not a failure to retry.
  const std::string name257(257, 'n');
  EXPECT_EQ(GetUserInfoStatus(name257.c_str(), password, &limit, &counter, &locked),
            READER_NO_USER);
  EXPECT_EQ(GetUserInfoStatus(nullptr, password, &limit, &counter, &locked), READER_NO_USER);
  EXPECT_EQ(AddUserCountStatus("", 1, &counter), READER_NO_USER);
  EXPECT_EQ(AddUserCountStatus("lena", -1, &counter), READER_NO_USER);
  EXPECT_EQ(Get("lena").counter, 42);

  // Statements that fail are failures, though the connection stays open.
  RawExecute("DROP TABLE UsersTable");
  EXPECT_EQ(GetUserInfoStatus("lena", password, &limit, &counter, &locked), READER_FAILED);
  EXPECT_EQ(AddUserCountStatus("lena", 1, &counter), READER_FAILED);
  EXPECT_FALSE(GetUserInfo("lena", password, &limit, &counter, &locked));
  EXPECT_FALSE(AddUserCount("lena", 1, &counter));
}

// What threads saw while adding 1 to one user's counter, each call as it returned.
struct Counted {
  std::vector<std::int64_t> counters;
  std::vector<std::int32_t> failures;  // every status but READER_OK
};

Counted AddFromThreads(const char* name, int threads, int rounds) {
  Counted counted;
  std::mutex mutex;
  std::latch start(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < rounds; ++i) {
        char password[tarvo::kUserPasswordSize];
        std::int64_t limit = 0;
        std::int64_t counter = 0;
        std::uint8_t locked = 0;
        std::int32_t read = GetUserInfoStatus(name, password, &limit, &counter, &locked);
        std::int32_t added = AddUserCountStatus(name, 1, &counter);
        std::lock_guard<std::mutex> lock(mutex);
        if (read != READER_OK) counted.failures.push_back(read);
        if (added != READER_OK) counted.failures.push_back(added);
        if (added == READER_OK) counted.counters.push_back(counter);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  return counted;
}

// Every addition counted once, and each call read back its own sum: from + 1 ... from + n in
// some order.
void ExpectEachAdditionCountedOnce(Counted counted, std::int64_t from, std::int64_t n) {
  EXPECT_TRUE(counted.failures.empty()) << counted.failures.size() << " calls failed";
  std::sort(counted.counters.begin(), counted.counters.end());
  ASSERT_EQ(counted.counters.size(), static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) ASSERT_EQ(counted.counters[i], from + i + 1);
}

TEST_F(UserStoreTest, ThreadsAddingToOneCounterLoseNoCount) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 40;
  ASSERT_TRUE(InitReader());
  ASSERT_TRUE(SetUserInfo("Max", "m-pass", 0, 0));
  ExpectEachAdditionCountedOnce(AddFromThreads("max", kThreads, kRounds), 0, kThreads * kRounds);
  EXPECT_EQ(Get("MAX").counter, kThreads * kRounds);
}

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A page of users as the store orders and searches it: LIKE's own characters in a search are
// plain characters, letter case does not matter, and the total counts every match.
void ExpectUserPages() {
  ASSERT_TRUE(InitReader());
  for (const char* name : {"Ann_1", "ann%2", "annX3", "Bob", "carl"}) {
    ASSERT_TRUE(SetUserInfo(name, "p", 0, 0));
  }
  std::int64_t counter = 0;
  ASSERT_TRUE(AddUserCount("bob", 30, &counter));
  ASSERT_TRUE(AddUserCount("carl", 20, &counter));
  using Page = std::vector<std::string>;
  const auto page = [](const char* search, std::int32_t sort, bool descending, std::int64_t offset,
                       std::int64_t limit, Page& names) {
    names.clear();
    return VisitUserPage(search, sort, descending ? 1 : 0, offset, limit,
                         [](void* context, const char* name, std::int64_t, std::int64_t,
                            std::uint8_t) { static_cast<Page*>(context)->push_back(name); },
                         &names);
  };
  Page names;
  EXPECT_EQ(page("ANN", 0, false, 1, 10, names), 3);
  EXPECT_EQ(names.size(), 2u);
  EXPECT_EQ(page("", 0, false, 3, 10, names), 5);
  EXPECT_EQ(names, (Page{"Bob", "carl"}));
  EXPECT_EQ(page("_", 0, false, 0, 10, names), 1);
  EXPECT_EQ(names, Page{"Ann_1"});
  EXPECT_EQ(page("%", 0, false, 0, 10, names), 1);
  EXPECT_EQ(page("", 2, true, 0, 2, names), 5);  // by counter, largest first
  EXPECT_EQ(names, (Page{"Bob", "carl"}));
  EXPECT_EQ(page("", 2, false, 0, 3, names), 5);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Bob"), 0);
  EXPECT_EQ(page("", 9, false, 0, 2, names), -1);
}

// The API's tokens: one per name, found by hash alone, gone once removed.
void ExpectApiTokens() {
  ASSERT_TRUE(InitReader());
  ApiTokenRow row{};
  std::snprintf(row.name, sizeof row.name, "panel");
  std::snprintf(row.role, sizeof row.role, "operator");
  std::snprintf(row.hash, sizeof row.hash, "%064d", 1);
  row.created = 1700000000;
  EXPECT_EQ(AddApiToken(&row), READER_OK);
  std::snprintf(row.hash, sizeof row.hash, "%064d", 2);
  EXPECT_EQ(AddApiToken(&row), READER_NO_USER);  // the name is taken
  ApiTokenRow found{};
  EXPECT_EQ(FindApiToken(row.hash, &found), READER_NO_USER);
  std::snprintf(row.hash, sizeof row.hash, "%064d", 1);
  ASSERT_EQ(FindApiToken(row.hash, &found), READER_OK);
  EXPECT_STREQ(found.name, "panel");
  EXPECT_STREQ(found.role, "operator");
  EXPECT_EQ(found.created, 1700000000);
  std::vector<std::string> names;
  EXPECT_TRUE(VisitApiTokens(&names, [](void* context, const ApiTokenRow* token) {
    static_cast<std::vector<std::string>*>(context)->push_back(token->name);
  }));
  EXPECT_EQ(names, std::vector<std::string>{"panel"});
  EXPECT_EQ(RemoveApiToken("panel"), READER_OK);
  EXPECT_EQ(RemoveApiToken("panel"), READER_NO_USER);
  EXPECT_EQ(FindApiToken(row.hash, &found), READER_NO_USER);
}

TEST_F(UserStoreTest, ApiTokensAreKeptByName) { ExpectApiTokens(); }

TEST_F(PostgresUserStoreTest, ApiTokensAreKeptByName) {
  ExpectPassesInChild([] { ExpectApiTokens(); });
}

TEST_F(UserStoreTest, PagesOfUsersAreSearchedAndOrderedByTheStore) { ExpectUserPages(); }

TEST_F(PostgresUserStoreTest, PagesOfUsersAreSearchedAndOrderedByTheStore) {
  ExpectPassesInChild([] { ExpectUserPages(); });
}

TEST_F(PostgresUserStoreTest, AStoppedServerIsAFailureAndNotAMissingUser) {
  ExpectPassesInChild([&] {
    ASSERT_TRUE(InitReader());
    ASSERT_TRUE(SetUserInfo("Mia", "m-pass", 7, 0));
    char password[tarvo::kUserPasswordSize];
    std::int64_t limit = 0;
    std::int64_t counter = 0;
    std::uint8_t locked = 0;
    ASSERT_EQ(GetUserInfoStatus("mia", password, &limit, &counter, &locked), READER_OK);
    EXPECT_EQ(limit, 7);
    EXPECT_EQ(GetUserInfoStatus("nobody", password, &limit, &counter, &locked), READER_NO_USER);
    EXPECT_EQ(AddUserCountStatus("nobody", 1, &counter), READER_NO_USER);

    cluster_.Stop();
    EXPECT_EQ(GetUserInfoStatus("mia", password, &limit, &counter, &locked), READER_FAILED);
    EXPECT_EQ(AddUserCountStatus("mia", 1, &counter), READER_FAILED);
    EXPECT_EQ(GetUserInfoStatus("nobody", password, &limit, &counter, &locked), READER_FAILED);

    // The connection that broke is replaced on the first call once the server is back.
    ASSERT_TRUE(cluster_.Restart()) << cluster_.error();
    EXPECT_EQ(GetUserInfoStatus("mia", password, &limit, &counter, &locked), READER_OK);
    ASSERT_EQ(AddUserCountStatus("mia", 3, &counter), READER_OK);
    EXPECT_EQ(counter, 3);
    EXPECT_EQ(GetUserInfoStatus("nobody", password, &limit, &counter, &locked), READER_NO_USER);
  });
}

TEST_F(PostgresUserStoreTest, CallsFromThreadsRunAtOnceOnBoundedConnections) {
  ExpectPassesInChild([&] {
    ASSERT_TRUE(InitReader());
    ASSERT_TRUE(SetUserInfo("Nina", "n-pass", 0, 0));
    ASSERT_TRUE(SetUserInfo("Olga", "o-pass", 0, 0));

    // psql holds a lock on nina's row; an addition to her counter waits for it.
    std::string holder = PostgresCluster::BinaryDirectory() +
                         "/psql -X -q -h 127.0.0.1 -U postgres -d VPNdb -p " +
                         std::to_string(cluster_.port()) +
                         " -c \"BEGIN; SELECT 1 FROM UsersTable WHERE name_key = 'nina' FOR UPDATE;"
                         " SELECT pg_sleep(120)\" >/dev/null 2>&1";
    FILE* psql = popen(holder.c_str(), "r");
    ASSERT_NE(psql, nullptr);
    const std::string sleeping =
        "SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'";
    ASSERT_TRUE(WaitFor([&] { return Query(sleeping) == "1"; }));
    std::atomic<bool> blockedDone{false};
    std::int32_t blockedStatus = -1;
    std::int64_t blockedCounter = -1;
    std::thread blocked([&] {
      blockedStatus = AddUserCountStatus("nina", 5, &blockedCounter);
      blockedDone = true;
    });
    EXPECT_TRUE(WaitFor([&] {
      return Query("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'") == "1";
    }));

    // Calls for another user, and reads of hers, do not wait behind the blocked one.
    char password[tarvo::kUserPasswordSize];
    std::int64_t limit = 0;
    std::int64_t counter = 0;
    std::uint8_t locked = 0;
    EXPECT_EQ(GetUserInfoStatus("olga", password, &limit, &counter, &locked), READER_OK);
    EXPECT_EQ(AddUserCountStatus("olga", 1, &counter), READER_OK);
    EXPECT_EQ(GetUserInfoStatus("nina", password, &limit, &counter, &locked), READER_OK);
    EXPECT_EQ(counter, 0);
    EXPECT_FALSE(blockedDone);

    Query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE wait_event = 'PgSleep'");
    blocked.join();
    pclose(psql);
    EXPECT_EQ(blockedStatus, READER_OK);
    EXPECT_EQ(blockedCounter, 5);

    // More threads than connections: all served, none lost, no more connections open than
    // the store's bound.
    const int kThreads = ReaderConnectionLimit() + 4;
    constexpr int kRounds = 20;
    ExpectEachAdditionCountedOnce(AddFromThreads("olga", kThreads, kRounds), 1, kThreads * kRounds);
    int connections =
        std::stoi(Query("SELECT count(*) FROM pg_stat_activity WHERE datname = 'VPNdb' AND "
                        "application_name <> 'psql'"));
    EXPECT_GE(connections, 2);
    EXPECT_LE(connections, ReaderConnectionLimit());
  });
}

}  // namespace
