#include "tests/postgres_store.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "external/reader.h"
#include "tests/loopback_servers.h"
#include "tests/tarvo_daemon_fixture.h"

namespace tarvo::test {

std::string StoreOn(int port) {
  return "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(port) +
         ";Database=VPNdb;Username=postgres";
}

// The users are made through the store library in a child process (the ODBC driver keeps
// allocations to the end of a process, which a child ends without a leak report), their
// passwords in plain text, as a sealed one opens only with the daemon's key.
std::string StartStore(PostgresCluster& cluster, const std::vector<StoreUser>& users) {
  if (!cluster.Start()) return cluster.error();
  if (!cluster.Psql("postgres", "CREATE DATABASE \"VPNdb\"")) return "no database";
  const pid_t child = ::fork();
  if (child < 0) return "no child";
  if (child == 0) {
    ::setenv("TARVO_STORE", StoreOn(cluster.port()).c_str(), 1);
    bool made = InitReader();
    for (const StoreUser& user : users) {
      made = made && SetUserInfo(user.name.c_str(), user.password.c_str(), user.limit, 0);
    }
    ::_exit(made ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "the users could not be made";
  }
  return {};
}

std::int64_t StoredCounter(PostgresCluster& cluster, const std::string& name) {
  std::string out;
  if (!cluster.Psql("VPNdb", "SELECT user_counter FROM UsersTable WHERE user_name = '" + name + "'",
                    &out) ||
      out.empty()) {
    return -1;
  }
  return std::stoll(out);
}

std::string EchoThrough(client::DataConnection& relay, std::size_t offset, std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = PatternByte(offset + i);
  if (relay.send(bytes) != client::ClientStatus::kOk) return "send failed";
  ByteBuffer back;
  for (int reads = 0; back.size() < count && reads < 10'000; ++reads) {
    const client::ClientStatus status = relay.receive(back, kIoTimeoutMs);
    if (status != client::ClientStatus::kOk) {
      return std::string("receive: ") + client::ToString(status);
    }
  }
  if (back.size() != count) return "got " + std::to_string(back.size()) + " bytes";
  for (std::size_t i = 0; i < count; ++i) {
    if (back.data()[i] != bytes[i]) return "altered at " + std::to_string(offset + i);
  }
  return {};
}

}  // namespace tarvo::test
