#include "server/service/name_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "server/common/session_protocol.h"
#include "server/service/network_loop.h"
#include "server/service/user_socket.h"

namespace tarvo {

namespace {

struct Job {
  std::uint64_t token = 0;
  NetworkTime due;
  std::vector<std::string> names;
};

struct Answer {
  std::uint64_t token;
  std::uint32_t address;  // network order
  std::string name;
};

// Sessions that have asked for look-ups and what waits for them. Guarded by the network lock.
struct Registry {
  struct Entry {
    UserSocket* session;
    std::size_t pending;  // names queued, being looked up, or waiting for their time
  };
  std::unordered_map<std::uint64_t, Entry> sessions;
  std::uint64_t nextToken = 1;
  std::size_t pendingInAll = 0;  // the same over all sessions, cancelled ones still in workers
  std::multimap<NetworkTime, Answer> due;
};

// Work for the threads. Its mutex is taken after the network lock, never the other way round.
struct JobQueue {
  std::mutex mutex;
  std::deque<Job> jobs;
  std::size_t workers = 0;
};

// Never destroyed: a worker still inside getaddrinfo while the process exits must find them.
Registry& TheRegistry() {
  static auto* registry = new Registry;
  return *registry;
}

JobQueue& TheJobQueue() {
  static auto* queue = new JobQueue;
  return *queue;
}

void DeliverDueAnswers();

// Fires when the earliest waiting answer is due. Guarded by the network lock.
NetworkTimer& AnswerTimer() {
  static auto* timer = new NetworkTimer;  // never destroyed, like the registry
  return *timer;
}

void Rearm() {
  const Registry& registry = TheRegistry();
  if (registry.due.empty()) {
    AnswerTimer().cancel();
  } else {
    AnswerTimer().armAt(registry.due.begin()->first, DeliverDueAnswers);
  }
}

void DeliverDueAnswers() {
  Registry& registry = TheRegistry();
  const NetworkTime now = NetworkNow();
  static thread_local ByteBuffer frame;
  while (!registry.due.empty() && registry.due.begin()->first <= now) {
    Answer answer = std::move(registry.due.begin()->second);
    registry.due.erase(registry.due.begin());
    --registry.pendingInAll;
    auto found = registry.sessions.find(answer.token);
    if (found == registry.sessions.end()) continue;
    --found->second.pending;
    UserSocket* session = found->second.session;
    if (session->encryptor() == nullptr) continue;
    frame.clear();
    AppendResolveAnswer(frame, *session->encryptor(), answer.address, answer.name);
    session->queueOutput(frame.view());
  }
  Rearm();
}

// The first IPv4 address of name, network order.
bool LookUp(const std::string& name, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return false;
  }
  address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(result);
  return true;
}

// Holds the answers of a finished job until they are due; drops the rest.
void FinishJob(Job& job, const std::vector<std::pair<bool, std::uint32_t>>& results) {
  Registry& registry = TheRegistry();
  auto found = registry.sessions.find(job.token);
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    if (found != registry.sessions.end() && results[i].first) {
      registry.due.emplace(job.due, Answer{job.token, results[i].second, std::move(job.names[i])});
      continue;
    }
    --registry.pendingInAll;
    if (found != registry.sessions.end()) --found->second.pending;
  }
  Rearm();
}

// Takes jobs until none is left, then ends.
void Worker() {
  JobQueue& queue = TheJobQueue();
  for (;;) {
    Job job;
    {
      std::lock_guard lock(queue.mutex);
      if (queue.jobs.empty()) {
        --queue.workers;
        return;
      }
      job = std::move(queue.jobs.front());
      queue.jobs.pop_front();
    }
    std::vector<std::pair<bool, std::uint32_t>> results(job.names.size(), {false, 0});
    for (std::size_t i = 0; i < job.names.size(); ++i) {
      results[i].first = LookUp(job.names[i], results[i].second);
    }
    std::lock_guard lock(NetworkLock);
    FinishJob(job, results);
  }
}

}  // namespace

void RequestLookups(UserSocket& session, std::vector<std::string> names) {
  Registry& registry = TheRegistry();
  std::uint64_t& token = session.relays.resolverToken;
  if (token == 0) token = registry.nextToken++;
  Registry::Entry& entry =
      registry.sessions.try_emplace(token, Registry::Entry{&session, 0}).first->second;

  Job job{token, NetworkNow() + kResolveAnswerDelay, {}};
  for (std::string& name : names) {
    if (name.empty() || name.size() > kMaxHostNameLength) continue;
    if (entry.pending >= kMaxPendingNamesPerSession ||
        registry.pendingInAll >= kMaxPendingNamesInAll) {
      break;
    }
    job.names.push_back(std::move(name));
    ++entry.pending;
    ++registry.pendingInAll;
  }
  const std::size_t count = job.names.size();
  if (count == 0) return;

  JobQueue& queue = TheJobQueue();
  std::lock_guard lock(queue.mutex);
  queue.jobs.push_back(std::move(job));
  if (queue.workers >= kResolverThreads) return;
  try {
    std::thread(Worker).detach();
    ++queue.workers;
  } catch (const std::system_error&) {
    if (queue.workers != 0) return;  // a running worker will take the job
    queue.jobs.pop_back();
    entry.pending -= count;
    registry.pendingInAll -= count;
  }
}

void CancelLookups(std::uint64_t token) {
  Registry& registry = TheRegistry();
  if (registry.sessions.erase(token) == 0) return;
  for (auto it = registry.due.begin(); it != registry.due.end();) {
    if (it->second.token == token) {
      it = registry.due.erase(it);
      --registry.pendingInAll;
    } else {
      ++it;
    }
  }
  {
    JobQueue& queue = TheJobQueue();
    std::lock_guard lock(queue.mutex);
    for (auto it = queue.jobs.begin(); it != queue.jobs.end();) {
      if (it->token == token) {
        registry.pendingInAll -= it->names.size();
        it = queue.jobs.erase(it);
      } else {
        ++it;
      }
    }
  }
  Rearm();
}

}  // namespace tarvo
