// The user-store workers: a few threads that make the daemon's store calls, so that a slow or
// hanging store never stalls the network thread. Each call runs on a worker with no lock held
// (the store library gives each thread a connection of its own); its completion then runs on
// the network thread under the network lock. Jobs run in the order they were queued on each
// worker; a session that needs its answers in order waits for one before asking the next.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace tarvo {

// A SQLite store takes its calls in turn on one connection: a few workers keep it busy. A store
// across a network spends most of a call waiting for its answer: more workers, each on a
// connection of its own, keep logins from queueing behind each other.
inline constexpr std::size_t kStoreWorkers = 4;
inline constexpr std::size_t kNetworkStoreWorkers = 16;

// Starts the workers, so that the daemon's threads are all there from its start: as many as
// the store suits (after InitReader).
void StartStoreWorkers();

// Queues job for a worker; done runs afterwards on the network thread. Any thread.
void RunOnStore(std::function<void()> job, std::function<void()> done);

// Waits until every queued job has run, at most limit; false when some were still waiting or
// running then (a hanging store). Completions still owed are dropped. Stops the workers; jobs
// queued afterwards are dropped. For the end of the process.
bool StopStoreWorkers(std::chrono::milliseconds limit);
// Waits, at most limit, until no job is queued or running; the workers go on. False when some
// still were.
bool WaitForStoreWorkers(std::chrono::milliseconds limit);

}  // namespace tarvo
