// tarvostore: edits the user store directly, without a running daemon's help. Meant for the first
// user of a fresh install and for scripts; a running daemon sees the change at the next login.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "external/reader.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: tarvostore add NAME PASSWORD [LIMIT] [--encrypt]\n"
               "       tarvostore delete NAME\n"
               "       tarvostore lock NAME | unlock NAME | reset NAME\n"
               "       tarvostore list\n");
  return 2;
}

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

int List() {
  auto users = std::make_unique<tarvo::UserInfo[]>(tarvo::kMaxEnumeratedUsers);
  std::int32_t count = EnumUsers2(users.get());
  if (count < 0) {
    std::fprintf(stderr, "tarvostore: cannot list users\n");
    return 1;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    const tarvo::UserInfo& u = users[i];
    std::printf("%s\tlimit=%" PRId64 "\tcounter=%" PRId64 "%s\n", u.name, u.limit, u.counter,
                u.locked ? "\tlocked" : "");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (!InitReader()) {
    std::fprintf(stderr, "tarvostore: cannot open the user store\n");
    return 1;
  }
  if (command == "list" && argc == 2) return List();
  if (argc < 3) return Usage();
  const char* name = argv[2];
  if (command == "add" && argc >= 4) {
    std::int64_t limit = 0;
    std::uint8_t encrypt = 0;
    for (int i = 4; i < argc; ++i) {
      if (std::strcmp(argv[i], "--encrypt") == 0) {
        encrypt = 1;
      } else if (!ParseLimit(argv[i], limit)) {
        return Usage();
      }
    }
    return Report(SetUserInfo(name, argv[3], limit, encrypt), "add", name);
  }
  if (argc != 3) return Usage();
  if (command == "delete") return Report(DeleteUser(name), "delete", name);
  if (command == "lock") return Report(LockUser(name, 1), "lock", name);
  if (command == "unlock") return Report(LockUser(name, 0), "unlock", name);
  if (command == "reset") return Report(ResetUser(name), "reset", name);
  return Usage();
}
