// Lock contracts the compiler checks: clang's -Wthread-safety reads these (the
// TARVO_THREAD_SAFETY build, scripts/thread_safety_build.sh); other compilers ignore them.
// A mutex is a capability; a field names the mutex that guards it (GUARDED_BY), a function the
// mutex its caller must hold (REQUIRES) or must not (EXCLUDES).
#pragma once

#include <mutex>

#if defined(__clang__)
#define TARVO_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TARVO_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) TARVO_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY TARVO_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) TARVO_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) TARVO_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) TARVO_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TARVO_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TARVO_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TARVO_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TARVO_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TARVO_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) TARVO_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TARVO_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace tarvo {

// std::mutex as a capability. Still BasicLockable, so std::unique_lock and condition variables
// take it (through native(): the analysis does not follow those, so their scopes say what they
// hold with assertHeld).
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds it (taken where the analysis cannot see).
  void assertHeld() const ASSERT_CAPABILITY(this) {}
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace tarvo
