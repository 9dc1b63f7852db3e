// Compiled by the thread_safety_* tests with clang's -Wthread-safety -Werror: with HOLD_LOCK it
// must compile, without it it must not (a guarded field read without its mutex), so the
// annotations are known to reach the compiler.
#include "platform/thread_annotations.h"

namespace {

tarvo::Mutex mutex;
int guarded GUARDED_BY(mutex) = 0;

int Read() REQUIRES(mutex) { return guarded; }

}  // namespace

int main() {
#ifdef HOLD_LOCK
  tarvo::MutexLock lock(mutex);
#endif
  return Read();
}
