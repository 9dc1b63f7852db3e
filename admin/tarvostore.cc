// tarvostore: edits the user store directly, without a running daemon's help. Meant for the first
// user of a fresh install and for scripts; a running daemon sees the change at the next login.
#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "admin/password_input.h"
#include "admin/policy_options.h"
#include "admin/stored_user.h"
#include "external/reader.h"

namespace {

constexpr char kUsageText[] =
    "usage: tarvostore add NAME (--password-file F | --password P | PASSWORD) [LIMIT] "
    "[--encrypt]\n"
    "       tarvostore delete NAME\n"
    "       tarvostore lock NAME | unlock NAME | reset NAME\n"
    "       tarvostore list [--counters]\n"
    "       tarvostore policy NAME [--rate-down R] [--rate-up R] [--period P]\n"
    "                  [--period-from DATE] [--max-sessions N] [--expires DATE|never]\n"
    "                  [--protocol any|v2-only]\n"
    "       tarvostore show NAME [--json]\n"
    "Edits the user store directly; a running daemon sees the change at the next login\n"
    "(policy also at the user's next counter store).\n"
    "  --password-file F   the first line of F is the password; - reads standard input\n"
    "  --password P, PASSWORD\n"
    "                      the password on the command line, which other local users can\n"
    "                      read (ps, /proc) while tarvostore runs: prefer --password-file\n"
    "  LIMIT               traffic limit in bytes, 0 (the default) for none\n"
    "  --encrypt           seal the stored password with the key in tarvostore.key\n"
    "  --rate-down R, --rate-up R\n"
    "                      speed toward / from the client: 20Mbit, 2.5MB/s, 512KiB/s, 1Gbps\n"
    "                      (b bits, B bytes; k M G decimal, Ki Mi Gi binary; a plain number\n"
    "                      is bytes per second); 0 or none for no limit\n"
    "  --period P          none, daily, weekly or monthly: when the counter starts from 0\n"
    "  --period-from DATE  the reset instant the period repeats (YYYY-MM-DD[ HH:MM], local);\n"
    "                      default midnight today, on this Monday, on the 1st\n"
    "  --max-sessions N    simultaneous sessions; 0 or none: as MultiConnect says\n"
    "  --expires DATE      logins from DATE on are refused as for a locked user (local\n"
    "                      midnight, or YYYY-MM-DD HH:MM); never clears it\n"
    "  --protocol P        v2-only: logins over protocol v1 are refused; any: as the daemon\n"
    "  --json              show prints one JSON object\n"
    "  --counters          list also prints each user's down= and up= after counter=\n"
    "                      (counter is their sum, plus what it held before the user's policy)\n"
    "The store is TARVO_STORE (an ODBC connection string), else the data source VPN, else\n"
    "the SQLite file in TARVO_HOME or the directory of this program.\n"
    "Exit status: 0 done, 1 the store refused or cannot be opened, 2 usage.\n";

int Usage() {
  std::fputs(kUsageText, stderr);
  return 2;
}

struct AddOptions {
  std::optional<std::string> password;
  std::int64_t limit = 0;
  std::uint8_t encrypt = 0;
};

bool ParseLimit(const char* text, std::int64_t& limit) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) return false;
  limit = value;
  return true;
}

int Report(bool ok, const char* what, const char* name) {
  if (ok) return 0;
  std::fprintf(stderr, "tarvostore: cannot %s user '%s'\n", what, name);
  return 1;
}

// Scripts read list's lines as they were; the down and up counters come only when asked for.
int List(bool counters) {
  auto users = std::make_unique<tarvo::UserInfo[]>(tarvo::kMaxEnumeratedUsers);
  std::int32_t count = EnumUsers2(users.get());
  auto policies = std::make_unique<UserPolicyEntry[]>(counters ? tarvo::kMaxEnumeratedUsers : 0);
  const std::int32_t policyCount =
      count < 0 ? -1 : (counters ? EnumUserPolicies(policies.get()) : 0);
  if (count < 0 || policyCount < 0) {
    std::fprintf(stderr, "tarvostore: cannot list users\n");
    return 1;
  }
  // Both lists are in name order; a user added between the two reads has no entry yet.
  std::int32_t p = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const tarvo::UserInfo& u = users[i];
    explicit_bzero(users[i].password, sizeof users[i].password);
    std::int32_t match = p;
    while (match < policyCount && strcasecmp(policies[match].name, u.name) != 0) ++match;
    const UserPolicy none{};
    const UserPolicy& policy = match < policyCount ? policies[match].policy : none;
    if (match < policyCount) p = match + 1;
    std::printf("%s\tlimit=%" PRId64 "\tcounter=%" PRId64, u.name, u.limit, u.counter);
    // down and up before the optional lock mark, which stays last.
    if (counters) std::printf("\tdown=%" PRId64 "\tup=%" PRId64, policy.bytesDown, policy.bytesUp);
    std::printf("%s\n", u.locked ? "\tlocked" : "");
  }
  return 0;
}

