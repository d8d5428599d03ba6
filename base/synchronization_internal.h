// Internals of Mutex and CondVar shared by base/synchronization.cc and its
// tests: the bits of the lock words, the per-thread waiter record and the
// parameters of a wait.
#ifndef BASE_SYNCHRONIZATION_INTERNAL_H_
#define BASE_SYNCHRONIZATION_INTERNAL_H_

#include <stdint.h>
#include <time.h>

#include "base/integral_types.h"
#include "base/synchronization.h"

namespace base {
namespace subtle {
struct ThreadIdentity;
}  // namespace subtle
}  // namespace base

namespace synchronization_internal {

// Mutex word, low byte.
constexpr intptr_t kMuQueueLock = 0x01;    // spin lock over the waiter queue
constexpr intptr_t kMuHasEvent = 0x02;     // has an event record: no fast paths
constexpr intptr_t kMuWait = 0x04;         // queue non-empty; high bits = tail
constexpr intptr_t kMuWriter = 0x08;       // held exclusively
constexpr intptr_t kMuDesigWaker = 0x10;   // a woken thread will wake the next
constexpr intptr_t kMuWrWait = 0x20;       // a writer waits: new readers queue
constexpr intptr_t kMuReadReentry = 0x40;  // re-entrant reader locking is on
constexpr intptr_t kMuReader = 0x80;       // held in shared mode
constexpr intptr_t kMuLow = 0xFF;
constexpr intptr_t kMuHigh = ~kMuLow;
// Without a queue the high bits count readers in this unit; with one, the
// tail record's `readers` does.
constexpr intptr_t kMuReaderUnit = 0x100;

// CondVar word, low two bits; the rest is the tail of the waiter ring.
constexpr intptr_t kCvQueueLock = 0x01;
constexpr intptr_t kCvHasEvent = 0x02;
constexpr intptr_t kCvLow = 0x03;

// Flags of a wait.
constexpr int kWaitHasBlocked = 1;     // blocked and woken in this acquisition
constexpr int kWaitIsConditional = 2;  // a real condition, or a CondVar wait

// Waiter records start on this boundary so that a pointer to one leaves the
// low byte of the mutex word free for the flags.
constexpr uintptr_t kPerThreadSynchAlignment = 256;

// Locks a thread holds, for re-entrant reader locking (and, later, for the
// deadlock detector).
struct SynchLocksHeld {
  static constexpr int kMaxLocks = 40;
  int n;          // entries in use
  bool overflow;  // a lock could not be recorded for lack of room
  struct {
    Mutex *mu;
    int32 count;     // times the thread holds it
    int32 id;        // cached deadlock-graph node, -1 for none
    int64 id_epoch;  // epoch of that id, -1 for none
  } locks[kMaxLocks];
};

}  // namespace synchronization_internal

// One per thread: the thread's place in a Mutex queue or a CondVar ring.
struct PerThreadSynch {
  void *unaligned;  // what the allocator returned
  // Next waiter in the circular queue; null when not queued (a woken thread
  // sees it become null). Also the free-list link.
  PerThreadSynch *next;
  // Null, or a later waiter of the same queue with an equal condition.
  PerThreadSynch *skip;
  bool may_skip;  // whether skip may be set on this record
  base::subtle::ThreadIdentity *thread_identity;
  SynchWaitParams *waitp;  // the wait in progress, null when not waiting
  bool suppress_fatal_errors;
  // Meaningful on the tail of a mutex queue only: the reader count in units
  // of kMuReaderUnit (the low byte is ignored).
  intptr_t readers;
  int32 priority;                   // scheduling priority as last read
  int64 next_priority_read_cycles;  // when it may be read again
  // On the tail only: an unlocker is scanning the queue without its lock.
  bool maybe_unlocking;
  bool wake;         // chosen to be woken by the current scan
  bool cond_waiter;  // the wait had kWaitIsConditional
  synchronization_internal::SynchLocksHeld *reentrant_locks;
  synchronization_internal::SynchLocksHeld *all_locks;
};

// Terminates the list of threads an unlocker is about to wake.
inline PerThreadSynch *const kPerThreadSynchNull =
    reinterpret_cast<PerThreadSynch *>(1);

// The calling thread's record, created on first use.
PerThreadSynch *Synch_GetPerThread();

// What a Mutex acquisition does in a mode: the bits that must be zero, the
// bits it sets and the count it adds on the fast path, the bits that must be
// zero on the slow path, and those that must be zero for a reader to join
// readers that hold the mutex while others are queued.
struct MuHowS {
  intptr_t fast_need_zero;
  intptr_t fast_or;
  intptr_t fast_add;
  intptr_t slow_need_zero;
  intptr_t slow_inc_need_zero;
};

// A wait in progress, on the waiting thread's stack.
struct SynchWaitParams {
  SynchWaitParams(MuHow how_arg, const Condition *cond_arg,
                  const struct timespec *ts_arg, Mutex *cvmu_arg,
                  PerThreadSynch *thread_arg,
                  void (*enqueue_func_arg)(SynchWaitParams *),
                  volatile AtomicWord *cv_word_arg);

  MuHow how;
  // The condition, null for none; cleared when a timed wait times out.
  const Condition *cond;
  // Absolute deadline, null for none; cleared on timeout.
  const struct timespec *ts;
  Mutex *cvmu;  // mutex to move to when a CondVar signals, or null
  PerThreadSynch *thread;
  // Queues the waiter on a CondVar instead of the mutex; used once.
  void (*enqueue_func)(SynchWaitParams *);
  volatile AtomicWord *cv_word;   // the CondVar's word, for enqueue_func
  int64 contention_start_cycles;  // cycle clock when the wait began
};

#endif  // BASE_SYNCHRONIZATION_INTERNAL_H_
