// Every daemon's sessions, as the shared store's session table has them.
#include <algorithm>
#include <cstring>

#include "external/reader_cluster.h"
#include "server/common/user_name.h"
#include "server/service/control/admin_commands.h"
#include "server/service/policy/cluster_sessions.h"
#include "server/service/session/session_list.h"
#include "server/service/session/user_socket.h"

namespace tarvo {
namespace {

void CopyField(const std::string& text, char* field, std::size_t size) {
  const std::size_t length = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

void AddStored(void* context, const char* daemonName, const ClusterSession* session) {
  auto& sessions = *static_cast<std::vector<DaemonSessionInfo>*>(context);
  if (sessions.size() == kMaxReplyDaemonSessions) return;
  DaemonSessionInfo& info = sessions.emplace_back();
  CopyField(std::string(session->name, strnlen(session->name, sizeof session->name)), info.name,
            sizeof info.name);
  CopyField(daemonName, info.daemon, sizeof info.daemon);
  info.protocol = session->protocol;
  info.address = session->address;
  info.sessionId = session->sessionId;
}

}  // namespace

bool ListAllSessions(std::vector<DaemonSessionInfo>& sessions) {
  sessions.clear();
  bool shared;
  {
    MutexLock lock(NetworkLock);
    shared = ClusterShared();
    if (!shared) {
      const std::string daemon = ClusterDaemonName();
      for (const UserSocket* session : Sessions()) {
        if (sessions.size() == kMaxReplyDaemonSessions) break;
        DaemonSessionInfo& info = sessions.emplace_back();
        CopyField(session->userName(), info.name, sizeof info.name);
        CopyField(daemon, info.daemon, sizeof info.daemon);
        info.protocol = session->v2() != nullptr ? kSessionProtocolV2 : 0;
        info.address = session->peerAddress();
        info.sessionId = session->sessionId();
      }
    }
  }
  // The store is asked without the network lock. This daemon's newest sessions may still wait
  // for their heartbeat (at most kClusterBatchDelay).
  return !shared || VisitClusterSessions(AddStored, &sessions) >= 0;
}

std::uint32_t ListAllSessionsCmd(std::span<std::uint8_t> reply, std::uint32_t& count) {
  count = 0;
  std::vector<DaemonSessionInfo> sessions;
  if (!ListAllSessions(sessions)) return CTL_FAILED;
  const std::size_t fits = std::min(sessions.size(), reply.size() / sizeof(DaemonSessionInfo));
  if (fits != 0) std::memcpy(reply.data(), sessions.data(), fits * sizeof(DaemonSessionInfo));
  count = static_cast<std::uint32_t>(fits);
  return CTL_OK;
}

std::string DaemonOfSession(const UserInfo& r) {
  std::vector<DaemonSessionInfo> sessions;
  {
    MutexLock lock(NetworkLock);
    if (!ClusterShared()) return {};
  }
  if (!ListAllSessions(sessions)) return {};
  std::string own;
  {
    MutexLock lock(NetworkLock);
    own = ClusterDaemonName();
  }
  const std::string_view name(r.name, strnlen(r.name, sizeof r.name));
  for (const DaemonSessionInfo& session : sessions) {
    if (session.address == r.address && session.sessionId == r.sessionId &&
        SameUserName(session.name, name) && own != session.daemon) {
      return session.daemon;
    }
  }
  return {};
}

}  // namespace tarvo
