// SynchronizationInternalSem: a standalone semaphore with the per-thread
// semaphore's waiting algorithm (futex sleep, optional absolute deadline,
// idleness ticks), for code that needs a semaphore object of its own rather
// than a thread's.
#ifndef BASE_SYNCHRONIZATION_INTERNAL_SEM_H_
#define BASE_SYNCHRONIZATION_INTERNAL_SEM_H_

#include <time.h>

#include "base/atomicops.h"
#include "base/thread_identity.h"

class SynchronizationInternalSem {
 public:
  SynchronizationInternalSem() { Init(); }
  ~SynchronizationInternalSem() {}
  SynchronizationInternalSem(const SynchronizationInternalSem &) = delete;
  SynchronizationInternalSem &operator=(const SynchronizationInternalSem &) =
      delete;

  void Init();
  void Destroy() {}
  // Consumes a post (true) or gives up at the absolute deadline (false).
  bool Wait(const struct timespec *deadline);
  void Post();
  void Tick();

  // The calling thread's blocked-wait counter, shared with its per-thread
  // semaphore.
  static void SetThreadBlockedCounter(volatile Atomic32 *counter);
  static volatile Atomic32 *GetThreadBlockedCounter();

 private:
  base::internal::PerThreadSemPrivateData state_;
};

#endif  // BASE_SYNCHRONIZATION_INTERNAL_SEM_H_
