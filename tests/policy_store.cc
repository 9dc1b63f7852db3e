#include "tests/policy_store.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "external/reader.h"

namespace tarvo::test {

namespace {

// Runs work in a child with the store's environment; what it writes to the pipe comes back in
// out (at most size bytes). False when the child failed.
bool InChild(const StoreEnv& store, const std::function<bool(int fd)>& work, void* out = nullptr,
             std::size_t size = 0) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return false;
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::close(pipeFds[0]);
    for (const auto& [name, value] : store) {
      if (value.empty()) {
        ::unsetenv(name.c_str());
      } else {
        ::setenv(name.c_str(), value.c_str(), 1);
      }
    }
    ::_exit(InitReader() && work(pipeFds[1]) ? 0 : 1);
  }
  ::close(pipeFds[1]);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(pipeFds[0], static_cast<char*>(out) + got, size - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(pipeFds[0]);
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0 && got == size;
}

}  // namespace

StoreEnv HomeStore(const std::string& home) { return {{"TARVO_HOME", home}, {"TARVO_STORE", ""}}; }

StoreEnv ConnectedStore(const std::string& connection) { return {{"TARVO_STORE", connection}}; }

bool WritePolicy(const StoreEnv& store, const std::string& name, const UserPolicy& policy) {
  return InChild(store, [&](int) { return SetUserPolicyStatus(name.c_str(), &policy) == READER_OK; });
}

bool WriteCounter(const StoreEnv& store, const std::string& name, std::int64_t counter) {
  return InChild(store, [&](int) {
    SetUserCount(name.c_str(), counter);
    return true;
  });
}

std::optional<UserPolicy> ReadPolicy(const StoreEnv& store, const std::string& name) {
  UserPolicy policy{};
  const bool read = InChild(
      store,
      [&](int fd) {
        UserPolicy found{};
        if (GetUserPolicyStatus(name.c_str(), &found) != READER_OK) return false;
        return ::write(fd, &found, sizeof found) == static_cast<ssize_t>(sizeof found);
      },
      &policy, sizeof policy);
  if (!read) return std::nullopt;
  return policy;
}

std::int64_t EpochNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tarvo::test
