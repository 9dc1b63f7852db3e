#include "server/service/relay/name_resolver.h"

#include <arpa/inet.h>
#include <ares.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "server/common/session_protocol.h"
#include "server/service/net/network_loop.h"
#include "server/service/base/service_counters.h"
#include "server/service/relay/relay_host.h"

namespace tarvo {

namespace {

using Clock = std::chrono::steady_clock;

struct Answer {
  std::uint64_t token;
  std::uint32_t address;  // network order
  std::string name;
};

// Sessions that have asked for look-ups and what waits for them. Guarded by the network lock.
struct Registry {
  struct Entry {
    RelayHost* session;
    std::size_t pending;  // names queued, being looked up, or waiting for their time
  };
  std::unordered_map<std::uint64_t, Entry> sessions;
  std::uint64_t nextToken = 1;
  std::size_t pendingInAll = 0;  // the same over all sessions, cancelled ones still in flight
  std::multimap<NetworkTime, Answer> due;
};

// One name on its way through the resolver thread.
struct Lookup {
  std::uint64_t token = 0;
  NetworkTime due;
  std::string name;
  Clock::time_point asked = Clock::now();  // for the answer-time histogram
  bool found = false;
  std::uint32_t address = 0;  // network order
};

// Names for the resolver thread. Its mutex is taken after the network lock, never the other
// way round.
struct RequestQueue {
  Mutex mutex;
  std::vector<Lookup> names GUARDED_BY(mutex);
  int wakeFd = -1;  // an eventfd the thread waits on; made before the thread starts
  bool running GUARDED_BY(mutex) = false;
};

// Never destroyed: the resolver thread may still run while the process exits.
Registry& TheRegistry() {
  static auto* registry = new Registry;
  return *registry;
}

RequestQueue& TheRequestQueue() {
  static auto* queue = new RequestQueue;
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
    RelayHost* session = found->second.session;
    if (session->encryptor() == nullptr) continue;
    frame.clear();
    AppendResolveAnswer(frame, *session->encryptor(), answer.address, answer.name);
    session->queueOutput(frame.view());
  }
  Rearm();
}

// Holds each found answer until it is due; drops the rest. Network lock held.
void FinishLookups(std::vector<Lookup>& lookups) {
  Registry& registry = TheRegistry();
  for (Lookup& lookup : lookups) {
    auto found = registry.sessions.find(lookup.token);
    if (found != registry.sessions.end() && lookup.found) {
      registry.due.emplace(lookup.due,
                           Answer{lookup.token, lookup.address, std::move(lookup.name)});
      continue;
    }
    --registry.pendingInAll;
    if (found != registry.sessions.end()) --found->second.pending;
  }
  lookups.clear();
  Rearm();
}

// A dotted IPv4 name, read as getaddrinfo reads one (inet_aton, nothing after it).
bool NumericAddress(const std::string& name, std::uint32_t& address) {
  in_addr parsed{};
  if (name.find_first_of(" \t\n\v\f\r") != std::string::npos ||
      ::inet_aton(name.c_str(), &parsed) == 0) {
    return false;
  }
  address = parsed.s_addr;
  return true;
}

// ---- The resolver thread; everything below is its own. ----

// A c-ares channel and the sockets it wants watched.
struct Channel {
  ares_channel ares = nullptr;
  Clock::time_point opened;
  std::size_t inFlight = 0;
  std::map<int, short> sockets;  // descriptor -> poll events
};

struct InFlight {
  Lookup lookup;
  Channel* channel;
};

struct ResolverState {
  std::list<Channel> channels;  // oldest first; the last takes new look-ups while it is open
  std::vector<Lookup> finished;  // waiting to be handed to the network thread
  std::string nameServers;       // kNameServersVariable, read once
};

// Reachable from a global while the thread runs, so leak checkers see c-ares's memory as held.
ResolverState& TheResolverState() {
  static auto* state = new ResolverState;
  return *state;
}

void OnSocketState(void* data, ares_socket_t fd, int readable, int writable) {
  auto& channel = *static_cast<Channel*>(data);
  if (readable == 0 && writable == 0) {
    channel.sockets.erase(fd);
  } else {
    channel.sockets[fd] = static_cast<short>((readable != 0 ? POLLIN : 0) |
                                             (writable != 0 ? POLLOUT : 0));
  }
}

// Called by c-ares once per look-up: answered, failed, timed out or cancelled.
void OnHost(void* data, int status, int /*timeouts*/, hostent* host) {
  std::unique_ptr<InFlight> flight(static_cast<InFlight*>(data));
  --flight->channel->inFlight;
  Lookup& lookup = flight->lookup;
  if (status != ARES_ECANCELLED && status != ARES_EDESTRUCTION) {
    Counters().resolverAnswers.observe(Clock::now() - lookup.asked);
  }
  if (status == ARES_SUCCESS && host != nullptr && host->h_addrtype == AF_INET &&
      host->h_length == 4 && host->h_addr_list[0] != nullptr) {
    std::memcpy(&lookup.address, host->h_addr_list[0], 4);
    lookup.found = true;
  }
  TheResolverState().finished.push_back(std::move(lookup));
}

// The channel new look-ups go to, opened (reading /etc/resolv.conf) when none is open.
Channel* OpenChannel(ResolverState& state, Clock::time_point now) {
  if (!state.channels.empty() && now - state.channels.back().opened < kResolverChannelOpen) {
    return &state.channels.back();
  }
  Channel& channel = state.channels.emplace_back();
  channel.opened = now;
  ares_options options{};
  options.sock_state_cb = OnSocketState;
  options.sock_state_cb_data = &channel;
  // Answers to thousands of names may arrive at once (the system caps this at rmem_max).
  options.socket_receive_buffer_size = 4 << 20;
  bool ok = ares_init_options(&channel.ares, &options,
                              ARES_OPT_SOCK_STATE_CB | ARES_OPT_SOCK_RCVBUF) == ARES_SUCCESS;
  if (ok && !state.nameServers.empty()) {
    ok = ares_set_servers_ports_csv(channel.ares, state.nameServers.c_str()) == ARES_SUCCESS;
  }
  if (ok) return &channel;
  if (channel.ares != nullptr) ares_destroy(channel.ares);
  state.channels.pop_back();
  return nullptr;
}

void StartLookups(ResolverState& state, std::vector<Lookup>& lookups) {
  const Clock::time_point now = Clock::now();
  for (Lookup& lookup : lookups) {
    Channel* channel = OpenChannel(state, now);
    if (channel == nullptr) {
      state.finished.push_back(std::move(lookup));
      continue;
    }
    // c-ares may answer from /etc/hosts before it returns, freeing the flight.
    const std::string name = lookup.name;
    ++channel->inFlight;
    ares_gethostbyname(channel->ares, name.c_str(), AF_INET, OnHost,
                       new InFlight{std::move(lookup), channel});
  }
  lookups.clear();
}

// Closes channels that are done, or past their grace with look-ups left (those fail now).
void CloseChannels(ResolverState& state, Clock::time_point now) {
  for (auto it = state.channels.begin(); it != state.channels.end();) {
    const auto age = now - it->opened;
    if (age < kResolverChannelOpen ||
        (it->inFlight != 0 && age < kResolverChannelOpen + kResolverChannelGrace)) {
      ++it;
      continue;
    }
    ares_destroy(it->ares);
    it = state.channels.erase(it);
  }
}

// How long the thread may wait: until c-ares's next time-out or a channel's end; -1 when no
// channel is left, so an idle daemon sleeps.
int WaitMs(ResolverState& state, Clock::time_point now) {
  Clock::time_point until = Clock::time_point::max();
  for (Channel& channel : state.channels) {
    if (channel.inFlight == 0) {
      until = std::min(until, channel.opened + kResolverChannelOpen);
      continue;
    }
    until = std::min(until, channel.opened + kResolverChannelOpen + kResolverChannelGrace);
    timeval tv{};
    if (ares_timeout(channel.ares, nullptr, &tv) != nullptr) {
      until = std::min(until, now + std::chrono::seconds(tv.tv_sec) +
                                  std::chrono::microseconds(tv.tv_usec));
    }
  }
  if (until == Clock::time_point::max()) return -1;
  if (until <= now) return 0;
  // Rounded up, so the thread does not wake just before the time and spin.
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
}

void ResolverLoop() {
  RequestQueue& queue = TheRequestQueue();
  ResolverState& state = TheResolverState();
  std::vector<Lookup> taken;
  std::vector<pollfd> fds;
  std::vector<Channel*> owners;  // the channel of each fds entry after the first
  for (;;) {
    {
      MutexLock lock(queue.mutex);
      taken.swap(queue.names);
    }
    StartLookups(state, taken);
    CloseChannels(state, Clock::now());
    if (!state.finished.empty()) {
      MutexLock lock(NetworkLock);
      FinishLookups(state.finished);
    }

    fds.assign(1, pollfd{queue.wakeFd, POLLIN, 0});
    owners.clear();
    for (Channel& channel : state.channels) {
      for (const auto& [fd, events] : channel.sockets) {
        fds.push_back(pollfd{fd, events, 0});
        owners.push_back(&channel);
      }
    }
    ::poll(fds.data(), fds.size(), WaitMs(state, Clock::now()));
    if ((fds[0].revents & POLLIN) != 0) {
      eventfd_t count = 0;
      ::eventfd_read(queue.wakeFd, &count);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      const short revents = fds[i].revents;
      if (revents == 0) continue;
      const bool readable = (revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      ares_process_fd(owners[i - 1]->ares, readable ? fds[i].fd : ARES_SOCKET_BAD,
                      (revents & POLLOUT) != 0 ? fds[i].fd : ARES_SOCKET_BAD);
    }
    // Time-outs and retries of every channel.
    for (Channel& channel : state.channels) {
      ares_process_fd(channel.ares, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
  }
}

// Starts the resolver thread once.
bool StartResolver(RequestQueue& queue) REQUIRES(queue.mutex) {
  if (queue.running) return true;
  if (queue.wakeFd < 0) queue.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (queue.wakeFd < 0 || ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return false;
  if (const char* servers = std::getenv(kNameServersVariable); servers != nullptr) {
    TheResolverState().nameServers = servers;
  }
  try {
    std::thread(ResolverLoop).detach();
  } catch (const std::system_error&) {
    return false;
  }
  queue.running = true;
  return true;
}

}  // namespace

void RequestLookups(RelayHost& session, std::vector<std::string> names) {
  Registry& registry = TheRegistry();
  std::uint64_t& token = session.relays().resolverToken;
  if (token == 0) token = registry.nextToken++;
  Registry::Entry& entry =
      registry.sessions.try_emplace(token, Registry::Entry{&session, 0}).first->second;

  const NetworkTime due = NetworkNow() + kResolveAnswerDelay;
  std::vector<Lookup> lookups;
  bool numeric = false;
  for (std::string& name : names) {
    if (name.empty() || name.size() > kMaxHostNameLength) continue;
    if (entry.pending >= kMaxPendingNamesPerSession ||
        registry.pendingInAll >= kMaxPendingNamesInAll) {
      break;
    }
    ++entry.pending;
    ++registry.pendingInAll;
    std::uint32_t address = 0;
    if (NumericAddress(name, address)) {
      registry.due.emplace(due, Answer{token, address, std::move(name)});
      numeric = true;
    } else {
      lookups.push_back(Lookup{token, due, std::move(name)});
    }
  }
  if (numeric) Rearm();
  if (lookups.empty()) return;

  RequestQueue& queue = TheRequestQueue();
  MutexLock lock(queue.mutex);
  if (!StartResolver(queue)) {
    FinishLookups(lookups);  // none found: their counts go back
    return;
  }
  const bool idle = queue.names.empty();
  std::move(lookups.begin(), lookups.end(), std::back_inserter(queue.names));
  if (idle) ::eventfd_write(queue.wakeFd, 1);
}

std::size_t PendingNames() { return TheRegistry().pendingInAll; }

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
    RequestQueue& queue = TheRequestQueue();
    MutexLock lock(queue.mutex);
    registry.pendingInAll -=
        std::erase_if(queue.names, [token](const Lookup& lookup) { return lookup.token == token; });
  }
  Rearm();
}

}  // namespace tarvo
