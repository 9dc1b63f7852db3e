#include "server/service/name_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
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
#include "server/service/socket.h"
#include "server/service/user_socket.h"

namespace tarvo {

namespace {

// steady_clock is CLOCK_MONOTONIC, the clock the timer runs on.
using Clock = std::chrono::steady_clock;

struct Job {
  std::uint64_t token = 0;
  Clock::time_point due;
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
  std::multimap<Clock::time_point, Answer> due;
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

// Fires when the earliest waiting answer is due; lives in the socket list like any socket, so
// the network loop watches it without a timer facility of its own.
class ResolverTimer : public Socket {
 public:
  ResolverTimer()
      : Socket(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), nullptr) {}
  ~ResolverTimer() override;

  bool wantRead() override { return true; }
  bool wantWrite() override { return false; }
  bool wantExcept() override { return false; }
  bool onRead() override {
    std::uint64_t expirations;
    while (::read(handle_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    DeliverDueAnswers();
    return true;
  }
  bool onWrite() override { return true; }
  bool onExcept() override { return true; }

  // Arms for an absolute time; a time already past fires at once.
  void arm(Clock::time_point when) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    itimerspec spec{};
    spec.it_value.tv_sec = ns / 1'000'000'000;
    spec.it_value.tv_nsec = ns % 1'000'000'000;
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    ::timerfd_settime(handle_, TFD_TIMER_ABSTIME, &spec, nullptr);
  }
  void disarm() {
    itimerspec spec{};
    ::timerfd_settime(handle_, 0, &spec, nullptr);
  }
};

ResolverTimer* Timer = nullptr;  // guarded by the network lock

ResolverTimer::~ResolverTimer() {
  if (Timer == this) Timer = nullptr;
}

void Rearm() {
  if (Timer == nullptr) return;
  const Registry& registry = TheRegistry();
  if (registry.due.empty()) {
    Timer->disarm();
  } else {
    Timer->arm(registry.due.begin()->first);
  }
}

void DeliverDueAnswers() {
  Registry& registry = TheRegistry();
  const Clock::time_point now = Clock::now();
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
  if (Timer == nullptr) {
    Timer = new ResolverTimer();  // a socket of its own, in the socket list
    if (Timer->handle() == kNoHandle) {
      delete Timer;  // no descriptor to be had: these names get no answer
      return;
    }
  }
  std::uint64_t& token = session.relays.resolverToken;
  if (token == 0) token = registry.nextToken++;
  Registry::Entry& entry =
      registry.sessions.try_emplace(token, Registry::Entry{&session, 0}).first->second;

  Job job{token, Clock::now() + kResolveAnswerDelay, {}};
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