// policy NAME options...: the change checked whole before it is written.
int Policy(int argc, char** argv) {
  const char* name = argv[2];
  tarvo::adm::PolicyChange change;
  for (int i = 3; i < argc; ++i) {
    if (!tarvo::adm::IsPolicyOption(argv[i]) || i + 1 >= argc) return Usage();
    const std::string problem = tarvo::adm::TakePolicyOption(argv[i], argv[i + 1], change);
    ++i;
    if (!problem.empty()) {
      std::fprintf(stderr, "tarvostore: %s\n", problem.c_str());
      return 2;
    }
  }
  if (change.empty()) return Usage();
  UserPolicy policy{};
  std::int32_t status = GetUserPolicyStatus(name, &policy);
  if (status == READER_OK) {
    const std::string problem = tarvo::adm::ApplyPolicyChange(change, std::time(nullptr), policy);
    if (!problem.empty()) {
      std::fprintf(stderr, "tarvostore: %s\n", problem.c_str());
      return 2;
    }
    status = SetUserPolicyStatus(name, &policy);
  }
  return Report(status == READER_OK, "set the policy of", name);
}

int Show(const char* name, bool json) {
  tarvo::adm::StoredUser user;
  if (tarvo::adm::ReadStoredUser(name, user) != READER_OK) {
    return Report(false, "show", name);
  }
  const std::string text =
      json ? tarvo::adm::StoredUserJson(user).dump() : tarvo::adm::StoredUserText(user);
  std::printf("%s\n", text.c_str());
  return 0;
}

bool IsAddOption(const char* arg) {
  return std::strcmp(arg, "--encrypt") == 0 || std::strcmp(arg, "--password") == 0 ||
         std::strcmp(arg, "--password-file") == 0;
}

// What follows "add NAME": the password given once, in one of three ways, then an optional
// limit. The old form takes the word after NAME as the password whatever it looks like.
bool ParseAdd(int argc, char** argv, AddOptions& options) {
  bool limitGiven = false;
  for (int i = 3; i < argc; ++i) {
    const char* arg = argv[i];
    const bool passwordOption =
        std::strcmp(arg, "--password") == 0 || std::strcmp(arg, "--password-file") == 0;
    if (i == 3 && !IsAddOption(arg)) {
      options.password = arg;
    } else if (std::strcmp(arg, "--encrypt") == 0) {
      options.encrypt = 1;
    } else if (passwordOption) {
      if (options.password || i + 1 >= argc) return false;
      const char* value = argv[++i];
      if (std::strcmp(arg, "--password") == 0) {
        options.password = value;
        continue;
      }
      std::string password;
      if (!tarvo::adm::ReadPasswordFile(value, password)) {
        std::fprintf(stderr, "tarvostore: cannot read the password file %s\n", value);
        return false;
      }
      options.password = std::move(password);
    } else if (limitGiven || !ParseLimit(arg, options.limit)) {
      return false;
    } else {
      limitGiven = true;
    }
  }
  if (options.password && options.password->size() >= tarvo::kUserPasswordSize) {
    std::fprintf(stderr, "tarvostore: the password is longer than 256 characters\n");
    return false;
  }
  return options.password.has_value();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  if (!InitReader()) {
    std::fprintf(stderr, "tarvostore: cannot open the user store\n");
    return 1;
  }
  if (command == "list" && argc == 2) return List(false);
  if (command == "list" && argc == 3 && std::strcmp(argv[2], "--counters") == 0) return List(true);
  if (argc < 3) return Usage();
  const char* name = argv[2];
  if (command == "add") {
    AddOptions options;
    if (!ParseAdd(argc, argv, options)) return Usage();
    const bool added = SetUserInfo(name, options.password->c_str(), options.limit, options.encrypt);
    explicit_bzero(options.password->data(), options.password->size());
    return Report(added, "add", name);
  }
  if (command == "policy") return Policy(argc, argv);
  if (command == "show" && argc == 4 && std::strcmp(argv[3], "--json") == 0) {
    return Show(name, true);
  }
  if (argc != 3) return Usage();
  if (command == "show") return Show(name, false);
  if (command == "delete") return Report(DeleteUser(name), "delete", name);
  if (command == "lock") return Report(LockUser(name, 1), "lock", name);
  if (command == "unlock") return Report(LockUser(name, 0), "unlock", name);
  if (command == "reset") return Report(ResetUser(name), "reset", name);
  return Usage();
}
