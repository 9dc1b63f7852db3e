#include "server/service/policy/cluster_sessions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/home.h"
#include "server/common/random_hex.h"
#include "server/common/user_name.h"
#include "server/service/base/diagnostics.h"
#include "server/service/base/settings.h"
#include "server/service/store/store_workers.h"

namespace tarvo {
namespace {

constexpr std::int32_t kShortestDeadAfter = 2;      // seconds
constexpr std::int32_t kLongestDeadAfter = 3600;

struct Cluster {
  bool shared = false;
  bool stopping = false;
  std::string id;
  std::int64_t nextSeq = 1;
  std::vector<std::int64_t> ended;    // waiting for the next heartbeat
  std::vector<ClusterSession> added;  // likewise
  bool syncing = false;               // a heartbeat is with the store
  bool batchDue = false;              // the beat is armed a batch delay away, or nearer
  NetworkTimer beat;
  std::unordered_map<std::string, std::size_t> claiming;  // folded name: claims out
};

// Never destroyed: sessions may end after the end of main.
Cluster& TheCluster() {
  static auto* cluster = new Cluster;
  return *cluster;
}

std::int64_t AliveMs() REQUIRES(NetworkLock) {
  return std::int64_t{1000} *
         std::clamp(ServerSettings.DaemonDeadAfter, kShortestDeadAfter, kLongestDeadAfter);
}

// 32 hex digits from the kernel's generator; empty when none can be had.
std::string RandomId() { return RandomHex(16); }

bool UsableId(const std::string& id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The id in the home's id file, made on first start. A home that cannot keep it gets an id for
// this run: the rows a previous run left then expire as a dead daemon's do.
std::string DaemonId() {
  std::string path;
  if (!HomeFilePath(kDaemonIdFile, path)) return RandomId();
  char text[64] = {};
  if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::string id(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    if (UsableId(id)) return id;
  }
  const std::string id = RandomId();
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return id;
  const std::string line = id + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
  return id;
}

void ArmBeat(std::chrono::milliseconds delay) REQUIRES(NetworkLock);

// One heartbeat with whatever began or ended since the last.
void Beat() REQUIRES(NetworkLock) {
  Cluster& cluster = TheCluster();
  cluster.batchDue = false;
  if (cluster.syncing || cluster.stopping) return;
  cluster.syncing = true;
  struct Sync {
    std::string id, name;
    std::int64_t aliveMs = 0;
    std::vector<std::int64_t> ended;
    std::vector<ClusterSession> added;
    std::int32_t status = READER_FAILED;
  };
  auto sync = std::make_shared<Sync>();
  sync->id = cluster.id;
  sync->name = ClusterDaemonName();
  sync->aliveMs = AliveMs();
  sync->ended.swap(cluster.ended);
  sync->added.swap(cluster.added);
  RunOnStore(
      [sync] {
        sync->status = ClusterSync(sync->id.c_str(), sync->name.c_str(), sync->aliveMs,
                                   sync->ended.data(), static_cast<std::int32_t>(sync->ended.size()),
                                   sync->added.data(), static_cast<std::int32_t>(sync->added.size()));
      },
      [sync]() REQUIRES(NetworkLock) {
        Cluster& after = TheCluster();
        after.syncing = false;
        if (sync->status != READER_OK) {
          // Sent again with the next beat. A session added and ended meanwhile is neither.
          for (const ClusterSession& session : sync->added) {
            auto gone = std::find(after.ended.begin(), after.ended.end(), session.seq);
            if (gone != after.ended.end()) {
              after.ended.erase(gone);
            } else {
              after.added.push_back(session);
            }
          }
          after.ended.insert(after.ended.end(), sync->ended.begin(), sync->ended.end());
        }
        if (after.stopping) return;
        after.batchDue = !after.ended.empty() || !after.added.empty();
        ArmBeat(after.batchDue ? kClusterBatchDelay : std::chrono::milliseconds(AliveMs() / 3));
      });
}

void ArmBeat(std::chrono::milliseconds delay) {
  TheCluster().beat.arm(delay, []() REQUIRES(NetworkLock) { Beat(); });
}

// Something changed: it goes with the next beat, at most a batch delay away.
void SoonBeat() REQUIRES(NetworkLock) {
  Cluster& cluster = TheCluster();
  // Not put off again by each change: a busy daemon still beats.
  if (cluster.syncing || cluster.stopping || cluster.batchDue) return;  // the answer arms the next
  cluster.batchDue = true;
  ArmBeat(kClusterBatchDelay);
}

}  // namespace

void StartClusterSessions() {
  if (!ReaderClusterShared()) return;
  const std::string id = DaemonId();
  std::string name;
  std::int64_t aliveMs;
  {
    MutexLock lock(NetworkLock);
    name = ClusterDaemonName();
    aliveMs = AliveMs();
  }
  if (id.empty() || ClusterDaemonStarted(id.c_str(), name.c_str(), aliveMs) != READER_OK) {
    // Sessions here then count only here until a restart.
    std::fprintf(stderr, "TarvoServer: this daemon could not join the store's daemon table; "
                         "session caps hold on this daemon only\n");
    return;
  }
  MutexLock lock(NetworkLock);
  Cluster& cluster = TheCluster();
  cluster.id = id;
  cluster.shared = true;
  ArmBeat(std::chrono::milliseconds(aliveMs / 3));
  Diagnose("daemon %s (%s) shares the store; taken for dead %lld s after its last heartbeat",
           id.c_str(), name.c_str(), static_cast<long long>(aliveMs / 1000));
}

void StopClusterSessions() {
  MutexLock lock(NetworkLock);
  Cluster& cluster = TheCluster();
  if (!cluster.shared) return;
  cluster.stopping = true;
  cluster.beat.cancel();
  // On a worker, so that a hanging store holds up the stop no longer than the last counts'
  // bounded wait (FlushFinalCounts). A heartbeat still with the store may bring the daemon
  // back: it then expires as a dead one does.
  RunOnStore([id = cluster.id] { ClusterDaemonStopped(id.c_str()); }, [] {});
}

bool ClusterShared() { return TheCluster().shared && !TheCluster().stopping; }

std::string ClusterDaemonName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return std::string(host) + ":" + std::to_string(ServerSettings.ServerPort & 0xFFFF);
}

void ClusterClaim::run() {
  status = ClusterClaimSession(daemonId.c_str(), &session, cap, here, &granted);
}

std::size_t PendingClaims(const std::string& name) {
  const auto& claiming = TheCluster().claiming;
  auto found = claiming.find(FoldUserName(name));
  return found == claiming.end() ? 0 : found->second;
}

std::shared_ptr<ClusterClaim> BeginClaim(const ClusterSession& session, std::int32_t cap,
                                         std::int32_t here) {
  Cluster& cluster = TheCluster();
  auto claim = std::make_shared<ClusterClaim>();
  claim->session = session;
  claim->session.seq = cluster.nextSeq++;
  claim->cap = cap;
  claim->here = here;
  claim->daemonId = cluster.id;
  claim->key = FoldUserName(session.name);
  ++cluster.claiming[claim->key];
  return claim;
}

std::int64_t ClaimAnswered(const ClusterClaim& claim, bool taken) {
  Cluster& cluster = TheCluster();
  if (auto found = cluster.claiming.find(claim.key);
      found != cluster.claiming.end() && --found->second == 0) {
    cluster.claiming.erase(found);
  }
  if (claim.status != READER_OK || claim.granted == 0) return 0;
  if (taken) return claim.session.seq;
  ClusterSessionEnded(claim.session.seq);
  return 0;
}

std::int64_t ClusterSessionOpened(ClusterSession session) {
  Cluster& cluster = TheCluster();
  if (!ClusterShared()) return 0;
  session.seq = cluster.nextSeq++;
  cluster.added.push_back(session);
  SoonBeat();
  return session.seq;
}

void ClusterSessionEnded(std::int64_t seq) {
  Cluster& cluster = TheCluster();
  if (seq == 0 || !ClusterShared()) return;
  // Never sent: nothing to drop.
  auto unsent = std::find_if(cluster.added.begin(), cluster.added.end(),
                             [seq](const ClusterSession& session) { return session.seq == seq; });
  if (unsent != cluster.added.end()) {
    cluster.added.erase(unsent);
    return;
  }
  cluster.ended.push_back(seq);
  SoonBeat();
}

}  // namespace tarvo
