#include "server/service/store/store_workers.h"

#include "server/service/base/service_counters.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "external/reader.h"
#include "server/service/net/network_loop.h"

namespace tarvo {

namespace {

struct Job {
  std::function<void()> work;
  std::function<void()> done;
};

struct Pool {
  Mutex mutex;
  std::condition_variable_any wake;     // a job was queued, or the pool stops
  std::condition_variable_any settled;  // a job finished
  std::deque<Job> jobs GUARDED_BY(mutex);
  std::size_t workers GUARDED_BY(mutex) = 0;
  std::size_t wanted GUARDED_BY(mutex) = kStoreWorkers;
  std::size_t running GUARDED_BY(mutex) = 0;
  bool stopping GUARDED_BY(mutex) = false;
};

// Never destroyed: a worker stuck in a hanging store may outlive the end of main.
Pool& ThePool() {
  static auto* pool = new Pool;
  return *pool;
}

void Worker() {
  Pool& pool = ThePool();
  pool.mutex.lock();
  for (;;) {
    pool.wake.wait(pool.mutex,
                   [&]() REQUIRES(pool.mutex) { return pool.stopping || !pool.jobs.empty(); });
    if (pool.jobs.empty()) break;  // stopping
    Job job = std::move(pool.jobs.front());
    pool.jobs.pop_front();
    ++pool.running;
    pool.mutex.unlock();
    const auto started = std::chrono::steady_clock::now();
    job.work();
    Counters().storeCalls.observe(std::chrono::steady_clock::now() - started);
    if (job.done) PostToNetworkThread(std::move(job.done));
    pool.mutex.lock();
    --pool.running;
    pool.settled.notify_all();
  }
  pool.mutex.unlock();
}

void AddWorker(Pool& pool) REQUIRES(pool.mutex) {
  try {
    std::thread(Worker).detach();
    ++pool.workers;
  } catch (const std::system_error&) {
    // The workers there are take the job; with none, it waits for the next one made.
  }
}

}  // namespace

void StartStoreWorkers() {
  Pool& pool = ThePool();
  MutexLock lock(pool.mutex);
  if (ReaderConnectionLimit() > 1) pool.wanted = kNetworkStoreWorkers;
  while (pool.workers < pool.wanted) {
    const std::size_t before = pool.workers;
    AddWorker(pool);
    if (pool.workers == before) break;
  }
}

void RunOnStore(std::function<void()> job, std::function<void()> done) {
  Pool& pool = ThePool();
  MutexLock lock(pool.mutex);
  if (pool.stopping) return;
  pool.jobs.push_back({std::move(job), std::move(done)});
  // A worker more while every one is busy, up to the bound.
  if (pool.workers < pool.wanted && pool.running + pool.jobs.size() > pool.workers) {
    AddWorker(pool);
  }
  pool.wake.notify_one();
}

namespace {

bool WaitUntilIdle(Pool& pool, std::chrono::milliseconds limit) REQUIRES(pool.mutex) {
  return pool.settled.wait_for(pool.mutex, limit, [&]() REQUIRES(pool.mutex) {
    return pool.jobs.empty() && pool.running == 0;
  });
}

}  // namespace

bool WaitForStoreWorkers(std::chrono::milliseconds limit) {
  Pool& pool = ThePool();
  MutexLock lock(pool.mutex);
  return WaitUntilIdle(pool, limit);
}

bool StopStoreWorkers(std::chrono::milliseconds limit) {
  Pool& pool = ThePool();
  MutexLock lock(pool.mutex);
  const bool drained = WaitUntilIdle(pool, limit);
  pool.stopping = true;
  pool.jobs.clear();
  pool.wake.notify_all();
  return drained;
}

}  // namespace tarvo
