// ThreadIdentity: one record per thread that has ever blocked in the
// runtime's locks (or asked for one). It holds the thread's semaphore state,
// its scheduler association and the free-list link. Records are never freed:
// when a thread exits its record goes onto a free list and a new thread
// reuses it, so a pointer to an identity stays valid memory forever (a
// waker may still touch the record of a thread that just left).
#ifndef BASE_THREAD_IDENTITY_H_
#define BASE_THREAD_IDENTITY_H_

#include "base/atomicops.h"
#include "base/integral_types.h"
#include "base/scheduling.h"
#include "base/spinlock.h"

namespace base {
namespace internal {

// The semaphore a thread blocks on (base/per_thread_sem.h).
struct PerThreadSemPrivateData {
  volatile Atomic32 count;               // futex word: posts not yet consumed
  volatile Atomic32 ticker;              // advanced by Tick()
  volatile Atomic32 *blocked_count_ptr;  // caller-owned, counts blocked waits
  volatile Atomic32 wait_start;  // ticker when the wait began; 0: not waiting
  volatile Atomic32 is_idle;     // told the allocator the thread is idle
  volatile Atomic32 sleepers;    // waiters inside the futex wait (or about to be)
  int32 reserved;
};

}  // namespace internal

namespace subtle {

struct ThreadIdentity {
  // The thread's association with a cooperative scheduler.
  struct SchedulerState {
    base::scheduling::Schedulable *volatile association;
    SpinLock association_lock_;  // guards association; kernel-only
    volatile Atomic32 rescheduling_disabled_depth;
    SpinLock *association_lock() { return &association_lock_; }
  };

  SchedulerState scheduler_state;
  base::internal::PerThreadSemPrivateData per_thread_sem;
  ThreadIdentity *next;  // free-list link
  // Room for the users of per-thread waiter records; the record is a fixed
  // 192 bytes.
  char reserved[192 - sizeof(SchedulerState) -
                sizeof(base::internal::PerThreadSemPrivateData) -
                sizeof(ThreadIdentity *)];
};
static_assert(sizeof(ThreadIdentity) == 192, "identity records are 192 bytes");

// The calling thread's identity, or null when it has none yet (allocates
// nothing).
ThreadIdentity *GetCurrentThreadIdentity();

// The calling thread's identity; with `create`, one is made when absent.
inline ThreadIdentity *CurrentThreadIdentity(bool create);

namespace internal {
// Makes, initializes and attaches a new identity for the calling thread.
ThreadIdentity *GenerateThreadIdentity();
// A zeroed record from the free list or fresh memory, attached to the
// calling thread.
ThreadIdentity *NewThreadIdentity();
// Checks that `identity` is what the thread now has (fatal otherwise).
void AssociateThreadIdentityWithCurrent(ThreadIdentity *identity);
// Creates the key that attaches identities to threads.
void AllocateThreadIdentityKey();
// Thread-exit destructor of that key: returns the record to the free list.
void ReclaimThreadIdentity(void *identity);
}  // namespace internal

inline ThreadIdentity *CurrentThreadIdentity(bool create) {
  ThreadIdentity *identity = GetCurrentThreadIdentity();
  if (identity == nullptr && create) {
    identity = internal::GenerateThreadIdentity();
  }
  return identity;
}

}  // namespace subtle
}  // namespace base

#endif  // BASE_THREAD_IDENTITY_H_
