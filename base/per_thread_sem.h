// PerThreadSem: the semaphore on which a thread blocks inside Mutex and
// CondVar. Its state lives in the thread's ThreadIdentity, so a waker needs
// only the identity pointer. A Post before the Wait is remembered (the count
// never goes negative); Wait takes an optional absolute deadline.
//
// Tick() is an idleness clock driven from outside: a thread that stays
// blocked for more than 60 ticks tells the allocator it is idle.
#ifndef BASE_PER_THREAD_SEM_H_
#define BASE_PER_THREAD_SEM_H_

#include <time.h>

#include "base/atomicops.h"
#include "base/thread_identity.h"

namespace base {
namespace internal {

class PerThreadSem {
 public:
  static void Init(base::subtle::ThreadIdentity *identity);
  // Blocks the calling thread until a Post is consumed (true) or the
  // absolute CLOCK_REALTIME deadline passes (false); null means no deadline.
  static bool Wait(const struct timespec *deadline);
  static void Post(base::subtle::ThreadIdentity *identity);
  static void Tick(base::subtle::ThreadIdentity *identity);
  // A caller-owned counter that the calling thread's waits raise while they
  // block (null: none).
  static void SetThreadBlockedCounter(volatile Atomic32 *counter);
  static volatile Atomic32 *GetThreadBlockedCounter();
};

// The semaphore algorithms on a bare state, shared by PerThreadSem and
// SynchronizationInternalSem. `file` and `line` name the owner in fatal
// messages.
namespace sem_internal {

void InitState(PerThreadSemPrivateData *s);
bool WaitOnState(PerThreadSemPrivateData *s, volatile Atomic32 *blocked_count,
                 const struct timespec *deadline, const char *file, int line);
void PostToState(PerThreadSemPrivateData *s, const char *file, int line);
void TickState(PerThreadSemPrivateData *s);
// True when the deadline has passed; otherwise *relative is the time left
// (a deadline within the current second counts as not yet passed). No
// deadline never expires.
bool Expired(const struct timespec *deadline, struct timespec *relative);

}  // namespace sem_internal
}  // namespace internal
}  // namespace base

#endif  // BASE_PER_THREAD_SEM_H_
