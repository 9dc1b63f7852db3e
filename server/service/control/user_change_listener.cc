#include "server/service/control/user_change_listener.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "external/reader.h"
#include "external/reader_changes.h"
#include "server/common/user_name.h"
#include "server/service/control/admin_commands.h"
#include "server/service/control/cluster_channels.h"
#include "server/service/session/session_list.h"
#include "server/service/session/user_socket.h"
#include "server/service/store/user_copies.h"

namespace tarvo {
namespace {

// A lost connection to the store is made again after this long.
constexpr int kReconnectDelayMs = 5000;

struct Listener {
  std::string conninfo;
  int stopPipe[2] = {-1, -1};
  std::thread thread;
};

Listener* TheListener = nullptr;

bool HasSessionOf(const std::string& name) EXCLUDES(NetworkLock) {
  MutexLock lock(NetworkLock);
  for (UserSocket* session : Sessions()) {
    if (SameUserName(session->userName(), name)) return true;
  }
  return false;
}

// The change of one user, as the store now has it, applied to this daemon's sessions of them.
void ApplyChange(const std::string& name) {
  if (!HasSessionOf(name)) return;
  char password[257] = {};
  std::int64_t limit = 0, counter = 0;
  std::uint8_t locked = 0;
  const std::int32_t status = FindUserStatus(name.c_str(), password, &limit, &counter, &locked);
  explicit_bzero(password, sizeof password);
  if (status == READER_NO_USER || (status == READER_OK && locked != 0)) {
    EndSessionsOf(name.c_str());
  } else if (status == READER_OK) {
    RefreshUserCopyNow(name);
  }
}

// After a reconnection announcements may have been missed: every user with a session here is
// read again.
void ApplyToEveryone() {
  std::set<std::string> names;
  {
    MutexLock lock(NetworkLock);
    for (UserSocket* session : Sessions()) {
      if (!session->userName().empty()) names.insert(FoldUserName(session->userName()));
    }
  }
  for (const std::string& name : names) ApplyChange(name);
}

// Sleeps until stopped or timeoutMs passed (-1: until stopped) or fd is readable, or (with a
// connection) notes wait to be sent. True when told to stop.
bool Wait(const Listener& listener, int fd, int timeoutMs) {
  std::array<pollfd, 3> fds{{{listener.stopPipe[0], POLLIN, 0},
                             {fd, POLLIN, 0},
                             {ClusterOutboxFd(), POLLIN, 0}}};
  ::poll(fds.data(), fd >= 0 ? 3 : 1, timeoutMs);
  return (fds[0].revents & POLLIN) != 0;
}

// Listens on one connection until it breaks (false) or the listener is stopped (true).
bool ListenOn(Listener& listener, PGconn* connection) {
  std::vector<std::string> channels = ClusterChannels();
  channels.push_back(kUserChangeChannel);
  for (const std::string& channel : channels) {
    PGresult* result = PQexec(connection, ("LISTEN " + channel).c_str());
    const bool listening = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    if (!listening) return false;
  }
  const int self = PQbackendPID(connection);
  for (;;) {
    if (Wait(listener, PQsocket(connection), -1)) return true;
    if (!SendClusterOutbox(connection) || PQconsumeInput(connection) == 0) return false;
    while (PGnotify* note = PQnotifies(connection)) {
      const std::string channel = note->relname, payload = note->extra;
      const int sender = note->be_pid;
      PQfreemem(note);
      if (channel == kUserChangeChannel) {
        ApplyChange(payload);
      } else if (sender != self) {
        DispatchClusterNote(channel, payload, sender);
      }
    }
  }
}

void Run(Listener& listener) {
  bool missed = false;
  for (;;) {
    PGconn* connection = PQconnectdb(listener.conninfo.c_str());
    if (PQstatus(connection) == CONNECTION_OK) {
      if (missed) ApplyToEveryone();
      if (ListenOn(listener, connection)) {
        PQfinish(connection);
        return;
      }
      std::fprintf(stderr, "TarvoServer: the store's change announcements were cut; "
                           "listening again\n");
    }
    PQfinish(connection);
    missed = true;
    if (Wait(listener, -1, kReconnectDelayMs)) return;
  }
}

}  // namespace

void StartUserChangeListener() {
  char conninfo[1024];
  if (TheListener != nullptr || !ReaderChangeListenerConninfo(conninfo, sizeof conninfo)) return;
  auto* listener = new Listener;
  // A connection that cannot be made must not hold up the stop for long.
  listener->conninfo = std::string(conninfo) + " connect_timeout=5";
  explicit_bzero(conninfo, sizeof conninfo);
  if (::pipe2(listener->stopPipe, O_CLOEXEC) != 0) {
    delete listener;
    return;
  }
  TheListener = listener;
  MarkClusterListening();
  listener->thread = std::thread([listener] { Run(*listener); });
}

void StopUserChangeListener() {
  if (TheListener == nullptr) return;
  const char stop = 1;
  [[maybe_unused]] const ssize_t wrote = ::write(TheListener->stopPipe[1], &stop, 1);
  TheListener->thread.join();
  ::close(TheListener->stopPipe[0]);
  ::close(TheListener->stopPipe[1]);
  explicit_bzero(TheListener->conninfo.data(), TheListener->conninfo.size());
  delete TheListener;
  TheListener = nullptr;
}

}  // namespace tarvo
