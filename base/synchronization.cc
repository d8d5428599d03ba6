#include "base/synchronization.h"

#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "base/auxiliary/synchronization_profiling.h"
#include "base/cycleclock.h"
#include "base/logging.h"
#include "base/low_level_alloc.h"
#include "base/per_thread.h"
#include "base/per_thread_sem.h"
#include "base/raw_logging.h"
#include "base/scheduling.h"
#include "base/spinlock.h"
#include "base/stacktrace.h"
#include "base/synchronization_internal.h"
#include "base/sysinfo.h"
#include "base/thread_identity.h"

#ifdef TAVRO_TSAN
#include <sanitizer/tsan_interface.h>
#endif

using base::subtle::Acquire_CompareAndSwap;
using base::subtle::Acquire_Load;
using base::subtle::NoBarrier_Load;
using base::subtle::NoBarrier_Store;
using base::subtle::Release_CompareAndSwap;
using base::subtle::Release_Store;
using base::subtle::ThreadIdentity;
using namespace synchronization_internal;

namespace {

int32 IntFromEnv(const char *name, int32 default_value) {
  const char *text = getenv(name);
  return text == nullptr ? default_value
                         : static_cast<int32>(strtol(text, nullptr, 10));
}

}  // namespace

DEFINE_bool(synch_check_invariants, false,
            "check invariants set with Mutex::EnableInvariantDebugging()");
DEFINE_int32(synch_deadlock_detection,
             IntFromEnv("TAVRO_SYNCH_DEADLOCK_DETECTION", 2),
             "0 and opt mode: no deadlock reporting; 1: report potential "
             "deadlocks (dbg mode only); 2: die on potential deadlock (dbg "
             "mode only)");
DEFINE_int32(synch_deadlock_detection_graph_size,
             IntFromEnv("TAVRO_SYNCH_DEADLOCK_DETECTION_GRAPH_SIZE", 2048),
             "maximal graph size for the deadlock detector; if the number is "
             "too large, the detection may be slow; if the number if too "
             "small, the detector may miss deadlocks");

// Every fatal record of this module names it as its source.
#define SYNCH_FILE "base/synchronization"
// Writes "Check <condition> failed: <message>" with the condition's text as
// written here, and aborts.
#define SYNCH_CHECK(condition, message)                              \
  do {                                                               \
    if (PREDICT_FALSE(!(condition))) {                               \
      RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__, "Check %s failed: %s", \
                 #condition, message);                               \
    }                                                                \
  } while (0)
// A check whose explanation has printf arguments.
#define SYNCH_CHECK_F(condition, format, ...)                             \
  do {                                                                    \
    if (PREDICT_FALSE(!(condition))) {                                    \
      RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__, "Check %s failed: " format, \
                 #condition, __VA_ARGS__);                                \
    }                                                                     \
  } while (0)

namespace {

// ---- ThreadSanitizer ----

// The tool is told of each acquisition after it has happened and of each
// release before it happens. Everything in between (queue edits, other threads'
// records, conditions evaluated on behalf of waiters, invariants) runs with the
// tool ignoring memory accesses and synchronization: that work is ordered by
// the lock word itself. The calling thread's waiter record (and its thread
// identity) is created before such a region is entered, since their creation
// synchronizes through locks the tool must see.
#ifdef TAVRO_TSAN
inline unsigned TsanMode(bool shared) {
  return shared ? __tsan_mutex_read_lock : 0;
}
inline void TsanPreLock(const void *m, bool shared) {
  Synch_GetPerThread();
  __tsan_mutex_pre_lock(const_cast<void *>(m),
                        __tsan_mutex_linker_init | TsanMode(shared));
}
inline void TsanPostLock(const void *m, bool shared) {
  __tsan_mutex_post_lock(const_cast<void *>(m),
                         __tsan_mutex_linker_init | TsanMode(shared), 0);
}
inline void TsanPreTryLock(const void *m, bool shared) {
  Synch_GetPerThread();
  __tsan_mutex_pre_lock(const_cast<void *>(m), __tsan_mutex_linker_init |
                                                   __tsan_mutex_try_lock |
                                                   TsanMode(shared));
}
inline void TsanPostTryLock(const void *m, bool shared, bool locked) {
  __tsan_mutex_post_lock(const_cast<void *>(m),
                         __tsan_mutex_linker_init | __tsan_mutex_try_lock |
                             TsanMode(shared) |
                             (locked ? 0 : __tsan_mutex_try_lock_failed),
                         0);
}
inline void TsanPreUnlock(const void *m, bool shared) {
  Synch_GetPerThread();
  __tsan_mutex_pre_unlock(const_cast<void *>(m), TsanMode(shared));
}
inline void TsanPostUnlock(const void *m, bool shared) {
  __tsan_mutex_post_unlock(const_cast<void *>(m), TsanMode(shared));
}
// Ignore memory accesses and synchronization (CondVar internals).
inline void TsanIgnoreBegin(const void *cv) {
  Synch_GetPerThread();
  __tsan_mutex_pre_signal(const_cast<void *>(cv), 0);
}
inline void TsanIgnoreEnd(const void *cv) {
  __tsan_mutex_post_signal(const_cast<void *>(cv), 0);
}
#else
inline void TsanPreLock(const void *, bool) {}
inline void TsanPostLock(const void *, bool) {}
inline void TsanPreTryLock(const void *, bool) {}
inline void TsanPostTryLock(const void *, bool, bool) {}
inline void TsanPreUnlock(const void *, bool) {}
inline void TsanPostUnlock(const void *, bool) {}
inline void TsanIgnoreBegin(const void *) {}
inline void TsanIgnoreEnd(const void *) {}
#endif

// ---- Module state ----

// Both 0 at load; set by InitMainThreadID. With 0 processors the back-off
// uses the multiprocessor limits; with 0 attempts a contended Lock makes one
// more attempt before it queues.
int32 synch_num_cpus = 0;
int32 synch_lock_attempts = 0;
pthread_t main_thread;
int32 main_thread_recorded = 0;

// ---- Seams for the deadlock detector ----

// The lock-order graph and the per-thread lists of all held locks are not
// built yet. These are the calls the detector fills in; it is active only in
// debug builds.

inline bool DeadlockDetectionOn() {
#ifdef NDEBUG
  return false;
#else
  return FLAGS_synch_deadlock_detection != 0;
#endif
}
// Before a blocking acquisition: records held -> mu edges and reports
// cycles.
inline void DebugOnlyDeadlockCheck(Mutex *mu) {}
// After every successful acquisition / before every release.
inline void DebugOnlyLockEnter(Mutex *mu, bool is_write) {}
inline void DebugOnlyLockLeave(Mutex *mu, bool is_write) {}
// Drops mu's graph node (ForgetDeadlockInfo).
inline void DeadlockForgetMutex(Mutex *mu) {}
// A mutex destroyed while held leaves the destroying thread's list.
inline void DeadlockLeaveOnDestruction(Mutex *mu) {}
// Whether mu is in the calling thread's list of held locks.
inline bool DeadlockListHolds(const Mutex *mu) { return false; }
// An event record is being freed: its graph node goes with it.
inline void DeadlockForgetEventNode(int node_id, int node_epoch) {}

// Whether the program's main function has returned (then static mutexes
// are destroyed in no particular order and their records are left alone).
// Process start-up and shut-down do not report that yet.
inline bool MainHasReturned() { return false; }

// ---- Back-off ----

enum DelayMode { AGGRESSIVE = 0, GENTLE = 1 };

// Called after each failed attempt, with c starting at 0: busy retries up to
// a limit, one yield, then a 2 ms sleep, after which counting starts over.
int Delay(int32 c, DelayMode mode) {
  const int32 limit = NoBarrier_Load(&synch_num_cpus) == 1
                          ? 0
                          : (mode == AGGRESSIVE ? 5000 : 250);
  if (c < limit) {
    c++;
  } else if (c == limit) {
    // No cooperative scheduler offers a reschedule: yield to the kernel.
    sched_yield();
    c++;
  } else {
    const bool cooperative =
        base::scheduling::Downcalls::CurrentThreadIsCooperative();
    if (cooperative) base::scheduling::Downcalls::StartBlockingRegion();
    struct timespec sleep_time = {0, 2000001};
    nanosleep(&sleep_time, nullptr);
    if (cooperative) base::scheduling::Downcalls::FinishBlockingRegion();
    c = 0;
  }
  return c;
}

// Sets `bits` in *pv, waiting while any of wait_until_clear is set.
void AtomicSetBits(volatile AtomicWord *pv, intptr_t bits,
                   intptr_t wait_until_clear) {
  intptr_t v;
  do {
    v = NoBarrier_Load(pv);
  } while ((v & bits) != bits &&
           ((v & wait_until_clear) != 0 ||
            Release_CompareAndSwap(pv, v, v | bits) != v));
}

void AtomicClearBits(volatile AtomicWord *pv, intptr_t bits,
                     intptr_t wait_until_clear) {
  intptr_t v;
  do {
    v = NoBarrier_Load(pv);
  } while ((v & bits) != 0 && ((v & wait_until_clear) != 0 ||
                               Release_CompareAndSwap(pv, v, v & ~bits) != v));
}

// ---- Event records ----

// A record for a Mutex or CondVar that has debug logging, an invariant or a
// deadlock-graph node, found through a hash table keyed by the object's
// address. The table holds the address masked, never in plain form.
struct SynchEvent {
  int refcount;      // guarded by synch_event_mu
  SynchEvent *next;  // bucket chain, guarded by synch_event_mu
  uintptr_t masked_addr;
  void (*invariant)(void *arg);
  void *arg;
  bool log;
  int held_locks_plus_one;  // held-lock count + 1 when `stack` was taken
  int node_id;              // deadlock-graph node, -1 for none
  int node_epoch;           // graph epoch of node_id, -1 for none
  int stack_depth;
  void *stack[40];
  char name[1];  // the object's name, NUL-terminated, extends past the end
};

constexpr int kNSynchEvent = 1031;
SynchEvent *synch_event[kNSynchEvent];
SpinLock synch_event_mu(base::LINKER_INITIALIZED);

inline uintptr_t MaskAddress(const volatile void *addr) {
  return reinterpret_cast<uintptr_t>(addr) ^ 0xB35E9B4CE52F9A4AULL;
}
inline int SynchEventBucket(const volatile void *addr) {
  return static_cast<int>(reinterpret_cast<uintptr_t>(addr) % kNSynchEvent);
}

// The record for the object whose word is *addr, created (with the given
// name, and `bits` set in the word once `lockbit` is clear) when absent.
// Returns it with a reference the caller must drop.
SynchEvent *EnsureSynchEvent(volatile AtomicWord *addr, const char *name,
                             intptr_t bits, intptr_t lockbit) {
  const int h = SynchEventBucket(addr);
  SpinLockHolder holder(&synch_event_mu);
  SynchEvent *e;
  for (e = synch_event[h]; e != nullptr && e->masked_addr != MaskAddress(addr);
       e = e->next) {
  }
  if (e == nullptr) {
    if (name == nullptr) name = "";
    const size_t length = strlen(name);
    e = static_cast<SynchEvent *>(
        LowLevelAlloc::Alloc(sizeof(SynchEvent) + length));
    e->refcount = 2;  // the table's and the caller's
    e->masked_addr = MaskAddress(addr);
    e->invariant = nullptr;
    e->arg = nullptr;
    e->log = false;
    e->held_locks_plus_one = 0;
    e->node_id = -1;
    e->node_epoch = -1;
    e->stack_depth = GetStackTrace(e->stack, 40, 1);
    memcpy(e->name, name, length + 1);
    e->next = synch_event[h];
    AtomicSetBits(addr, bits, lockbit);
    synch_event[h] = e;
  } else {
    e->refcount++;
  }
  return e;
}

void DeleteSynchEvent(SynchEvent *e) {
  if (e->node_id != -1) DeadlockForgetEventNode(e->node_id, e->node_epoch);
  LowLevelAlloc::Free(e);
}

void UnrefSynchEvent(SynchEvent *e) {
  if (e == nullptr) return;
  bool del;
  {
    SpinLockHolder holder(&synch_event_mu);
    del = (--e->refcount == 0);
  }
  if (del) DeleteSynchEvent(e);
}

// Removes the record of the object whose word is *addr from the table and
// clears `bits` in the word once `lockbit` is clear.
void ForgetSynchEvent(volatile AtomicWord *addr, intptr_t bits,
                      intptr_t lockbit) {
  const int h = SynchEventBucket(addr);
  SynchEvent *e;
  bool del = false;
  {
    SpinLockHolder holder(&synch_event_mu);
    SynchEvent **pe;
    for (pe = &synch_event[h];
         (e = *pe) != nullptr && e->masked_addr != MaskAddress(addr);
         pe = &e->next) {
    }
    if (e != nullptr) {
      *pe = e->next;
      del = (--e->refcount == 0);
    }
    AtomicClearBits(addr, bits, lockbit);
  }
  if (del) DeleteSynchEvent(e);
}

// The record of the object at addr with a reference added, or null.
SynchEvent *GetSynchEvent(const volatile void *addr) {
  const int h = SynchEventBucket(addr);
  SpinLockHolder holder(&synch_event_mu);
  SynchEvent *e;
  for (e = synch_event[h]; e != nullptr && e->masked_addr != MaskAddress(addr);
       e = e->next) {
  }
  if (e != nullptr) e->refcount++;
  return e;
}

enum {
  SYNCH_EV_TRYLOCK_SUCCESS,
  SYNCH_EV_TRYLOCK_FAILED,
  SYNCH_EV_READERTRYLOCK_SUCCESS,
  SYNCH_EV_READERTRYLOCK_FAILED,
  SYNCH_EV_LOCK,
  SYNCH_EV_LOCK_RETURNING,
  SYNCH_EV_READERLOCK,
  SYNCH_EV_READERLOCK_RETURNING,
  SYNCH_EV_UNLOCK,
  SYNCH_EV_READERUNLOCK,
  SYNCH_EV_WAIT,
  SYNCH_EV_WAIT_RETURNING,
  SYNCH_EV_SIGNAL,
  SYNCH_EV_SIGNALALL,
};

// For each event: whether the lock is held after it (so the invariant runs)
// and the text of its log line.
const struct {
  bool runs_invariant;
  const char *msg;
} event_properties[] = {
    {true, "TryLock suceeded "},
    {false, "TryLock failed "},
    {true, "ReaderTryLock suceeded "},
    {false, "ReaderTryLock failed "},
    {false, "Lock blocking "},
    {true, "Lock returning "},
    {false, "ReaderLock blocking "},
    {true, "ReaderLock returning "},
    {true, "Unlock "},
    {true, "ReaderUnlock "},
    {false, "Wait on "},
    {false, "Wait unblocked "},
    {false, "Signal on "},
    {false, "SignalAll on "},
};

// Logs event ev on the object at obj (when it has no record or its record
// asks for logging) and runs the object's invariant when ev leaves the lock
// held.
void PostSynchEvent(const volatile void *obj, int ev) {
  SynchEvent *e = GetSynchEvent(obj);
  if (e == nullptr || e->log) {
    void *pcs[40];
    const int n = GetStackTrace(pcs, 40, 1);
    char buffer[960];
    int pos = snprintf(buffer, sizeof buffer, " @");
    for (int i = 0; i < n && pos < static_cast<int>(sizeof buffer); i++) {
      pos += snprintf(&buffer[pos], sizeof buffer - pos, " %p", pcs[i]);
    }
    RAW_LOG_AT(INFO, SYNCH_FILE, __LINE__, "%s%p %s %s",
               event_properties[ev].msg, obj, e == nullptr ? "" : e->name,
               buffer);
  }
  if (event_properties[ev].runs_invariant && e != nullptr &&
      e->invariant != nullptr) {
    (*e->invariant)(e->arg);
  }
  UnrefSynchEvent(e);
}

// ---- Per-thread records ----

int synch_per_thread_key = PerThread::kInvalid;
SpinLock synch_freelist_lock(base::LINKER_INITIALIZED);
PerThreadSynch *synch_freelist = nullptr;  // guarded by synch_freelist_lock

// Thread exit: the record goes back to the free list (never to the
// allocator: a waker may still read it), its held-lock lists are freed.
void ReclaimPerThreadSynch(void *v) {
  PerThreadSynch *s = static_cast<PerThreadSynch *>(v);
  if (s->reentrant_locks != nullptr) {
    LowLevelAlloc::Free(s->reentrant_locks);
    s->reentrant_locks = nullptr;
  }
  if (s->all_locks != nullptr) {
    LowLevelAlloc::Free(s->all_locks);
    s->all_locks = nullptr;
  }
  SpinLockHolder holder(&synch_freelist_lock);
  s->next = synch_freelist;
  synch_freelist = s;
}

PerThreadSynch *NewPerThreadSynch() {
  PerThreadSynch *s = nullptr;
  {
    SpinLockHolder holder(&synch_freelist_lock);
    if (synch_freelist != nullptr) {
      s = synch_freelist;
      synch_freelist = s->next;
    }
  }
  void *unaligned;
  if (s != nullptr) {
    unaligned = s->unaligned;
  } else {
    // (The record is never freed; a heap-leak checker, once there is one,
    // must be told to ignore this allocation.)
    unaligned = LowLevelAlloc::Alloc(sizeof(PerThreadSynch) +
                                     kPerThreadSynchAlignment - 1);
    s = reinterpret_cast<PerThreadSynch *>(
        (reinterpret_cast<uintptr_t>(unaligned) + kPerThreadSynchAlignment -
         1) &
        ~(kPerThreadSynchAlignment - 1));
  }
  memset(static_cast<void *>(s), 0, sizeof(*s));
  s->unaligned = unaligned;
  s->may_skip = true;
  return s;
}

// The calling thread's record if it has one; creates nothing.
PerThreadSynch *CurrentPerThreadSynchIfAny() {
  const int key = __atomic_load_n(&synch_per_thread_key, __ATOMIC_ACQUIRE);
  if (key == PerThread::kInvalid) return nullptr;
  return static_cast<PerThreadSynch *>(PerThread::GetData(key));
}

// ---- Held-lock lists ----

SynchLocksHeld *LocksHeldAlloc() {
  SynchLocksHeld *held =
      static_cast<SynchLocksHeld *>(LowLevelAlloc::Alloc(sizeof(*held)));
  held->n = 0;
  held->overflow = false;
  return held;
}

SynchLocksHeld *Synch_GetReentrantLocks() {
  PerThreadSynch *s = Synch_GetPerThread();
  if (s->reentrant_locks == nullptr) s->reentrant_locks = LocksHeldAlloc();
  return s->reentrant_locks;
}

const char *SynchEventName(const SynchEvent *e) {
  return e == nullptr ? "" : e->name;
}

// Counts one more hold of mu; returns whether mu was already in the list.
bool LockEnter(Mutex *mu, SynchLocksHeld *held_locks, bool report_overflow) {
  const int n = held_locks->n;
  for (int i = 0; i < n; i++) {
    if (held_locks->locks[i].mu == mu) {
      held_locks->locks[i].count++;
      return true;
    }
  }
  if (n == SynchLocksHeld::kMaxLocks) {
    if (report_overflow) {
      RAW_LOG_AT(FATAL, SYNCH_FILE, 1248,
                 "thread acquired too many distinct re-entrant read locks "
                 "simultaneously");
    }
    held_locks->overflow = true;
    return false;
  }
  held_locks->locks[n].mu = mu;
  held_locks->locks[n].count = 1;
  held_locks->locks[n].id = -1;
  held_locks->locks[n].id_epoch = -1;
  held_locks->n = n + 1;
  return false;
}

// Counts one hold of mu less; returns whether mu is still held.
bool LockLeave(Mutex *mu, SynchLocksHeld *held_locks) {
  const int n = held_locks->n;
  int i = 0;
  while (i != n && held_locks->locks[i].mu != mu) i++;
  if (i == n) {
    if (!held_locks->overflow) {
      SynchEvent *e = GetSynchEvent(mu);
      RAW_LOG_AT(FATAL, SYNCH_FILE, 1283,
                 "thread releasing lock it does not hold: %p %s; See also "
                 "the Mutex documentation in base/synchronization.h",
                 static_cast<void *>(mu), SynchEventName(e));
      UnrefSynchEvent(e);
    }
    return false;
  }
  if (held_locks->locks[i].count == 1) {
    held_locks->locks[i] = held_locks->locks[n - 1];
    held_locks->locks[n - 1].mu = nullptr;
    held_locks->n = n - 1;
    return false;
  }
  RAW_CHECK_AT(held_locks->locks[i].count > 0, SYNCH_FILE, 1291,
               "Mutex LockLeave called too many times");
  held_locks->locks[i].count--;
  return true;
}

void LockLeaveOnDestruction(Mutex *mu, SynchLocksHeld *held_locks) {
  const int n = held_locks->n;
  for (int i = 0; i < n; i++) {
    if (held_locks->locks[i].mu == mu) {
      held_locks->locks[i] = held_locks->locks[n - 1];
      held_locks->n = n - 1;
      return;
    }
  }
}

// Re-entrant reader locking: whether the calling thread already held mu in
// shared mode (it now counts one more hold) / still holds it after
// dropping one.
inline bool ReaderEnter(Mutex *mu) {
  return LockEnter(mu, Synch_GetReentrantLocks(), true);
}
inline bool ReaderLeave(Mutex *mu) {
  return LockLeave(mu, Synch_GetReentrantLocks());
}

// Re-entrant ReaderLock and ReaderUnlock, out of line so that the plain
// fast paths stay short: whether the calling thread already held mu in
// shared mode (then it counts one more hold and is done) / still holds it
// after this release.
ATTRIBUTE_NOINLINE bool ReaderReentered(Mutex *mu) {
  if (!ReaderEnter(mu)) return false;
  if ((NoBarrier_Load(reinterpret_cast<volatile AtomicWord *>(mu)) &
       kMuHasEvent) != 0) {
    PostSynchEvent(mu, SYNCH_EV_READERLOCK);
    PostSynchEvent(mu, SYNCH_EV_READERLOCK_RETURNING);
  }
  return true;
}

ATTRIBUTE_NOINLINE bool ReaderStillHeld(Mutex *mu) {
  if (!ReaderLeave(mu)) return false;
  if ((NoBarrier_Load(reinterpret_cast<volatile AtomicWord *>(mu)) &
       kMuHasEvent) != 0) {
    PostSynchEvent(mu, SYNCH_EV_READERUNLOCK);
  }
  return true;
}

// ---- Access modes ----

const MuHowS kSharedS = {
    kMuWriter | kMuWait | kMuHasEvent,     // fast_need_zero
    kMuReader,                             // fast_or
    kMuReaderUnit,                         // fast_add
    kMuWriter | kMuWait,                   // slow_need_zero
    kMuQueueLock | kMuWriter | kMuWrWait,  // slow_inc_need_zero
};
const MuHowS kExclusiveS = {
    kMuWriter | kMuReader | kMuHasEvent,  // fast_need_zero
    kMuWriter,                            // fast_or
    0,                                    // fast_add
    kMuWriter | kMuReader,                // slow_need_zero
    ~static_cast<intptr_t>(0),            // slow_inc_need_zero: never joins
};
const MuHow kShared = &kSharedS;
const MuHow kExclusive = &kExclusiveS;

// Indexed by (flags & kWaitHasBlocked): a thread that was woken clears
// kMuDesigWaker when it next changes the word, and a woken reader may join
// other readers although a writer waits.
const intptr_t zap_desig_waker[] = {~static_cast<intptr_t>(0), ~kMuDesigWaker};
const intptr_t ignore_waiting_writers[] = {~static_cast<intptr_t>(0),
                                           ~kMuWrWait};

inline bool ExactlyOneReader(intptr_t v) {
  return (v & kMuHigh) == kMuReaderUnit;
}

inline PerThreadSynch *GetPerThreadSynch(intptr_t v) {
  return reinterpret_cast<PerThreadSynch *>(v & kMuHigh);
}

// ---- The waiter queue ----

// A circular list through `next`; the mutex word holds the tail, whose next
// is the head. All edits happen under kMuQueueLock.

// Whether two waiters wait in the same mode for conditions that certainly
// agree, so that one evaluation serves both.
inline bool MuSameCondition(PerThreadSynch *x, PerThreadSynch *y) {
  return x->waitp->how == y->waitp->how &&
         Condition::GuaranteedEqual(x->waitp->cond, y->waitp->cond);
}

// The last element of x's skip chain, shortening the chain on the way.
PerThreadSynch *Skip(PerThreadSynch *x) {
  PerThreadSynch *x0 = nullptr;
  PerThreadSynch *x1 = x;
  PerThreadSynch *x2 = x->skip;
  if (x2 != nullptr) {
    // Each visited record jumps two steps ahead.
    while ((x0 = x1, x1 = x2, x2 = x2->skip) != nullptr) {
      x0->skip = x2;
    }
    x->skip = x1;
  }
  return x1;
}

// to_be_removed is about to leave the queue: keeps ancestor's skip off it.
void FixSkip(PerThreadSynch *ancestor, PerThreadSynch *to_be_removed) {
  if (ancestor->skip == to_be_removed) {
    if (to_be_removed->skip != nullptr) {
      ancestor->skip = to_be_removed->skip;
    } else if (ancestor->next != to_be_removed) {
      ancestor->skip = ancestor->next;
    } else {
      ancestor->skip = nullptr;
    }
  }
}

void CondVarEnqueue(SynchWaitParams *waitp);

// Queues waitp's thread on the queue with tail `head` (null: none) of a
// mutex whose word was `mu`; returns the new tail. A CondVar wait goes to
// the CondVar instead (and the tail is returned unchanged).
PerThreadSynch *Enqueue(PerThreadSynch *head, SynchWaitParams *waitp,
                        intptr_t mu, int flags) {
  if (waitp->enqueue_func != nullptr) {
    waitp->enqueue_func(waitp);
    return head;
  }
  PerThreadSynch *s = waitp->thread;
  SYNCH_CHECK(s->waitp == 0 || s->waitp == waitp || s->suppress_fatal_errors,
              "detected illegal recursion into Mutex code");
  s->waitp = waitp;
  s->skip = nullptr;
  s->may_skip = true;
  s->wake = false;
  s->cond_waiter = ((flags & kWaitIsConditional) != 0);
  if (head == nullptr) {
    s->next = s;
    s->readers = mu;  // the reader count, in the high bits
    s->maybe_unlocking = false;
    return s;
  }
  // Priorities are read at most once a second, and only by the thread
  // itself (a record moved here by a CondVar signal belongs to another
  // thread, whose priority the signaller cannot read).
  const int64 now_cycles = CycleClock::Now();
  if (s->next_priority_read_cycles < now_cycles &&
      s->thread_identity == base::subtle::GetCurrentThreadIdentity()) {
    int policy;
    struct sched_param param;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) {
      s->priority = param.sched_priority;
    }
    s->next_priority_read_cycles =
        now_cycles + static_cast<int64>(CycleClock::Frequency());
  }
  PerThreadSynch *enqueue_after = nullptr;
  if (s->priority > head->priority) {
    if (!head->maybe_unlocking) {
      // After the last waiter whose priority is at least s's, not inside a
      // run of another condition.
      PerThreadSynch *advance_to = head;
      PerThreadSynch *cur;
      do {
        enqueue_after = advance_to;
        cur = enqueue_after->next;
        advance_to = Skip(cur);
        if (advance_to != cur && s->priority > advance_to->priority &&
            MuSameCondition(s, cur)) {
          advance_to = cur;
        }
      } while (s->priority <= advance_to->priority);
    } else if (waitp->how == kExclusive &&
               Condition::GuaranteedEqual(waitp->cond, nullptr)) {
      // An unlocker is scanning without the queue lock: only the head may
      // change, and an unconditional writer may take it.
      enqueue_after = head;
    }
  }
  if (enqueue_after != nullptr) {
    s->next = enqueue_after->next;
    enqueue_after->next = s;
    SYNCH_CHECK(enqueue_after->skip == 0 || MuSameCondition(enqueue_after, s),
                "Mutex Enqueue failure");
    if (enqueue_after != head && enqueue_after->may_skip &&
        MuSameCondition(enqueue_after, enqueue_after->next)) {
      enqueue_after->skip = enqueue_after->next;
    }
    if (MuSameCondition(s, s->next)) s->skip = s->next;
  } else {
    s->next = head->next;
    head->next = s;
    s->readers = head->readers;
    s->maybe_unlocking = head->maybe_unlocking;
    if (head->may_skip && MuSameCondition(head, s)) head->skip = s;
    head = s;
  }
  return head;
}

// Removes pw->next from the queue with tail head; returns the new tail.
PerThreadSynch *Dequeue(PerThreadSynch *head, PerThreadSynch *pw) {
  PerThreadSynch *w = pw->next;
  pw->next = w->next;
  if (head == w) {
    head = (pw == w) ? nullptr : pw;
  } else if (pw != head && MuSameCondition(pw, pw->next)) {
    pw->skip = pw->next->skip != nullptr ? pw->next->skip : pw->next;
  }
  return head;
}

// Moves the waiters marked `wake` from pw->next on to the end of the list
// *wake_tail, stopping after the first writer; returns the new tail.
PerThreadSynch *DequeueAllWakeable(PerThreadSynch *head, PerThreadSynch *pw,
                                   PerThreadSynch ***wake_tail) {
  PerThreadSynch *orig_h = head;
  PerThreadSynch *w = pw->next;
  bool skipped = false;
  do {
    if (w->wake) {
      SYNCH_CHECK(pw->skip == 0, "bad skip in DequeueAllWakeable");
      head = Dequeue(head, pw);
      w->next = **wake_tail;
      **wake_tail = w;
      *wake_tail = &w->next;
      if (w->waitp->how == kExclusive) break;
    } else {
      pw = Skip(w);
      skipped = true;
    }
    w = pw->next;
  } while (orig_h == head && (pw != head || !skipped));
  return head;
}

// A relaxed spin of the exclusive fast path, up to the module's attempt
// count (at least once). Gives up when readers hold or the mutex has an
// event record.
bool TryAcquireWithSpinning(volatile AtomicWord *mu) {
  int c = NoBarrier_Load(&synch_lock_attempts);
  intptr_t v;
  do {
    v = NoBarrier_Load(mu);
    if ((v & (kMuReader | kMuHasEvent)) != 0) return false;
    if ((v & kMuWriter) == 0 &&
        Acquire_CompareAndSwap(mu, v, v | kMuWriter) == v) {
      return true;
    }
  } while (--c > 0);
  return false;
}

// An absolute CLOCK_REALTIME deadline timeout_ms from now (negative: now).
struct timespec DeadlineFromTimeout(int64 timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  struct timeval now;
  gettimeofday(&now, nullptr);
  const int64 ns =
      static_cast<int64>(now.tv_usec) * 1000 + (timeout_ms % 1000) * 1000000;
  struct timespec deadline;
  deadline.tv_sec = now.tv_sec + timeout_ms / 1000 + ns / 1000000000;
  deadline.tv_nsec = ns % 1000000000;
  return deadline;
}

bool IsZero(void *arg) { return *static_cast<int *>(arg) == 0; }

// The fatal ends of the release fast paths, out of line so that those stay
// short leaf functions.
[[noreturn]] ATTRIBUTE_NOINLINE void DieUnlockedWhenNotLocked(intptr_t v) {
  RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__,
             "Mutex unlocked when destroyed or not locked: v=0x%x",
             static_cast<unsigned>(v));
  abort();  // not reached
}

[[noreturn]] ATTRIBUTE_NOINLINE void DieReaderUnlockedWhenNotShared(
    intptr_t v) {
  // clang-format off
  SYNCH_CHECK((v & (kMuWriter|kMuReader)) == kMuReader,
              "ReaderUnlock of a Mutex not held in shared mode");
  // clang-format on
  abort();  // not reached
}

}  // namespace

// ---- Per-thread record access ----

PerThreadSynch *Synch_GetPerThread() {
  PerThread::Allocate(&synch_per_thread_key, &ReclaimPerThreadSynch);
  void **slot = PerThread::Data(synch_per_thread_key);
  PerThreadSynch *s = static_cast<PerThreadSynch *>(*slot);
  if (PREDICT_FALSE(s == nullptr)) {
    s = NewPerThreadSynch();
    *slot = s;
  }
  s->thread_identity = base::subtle::CurrentThreadIdentity(true);
  return s;
}

void Synch_PerThreadTick(PerThreadSynch *s) {
  base::internal::PerThreadSem::Tick(s->thread_identity);
}

void InitMainThreadID() {
  main_thread = pthread_self();
  __atomic_store_n(&main_thread_recorded, 1, __ATOMIC_RELEASE);
  const int cpus = NumCPUs();
  NoBarrier_Store(&synch_num_cpus, cpus);
  NoBarrier_Store(&synch_lock_attempts, cpus > 1 ? 1500 : 0);
}

bool is_default_thread() {
  if (__atomic_load_n(&main_thread_recorded, __ATOMIC_ACQUIRE) == 0) {
    return true;
  }
  return pthread_equal(pthread_self(), main_thread) != 0;
}

SynchWaitParams::SynchWaitParams(MuHow how_arg, const Condition *cond_arg,
                                 const struct timespec *ts_arg, Mutex *cvmu_arg,
                                 PerThreadSynch *thread_arg,
                                 void (*enqueue_func_arg)(SynchWaitParams *),
                                 volatile AtomicWord *cv_word_arg)
    : how(how_arg),
      cond(cond_arg),
      ts(ts_arg),
      cvmu(cvmu_arg),
      thread(thread_arg),
      enqueue_func(enqueue_func_arg),
      cv_word(cv_word_arg),
      contention_start_cycles(CycleClock::Now()) {}

// ---- Condition ----

const Condition Condition::kTrue;

Condition::Condition(bool (*func)(void *), void *arg)
    : eval_(func), method_(nullptr), arg_(arg) {}

namespace {
bool Dereference(void *arg) { return *static_cast<const bool *>(arg); }
}  // namespace

Condition::Condition(const bool *cond)
    : eval_(&Dereference), method_(nullptr), arg_(const_cast<bool *>(cond)) {}

bool Condition::Eval() const {
  if (this->method_ != nullptr) {
    // (Through a function type without parameters, which any function
    // pointer may be converted to and back.)
    return reinterpret_cast<InternalMethodCallerType>(
        reinterpret_cast<void (*)()>(this->eval_))(this->arg_, this->method_);
  }
  if (this->eval_ != nullptr) return this->eval_(this->arg_);
  return true;
}

bool Condition::GuaranteedEqual(const Condition *a, const Condition *b) {
  if (a == nullptr || b == nullptr || b->eval_ == nullptr) {
    return (a == nullptr || a->eval_ == nullptr) &&
           (b == nullptr || b->eval_ == nullptr);
  }
  static_assert(sizeof(InternalMethodType) == 2 * sizeof(uintptr_t),
                "a method pointer is two words");
  uintptr_t a_method[2], b_method[2];
  memcpy(a_method, &a->method_, sizeof a_method);
  memcpy(b_method, &b->method_, sizeof b_method);
  return a->eval_ == b->eval_ && a->arg_ == b->arg_ &&
         a_method[0] == b_method[0] &&
         (a_method[0] == 0 || a_method[1] == b_method[1]);
}

// ---- Mutex: construction, debugging ----

Mutex::Mutex() : mu_(0) { this->ForgetDeadlockInfo(); }

Mutex::Mutex(bool debug_log, const char *name) : mu_(0) {
  if (debug_log) this->EnableDebugLog(name);
}

Mutex::~Mutex() {
  const intptr_t v = NoBarrier_Load(&this->mu_);
  if ((v & kMuHasEvent) != 0 && !MainHasReturned()) {
    ForgetSynchEvent(&this->mu_, kMuHasEvent, kMuQueueLock);
  }
  if (DeadlockDetectionOn() && (v & (kMuWriter | kMuReader)) != 0) {
    DeadlockLeaveOnDestruction(this);
  }
  // A reader-held mutex leaves the re-entrant list, so that a new mutex at
  // the same address is not taken for one the thread holds.
  if ((v & (kMuReader | kMuReadReentry)) == (kMuReader | kMuReadReentry)) {
    PerThreadSynch *s = CurrentPerThreadSynchIfAny();
    if (s != nullptr && s->reentrant_locks != nullptr) {
      LockLeaveOnDestruction(this, s->reentrant_locks);
    }
  }
}

void Mutex::EnableDebugLog(const char *name) {
  SynchEvent *e = EnsureSynchEvent(&this->mu_, name, kMuHasEvent, kMuQueueLock);
  {
    SpinLockHolder holder(&synch_event_mu);
    e->log = true;
  }
  UnrefSynchEvent(e);
}

void Mutex::EnableInvariantDebugging(void (*invariant)(void *), void *arg) {
  if (FLAGS_synch_check_invariants && invariant != nullptr) {
    SynchEvent *e =
        EnsureSynchEvent(&this->mu_, nullptr, kMuHasEvent, kMuQueueLock);
    {
      SpinLockHolder holder(&synch_event_mu);
      e->invariant = invariant;
      e->arg = arg;
    }
    UnrefSynchEvent(e);
  }
}

void Mutex::EnableReaderReentry() {
  AtomicSetBits(&this->mu_, kMuReadReentry, kMuQueueLock);
}

void Mutex::ForgetDeadlockInfo() {
  if (DeadlockDetectionOn()) DeadlockForgetMutex(this);
}

void Mutex::InternalAttemptToUseMutexInFatalSignalHandler() {
  PerThreadSynch *s = CurrentPerThreadSynchIfAny();
  if (s != nullptr) s->suppress_fatal_errors = true;
  FLAGS_synch_deadlock_detection = 0;
}

void Mutex::AssertHeld() const {
  if ((NoBarrier_Load(&this->mu_) & kMuWriter) == 0) {
    SynchEvent *e = GetSynchEvent(this);
    RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__,
               "thread should hold write lock on Mutex %p %s",
               static_cast<const void *>(this), SynchEventName(e));
  }
}

void Mutex::AssertReaderHeld() const {
  if ((NoBarrier_Load(&this->mu_) & (kMuReader | kMuWriter)) == 0) {
    SynchEvent *e = GetSynchEvent(this);
    RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__,
               "thread should hold at least a read lock on Mutex %p %s",
               static_cast<const void *>(this), SynchEventName(e));
  }
}

void Mutex::AssertNotHeld() const {
  if (DeadlockDetectionOn() && DeadlockListHolds(this)) {
    SynchEvent *e = GetSynchEvent(this);
    RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__,
               "thread should not hold mutex %p %s",
               static_cast<const void *>(this), SynchEventName(e));
  }
}

// ---- Mutex: semaphores ----

void Mutex::IncrementSynchSem(Mutex *mu, ThreadIdentity *identity) {
  base::internal::PerThreadSem::Post(identity);
}

bool Mutex::DecrementSynchSem(Mutex *mu, PerThreadSynch *w,
                              const struct timespec *deadline) {
  SYNCH_CHECK(w == Synch_GetPerThread(), "Waiting on remote synch?");
  return base::internal::PerThreadSem::Wait(deadline);
}

// ---- Mutex: exclusive and shared acquisition ----

void Mutex::Lock() {
  TsanPreLock(this, false);
  DebugOnlyDeadlockCheck(this);
  const intptr_t v = NoBarrier_Load(&this->mu_);
  // A queued waiter does not stop a new locker (kMuWait is ignored).
  if (PREDICT_FALSE((v & (kMuWriter | kMuReader | kMuHasEvent)) != 0 ||
                    Acquire_CompareAndSwap(&this->mu_, v, v | kMuWriter) !=
                        v)) {
    if (!TryAcquireWithSpinning(&this->mu_)) {
      this->LockSlow(kExclusive, nullptr, 0);
    }
  }
  DebugOnlyLockEnter(this, true);
  TsanPostLock(this, false);
}

void Mutex::ReaderLock() {
  if (PREDICT_FALSE((NoBarrier_Load(&this->mu_) & kMuReadReentry) != 0) &&
      ReaderReentered(this)) {
    return;
  }
  TsanPreLock(this, true);
  DebugOnlyDeadlockCheck(this);
  const intptr_t v = NoBarrier_Load(&this->mu_);
  // Readers never pass queued waiters on the fast path.
  if (PREDICT_FALSE((v & (kMuWriter | kMuWait | kMuHasEvent)) != 0 ||
                    Acquire_CompareAndSwap(
                        &this->mu_, v, (v | kMuReader) + kMuReaderUnit) != v)) {
    this->LockSlow(kShared, nullptr, 0);
  }
  DebugOnlyLockEnter(this, false);
  TsanPostLock(this, true);
}

void Mutex::LockWhen(const Condition &cond) {
  TsanPreLock(this, false);
  DebugOnlyDeadlockCheck(this);
  this->LockSlow(kExclusive, &cond, 0);
  DebugOnlyLockEnter(this, true);
  TsanPostLock(this, false);
}

bool Mutex::LockWhenWithTimeout(const Condition &cond, int64 timeout_ms) {
  const struct timespec deadline = DeadlineFromTimeout(timeout_ms);
  TsanPreLock(this, false);
  DebugOnlyDeadlockCheck(this);
  const bool res = this->LockSlowWithTimeout(kExclusive, &cond, &deadline, 0);
  DebugOnlyLockEnter(this, true);
  TsanPostLock(this, false);
  return res;
}

void Mutex::ReaderLockWhen(const Condition &cond) {
  if ((NoBarrier_Load(&this->mu_) & kMuReadReentry) != 0 && ReaderEnter(this)) {
    SYNCH_CHECK(cond.Eval(),
                "Deadlock re-entering reader lock conditionally with a "
                "condition that is currently false; the condition will never "
                "become true since the reader lock is held.");
    return;
  }
  TsanPreLock(this, true);
  DebugOnlyDeadlockCheck(this);
  this->LockSlow(kShared, &cond, 0);
  DebugOnlyLockEnter(this, false);
  TsanPostLock(this, true);
}

bool Mutex::ReaderLockWhenWithTimeout(const Condition &cond, int64 timeout_ms) {
  if ((NoBarrier_Load(&this->mu_) & kMuReadReentry) != 0 && ReaderEnter(this)) {
    if (!cond.Eval()) {
      RAW_LOG_AT(FATAL, SYNCH_FILE, __LINE__, "Check failed: cond.Eval() ");
    }
    return true;
  }
  const struct timespec deadline = DeadlineFromTimeout(timeout_ms);
  TsanPreLock(this, true);
  DebugOnlyDeadlockCheck(this);
  const bool res = this->LockSlowWithTimeout(kShared, &cond, &deadline, 0);
  DebugOnlyLockEnter(this, false);
  TsanPostLock(this, true);
  return res;
}

bool Mutex::TryLock() {
  TsanPreTryLock(this, false);
  const intptr_t v = NoBarrier_Load(&this->mu_);
  if ((v & (kMuWriter | kMuReader | kMuHasEvent)) == 0 &&
      Acquire_CompareAndSwap(&this->mu_, v, v | kMuWriter) == v) {
    DebugOnlyLockEnter(this, true);
    TsanPostTryLock(this, false, true);
    return true;
  }
  if ((v & kMuHasEvent) != 0) {
    if ((v & (kMuWriter | kMuReader)) == 0 &&
        Acquire_CompareAndSwap(&this->mu_, v, v | kMuWriter) == v) {
      DebugOnlyLockEnter(this, true);
      PostSynchEvent(this, SYNCH_EV_TRYLOCK_SUCCESS);
      TsanPostTryLock(this, false, true);
      return true;
    }
    PostSynchEvent(this, SYNCH_EV_TRYLOCK_FAILED);
  }
  TsanPostTryLock(this, false, false);
  return false;
}

bool Mutex::ReaderTryLock() {
  const bool reentrant = (NoBarrier_Load(&this->mu_) & kMuReadReentry) != 0;
  if (reentrant && ReaderEnter(this)) {
    if ((NoBarrier_Load(&this->mu_) & kMuHasEvent) != 0) {
      PostSynchEvent(this, SYNCH_EV_READERTRYLOCK_SUCCESS);
    }
    return true;
  }
  TsanPreTryLock(this, true);
  intptr_t v = NoBarrier_Load(&this->mu_);
  int loop_limit = 5;
  while ((v & (kMuWriter | kMuWait | kMuHasEvent)) == 0 && loop_limit != 0) {
    if (Acquire_CompareAndSwap(&this->mu_, v,
                               (v | kMuReader) + kMuReaderUnit) == v) {
      DebugOnlyLockEnter(this, false);
      TsanPostTryLock(this, true, true);
      return true;
    }
    loop_limit--;
    v = NoBarrier_Load(&this->mu_);
  }
  if ((v & kMuHasEvent) != 0) {
    loop_limit = 5;
    while ((v & (kMuWriter | kMuWait)) == 0 && loop_limit != 0) {
      if (Acquire_CompareAndSwap(&this->mu_, v,
                                 (v | kMuReader) + kMuReaderUnit) == v) {
        DebugOnlyLockEnter(this, false);
        PostSynchEvent(this, SYNCH_EV_READERTRYLOCK_SUCCESS);
        TsanPostTryLock(this, true, true);
        return true;
      }
      loop_limit--;
      v = NoBarrier_Load(&this->mu_);
    }
    PostSynchEvent(this, SYNCH_EV_READERTRYLOCK_FAILED);
  }
  TsanPostTryLock(this, true, false);
  if (reentrant) ReaderLeave(this);  // undo the entry made above
  return false;
}

// ---- Mutex: release ----

void Mutex::Unlock() {
  DebugOnlyLockLeave(this, true);
  const intptr_t v = NoBarrier_Load(&this->mu_);
  if (PREDICT_FALSE((v & (kMuWriter | kMuReader)) != kMuWriter)) {
    DieUnlockedWhenNotLocked(v);
  }
  TsanPreUnlock(this, false);
  // Fast release unless there is a record, or waiters and nobody already
  // responsible for waking one.
  if (PREDICT_FALSE((v & kMuHasEvent) != 0 ||
                    (v & (kMuWait | kMuDesigWaker)) == kMuWait ||
                    Release_CompareAndSwap(
                        &this->mu_, v, v & ~(kMuWriter | kMuWrWait)) != v)) {
    this->UnlockSlow(nullptr);
  }
  TsanPostUnlock(this, false);
}

void Mutex::ReaderUnlock() {
  if (PREDICT_FALSE((NoBarrier_Load(&this->mu_) & kMuReadReentry) != 0) &&
      ReaderStillHeld(this)) {
    return;
  }
  DebugOnlyLockLeave(this, false);
  const intptr_t v = NoBarrier_Load(&this->mu_);
  if (PREDICT_FALSE((v & (kMuWriter | kMuReader)) != kMuReader)) {
    DieReaderUnlockedWhenNotShared(v);
  }
  TsanPreUnlock(this, true);
  if (PREDICT_FALSE((v & (kMuReader | kMuWait | kMuHasEvent)) != kMuReader ||
                    Release_CompareAndSwap(
                        &this->mu_, v,
                        v - (ExactlyOneReader(v) ? kMuReader | kMuReaderUnit
                                                 : kMuReaderUnit)) != v)) {
    this->UnlockSlow(nullptr);
  }
  TsanPostUnlock(this, true);
}

// ---- Mutex: conditional critical sections ----

void Mutex::Await(const Condition &cond) {
  if (cond.Eval()) {
    this->AssertReaderHeld();
    return;
  }
  SYNCH_CHECK(this->AwaitCommon(cond, 0),
              "condition untrue on return from Await");
}

bool Mutex::AwaitWithTimeout(const Condition &cond, int64 timeout_ms) {
  if (cond.Eval()) {
    this->AssertReaderHeld();
    return true;
  }
  const struct timespec deadline = DeadlineFromTimeout(timeout_ms);
  return this->AwaitCommon(cond, &deadline);
}

bool Mutex::AwaitCommon(const Condition &cond,
                        const struct timespec *deadline) {
  this->AssertReaderHeld();
  const MuHow how =
      (NoBarrier_Load(&this->mu_) & kMuWriter) != 0 ? kExclusive : kShared;
  SYNCH_CHECK(how == kExclusive || (base::subtle::NoBarrier_Load(&this->mu_) &
                                    kMuReadReentry) == 0,
              "Can't Await() with a re-entrant reader lock.  Await() could "
              "unlock lock held by a re-entered reader who is expecting lock "
              "to be held throughout.");
  const bool shared = (how == kShared);
  SynchWaitParams waitp(how, &cond, deadline, nullptr, Synch_GetPerThread(),
                        nullptr, nullptr);
  int flags = kWaitHasBlocked;
  if (!Condition::GuaranteedEqual(&cond, nullptr)) flags |= kWaitIsConditional;
  // To the race detector the wait is a release followed by an acquisition.
  TsanPreUnlock(this, shared);
  this->UnlockSlow(&waitp);
  this->Block(waitp.thread);
  TsanPostUnlock(this, shared);
  TsanPreLock(this, shared);
  this->LockSlowLoop(&waitp, flags);
  const bool res = waitp.cond != nullptr || cond.Eval();
  TsanPostLock(this, shared);
  return res;
}

// ---- Mutex: slow paths ----

void Mutex::LockSlow(MuHow how, const Condition *cond, int flags) {
  SYNCH_CHECK(this->LockSlowWithTimeout(how, cond, 0, flags),
              "condition untrue on return from LockSlow");
}

bool Mutex::LockSlowWithTimeout(MuHow how, const Condition *cond,
                                const struct timespec *deadline, int flags) {
  intptr_t v = NoBarrier_Load(&this->mu_);
  bool unlock = false;
  if ((v & how->fast_need_zero) == 0 &&
      Acquire_CompareAndSwap(
          &this->mu_, v,
          (how->fast_or | (v & zap_desig_waker[flags & kWaitHasBlocked])) +
              how->fast_add) == v) {
    if (cond == nullptr || cond->Eval()) return true;
    unlock = true;  // acquired with the condition false: give it back
  }
  SynchWaitParams waitp(how, cond, deadline, nullptr, Synch_GetPerThread(),
                        nullptr, nullptr);
  if (!Condition::GuaranteedEqual(cond, nullptr)) flags |= kWaitIsConditional;
  if (unlock) {
    this->UnlockSlow(&waitp);  // releases and queues in one step
    this->Block(waitp.thread);
    flags |= kWaitHasBlocked;
  }
  this->LockSlowLoop(&waitp, flags);
  // The condition is cleared only when the wait timed out.
  return waitp.cond != nullptr || cond == nullptr || cond->Eval();
}

void Mutex::LockSlowLoop(SynchWaitParams *waitp, int flags) {
  int c = 0;
  intptr_t v = NoBarrier_Load(&this->mu_);
  if ((v & kMuHasEvent) != 0) {
    PostSynchEvent(
        this, waitp->how == kExclusive ? SYNCH_EV_LOCK : SYNCH_EV_READERLOCK);
  }
  SYNCH_CHECK(waitp->thread->waitp == 0 || waitp->thread->suppress_fatal_errors,
              "detected illegal recursion into Mutex code");
  for (;;) {
    v = NoBarrier_Load(&this->mu_);
    SYNCH_CHECK_F((v & (kMuWriter | kMuReader)) != (kMuWriter | kMuReader),
                  "Lock: Mutex corrupt: both reader and writer lock held: %p",
                  reinterpret_cast<void *>(v));
    SYNCH_CHECK_F((v & (kMuWait | kMuWrWait)) != kMuWrWait,
                  "Lock: Mutex corrupt: waiting writer with no waiters: %p",
                  reinterpret_cast<void *>(v));
    if ((v & waitp->how->slow_need_zero) == 0) {
      if (Acquire_CompareAndSwap(
              &this->mu_, v,
              (waitp->how->fast_or |
               (v & zap_desig_waker[flags & kWaitHasBlocked])) +
                  waitp->how->fast_add) == v) {
        if (waitp->cond == nullptr || waitp->cond->Eval()) break;
        this->UnlockSlow(waitp);
        this->Block(waitp->thread);
        flags |= kWaitHasBlocked;
        c = 0;
      }
    } else {
      bool dowait = false;
      if ((v & (kMuQueueLock | kMuWait)) == 0) {
        // No queue yet: this thread becomes it.
        PerThreadSynch *new_h = Enqueue(nullptr, waitp, v, flags);
        intptr_t nv =
            (v & zap_desig_waker[flags & kWaitHasBlocked] & kMuLow) | kMuWait;
        SYNCH_CHECK(new_h != 0, "Enqueue to empty list failed");
        if (waitp->how == kExclusive && (v & kMuReader) != 0) {
          nv |= kMuWrWait;
        }
        if (Release_CompareAndSwap(
                &this->mu_, v, reinterpret_cast<intptr_t>(new_h) | nv) == v) {
          dowait = true;
        } else {
          waitp->thread->waitp = nullptr;  // undo the Enqueue
        }
      } else if ((v & waitp->how->slow_inc_need_zero &
                  ignore_waiting_writers[flags & kWaitHasBlocked]) == 0) {
        // A reader joins the readers that hold the mutex; the count lives
        // in the tail record while there is a queue.
        if (Acquire_CompareAndSwap(
                &this->mu_, v,
                (v & zap_desig_waker[flags & kWaitHasBlocked]) | kMuQueueLock |
                    kMuReader) == v) {
          PerThreadSynch *h = GetPerThreadSynch(v);
          h->readers += kMuReaderUnit;
          do {
            v = NoBarrier_Load(&this->mu_);
          } while (Release_CompareAndSwap(
                       &this->mu_, v, (v & ~kMuQueueLock) | kMuReader) != v);
          if (waitp->cond == nullptr || waitp->cond->Eval()) break;
          this->UnlockSlow(waitp);
          this->Block(waitp->thread);
          flags |= kWaitHasBlocked;
          c = 0;
        }
      } else if ((v & kMuQueueLock) == 0 &&
                 Acquire_CompareAndSwap(
                     &this->mu_, v,
                     (v & zap_desig_waker[flags & kWaitHasBlocked]) |
                         kMuQueueLock | kMuWait) == v) {
        // Join the queue.
        PerThreadSynch *h = GetPerThreadSynch(v);
        PerThreadSynch *new_h = Enqueue(h, waitp, v, flags);
        SYNCH_CHECK(new_h != 0, "Enqueue to list failed");
        intptr_t wr_wait = 0;
        if (waitp->how == kExclusive && (v & kMuReader) != 0) {
          wr_wait = kMuWrWait;
        }
        do {
          v = NoBarrier_Load(&this->mu_);
        } while (Release_CompareAndSwap(
                     &this->mu_, v,
                     (v & (kMuLow & ~kMuQueueLock)) | kMuWait | wr_wait |
                         reinterpret_cast<intptr_t>(new_h)) != v);
        dowait = true;
      }
      if (dowait) {
        this->Block(waitp->thread);
        flags |= kWaitHasBlocked;
        c = 0;
      }
    }
    SYNCH_CHECK(
        waitp->thread->waitp == 0 || waitp->thread->suppress_fatal_errors,
        "detected illegal recursion into Mutex code");
    c = Delay(c, GENTLE);
  }
  SYNCH_CHECK(waitp->thread->waitp == 0 || waitp->thread->suppress_fatal_errors,
              "detected illegal recursion into Mutex code");
  if ((v & kMuHasEvent) != 0) {
    PostSynchEvent(this, waitp->how == kExclusive
                             ? SYNCH_EV_LOCK_RETURNING
                             : SYNCH_EV_READERLOCK_RETURNING);
  }
}

void Mutex::UnlockSlow(SynchWaitParams *waitp) {
  intptr_t v = NoBarrier_Load(&this->mu_);
  this->AssertReaderHeld();
  SYNCH_CHECK_F((v & (kMuWriter | kMuReader)) != (kMuWriter | kMuReader),
                "Unlock: Mutex corrupt: both reader and writer lock held: %p",
                reinterpret_cast<void *>(v));
  SYNCH_CHECK_F((v & (kMuWait | kMuWrWait)) != kMuWrWait,
                "Unlock: Mutex corrupt: waiting writer with no waiters: %p",
                reinterpret_cast<void *>(v));
  if ((v & kMuHasEvent) != 0) {
    PostSynchEvent(
        this, (v & kMuWriter) != 0 ? SYNCH_EV_UNLOCK : SYNCH_EV_READERUNLOCK);
  }
  SYNCH_CHECK(waitp == 0 || waitp->thread->waitp == 0 ||
                  waitp->thread->suppress_fatal_errors,
              "detected illegal recursion into Mutex code");

  int c = 0;
  // The waiter chosen to be woken first, and its predecessor.
  PerThreadSynch *w = nullptr;
  PerThreadSynch *pw = nullptr;
  // The tail when the queue was last scanned; waiters after it arrived
  // during the scan.
  PerThreadSynch *old_h = nullptr;
  // A condition found false during this release.
  const Condition *known_false = nullptr;
  PerThreadSynch *wake_list = kPerThreadSynchNull;
  PerThreadSynch **wake_tail = &wake_list;
  intptr_t wr_wait = 0;

  for (;;) {
    v = NoBarrier_Load(&this->mu_);
    if ((v & kMuWriter) != 0 && (v & (kMuWait | kMuDesigWaker)) != kMuWait &&
        waitp == nullptr) {
      // Nobody to wake (or a woken thread will): plain writer release.
      if (Release_CompareAndSwap(&this->mu_, v, v & ~(kMuWriter | kMuWrWait)) ==
          v) {
        return;
      }
    } else if ((v & (kMuReader | kMuWait)) == kMuReader && waitp == nullptr) {
      // Plain reader release.
      const intptr_t clear =
          ExactlyOneReader(v) ? kMuReader | kMuReaderUnit : kMuReaderUnit;
      if (Release_CompareAndSwap(&this->mu_, v, v - clear) == v) return;
    } else if ((v & kMuQueueLock) == 0 &&
               Acquire_CompareAndSwap(&this->mu_, v, v | kMuQueueLock) == v) {
      if ((v & kMuWait) == 0) {
        // No queue: the caller releases in order to wait.
        SYNCH_CHECK(waitp != 0, "UnlockSlow is confused");
        bool do_enqueue = true;
        intptr_t nv;
        do {
          v = NoBarrier_Load(&this->mu_);
          const intptr_t new_readers = (v > kMuLow) ? v - kMuReaderUnit : v;
          PerThreadSynch *new_h = nullptr;
          if (do_enqueue) {
            // A CondVar wait queues once (on the CondVar); a mutex wait
            // rebuilds its one-record queue on every attempt.
            do_enqueue = (waitp->enqueue_func == nullptr);
            new_h = Enqueue(nullptr, waitp, new_readers, kWaitIsConditional);
          }
          intptr_t clear = kMuWrWait | kMuWriter;
          if ((v & (kMuHigh | kMuWriter)) == kMuReaderUnit) {
            clear = kMuWrWait | kMuReader;  // the last reader
          }
          nv = v & kMuLow & ~clear & ~kMuQueueLock;
          if (new_h != nullptr) {
            nv |= kMuWait | reinterpret_cast<intptr_t>(new_h);
          } else {
            nv |= new_readers & kMuHigh;
          }
        } while (Release_CompareAndSwap(&this->mu_, v, nv) != v);
        break;
      }

      PerThreadSynch *h = GetPerThreadSynch(v);
      if ((v & kMuReader) != 0 && (h->readers & kMuHigh) > kMuReaderUnit) {
        // Other readers still hold: drop one and wake nobody.
        h->readers -= kMuReaderUnit;
        intptr_t nv = v;
        if (waitp != nullptr) {
          PerThreadSynch *new_h = Enqueue(h, waitp, v, kWaitIsConditional);
          SYNCH_CHECK(new_h != 0, "waiters disappeared during Enqueue()!");
          nv &= kMuLow;
          nv |= kMuWait | reinterpret_cast<intptr_t>(new_h);
        }
        Release_Store(&this->mu_, nv);  // also frees the queue lock
        break;
      }

      SYNCH_CHECK(old_h == 0 || h->maybe_unlocking,
                  "Mutex queue changed beneath us");
      if (old_h != nullptr && !old_h->may_skip) {
        // The scan that barred it from skipping is over.
        old_h->may_skip = true;
        SYNCH_CHECK(old_h->skip == 0, "illegal skip from head");
        if (h != old_h && MuSameCondition(old_h, old_h->next)) {
          old_h->skip = old_h->next;
        }
      }
      if (h->next->waitp->how == kExclusive &&
          Condition::GuaranteedEqual(h->next->waitp->cond, nullptr)) {
        // The head is an unconditional writer: wake it alone.
        pw = h;
        w = h->next;
        w->wake = true;
        wr_wait = kMuWrWait;
      } else if (w != nullptr && (w->waitp->how == kExclusive || h == old_h)) {
        // A scan has chosen, and nothing it did not see could join.
        if (pw == nullptr) pw = h;
      } else {
        if (old_h == h) {
          // Every waiter was scanned and none can run.
          intptr_t nv = v & ~(kMuReader | kMuWriter | kMuWrWait);
          h->readers = 0;
          h->maybe_unlocking = false;
          if (waitp != nullptr) {
            PerThreadSynch *new_h = Enqueue(h, waitp, v, kWaitIsConditional);
            nv &= kMuLow;
            if (new_h != nullptr) {
              nv |= kMuWait | reinterpret_cast<intptr_t>(new_h);
            }
          }
          Release_Store(&this->mu_, nv);
          break;
        }

        // Scan without the queue lock (still holding the mutex), so that
        // arriving waiters can queue meanwhile; they are appended after h.
        PerThreadSynch *w_walk;
        PerThreadSynch *pw_walk;
        if (old_h != nullptr) {
          pw_walk = old_h;
          w_walk = old_h->next;
        } else {
          pw_walk = nullptr;
          w_walk = h->next;
        }
        h->may_skip = false;
        SYNCH_CHECK(h->skip == 0, "illegal skip from head");
        h->maybe_unlocking = true;
        Release_Store(&this->mu_, v);  // frees the queue lock
        old_h = h;
        while (pw_walk != h) {
          w_walk->wake = false;
          if (w_walk->waitp->cond == nullptr ||
              ((known_false == nullptr ||
                !Condition::GuaranteedEqual(known_false,
                                            w_walk->waitp->cond)) &&
               w_walk->waitp->cond->Eval())) {
            if (w == nullptr) {
              w_walk->wake = true;
              w = w_walk;
              pw = pw_walk;
              if (w_walk->waitp->how == kExclusive) {
                wr_wait = kMuWrWait;
                break;
              }
            } else if (w_walk->waitp->how == kShared) {
              w_walk->wake = true;
            } else {
              wr_wait = kMuWrWait;
            }
          } else {
            known_false = w_walk->waitp->cond;
          }
          // A woken waiter may be followed by more of its run; a skipped
          // one takes its whole run along.
          pw_walk = w_walk->wake ? w_walk : Skip(w_walk);
          if (pw_walk != h) w_walk = pw_walk->next;
        }
        continue;  // retake the queue lock at once
      }

      SYNCH_CHECK(pw->next == w, "pw not w's predecessor");
      h = DequeueAllWakeable(h, pw, &wake_tail);
      intptr_t nv = (v & (kMuHasEvent | kMuReadReentry)) | kMuDesigWaker;
      if (waitp != nullptr) h = Enqueue(h, waitp, v, kWaitIsConditional);
      SYNCH_CHECK(wake_list != kPerThreadSynchNull,
                  "unexpected empty wake list");
      if (h != nullptr) {
        h->readers = 0;
        h->maybe_unlocking = false;
        nv |= wr_wait | kMuWait | reinterpret_cast<intptr_t>(h);
      }
      Release_Store(&this->mu_, nv);
      break;
    }
    c = Delay(c, AGGRESSIVE);
  }

  if (wake_list != kPerThreadSynchNull) {
    // Read before the first waiter is released (its parameters live on its
    // stack).
    const int64 contention_start = wake_list->waitp->contention_start_cycles;
    const bool cond_waiter = wake_list->cond_waiter;
    do {
      wake_list = this->Wakeup(wake_list);
    } while (wake_list != kPerThreadSynchNull);
    if (!cond_waiter) {
      base::SampledTraceMutex("slow release", this, contention_start);
      base::SubmitMutexProfileData(contention_start);
    }
  }
}

// Releases w from the wake list and returns the next entry.
PerThreadSynch *Mutex::Wakeup(PerThreadSynch *w) {
  PerThreadSynch *next = w->next;
  ThreadIdentity *identity = w->thread_identity;
  Release_Store(&w->next, static_cast<PerThreadSynch *>(nullptr));
  IncrementSynchSem(this, identity);
  return next;
}

void Mutex::Block(PerThreadSynch *s) {
  while (Acquire_Load(&s->next) != nullptr) {
    if (!DecrementSynchSem(this, s, s->waitp->ts)) {
      // Timed out: leave the queue. Until that succeeds (the mutex must be
      // free to edit the queue) or a waker gets there first, keep trying.
      this->TryRemove(s);
      int c = 0;
      while (Acquire_Load(&s->next) != nullptr) {
        c = Delay(c, GENTLE);
        this->TryRemove(s);
      }
      // The caller now acquires without a condition and evaluates it once.
      s->waitp->ts = nullptr;
      s->waitp->cond = nullptr;
    }
  }
  SYNCH_CHECK(s->waitp != 0 || s->suppress_fatal_errors,
              "detected illegal recursion in Mutex code");
  s->waitp = nullptr;
}

void Mutex::TryRemove(PerThreadSynch *s) {
  intptr_t v = NoBarrier_Load(&this->mu_);
  // Only while the mutex is free and has a queue; holding kMuWriter as
  // well keeps everyone else off the queue.
  if ((v & (kMuWait | kMuQueueLock | kMuWriter | kMuReader)) == kMuWait &&
      Acquire_CompareAndSwap(&this->mu_, v, v | kMuQueueLock | kMuWriter) ==
          v) {
    PerThreadSynch *h = GetPerThreadSynch(v);
    if (h != nullptr) {
      PerThreadSynch *pw = h;
      PerThreadSynch *w;
      if ((w = pw->next) != s) {
        do {
          if (!MuSameCondition(s, w)) {
            pw = Skip(w);  // s is not in a run of another condition
          } else {
            FixSkip(w, s);
            pw = w;
          }
        } while ((w = pw->next) != s && pw != h);
      }
      if (w == s) {
        h = Dequeue(h, pw);
        s->next = nullptr;
      }
    }
    intptr_t nv;
    do {
      v = NoBarrier_Load(&this->mu_);
      nv = v & (kMuHasEvent | kMuDesigWaker | kMuReadReentry);
      if (h != nullptr) {
        nv |= kMuWait | reinterpret_cast<intptr_t>(h);
        h->readers = 0;
        h->maybe_unlocking = false;
      }
    } while (Release_CompareAndSwap(&this->mu_, v, nv) != v);
  }
}

void Mutex::Trans(MuHow how) {
  this->LockSlow(how, nullptr, kWaitHasBlocked | kWaitIsConditional);
}

void Mutex::Fer(PerThreadSynch *w) {
  int c = 0;
  SYNCH_CHECK(w->waitp->cond == 0, "Mutex::Fer while waiting on Condition");
  SYNCH_CHECK(w->waitp->ts == 0, "Mutex::Fer while in timed wait");
  SYNCH_CHECK(w->waitp->enqueue_func == 0,
              "Mutex::Fer with non-standard enqueue");
  for (;;) {
    intptr_t v = NoBarrier_Load(&this->mu_);
    if ((v & w->waitp->how->slow_need_zero) == 0) {
      // w could take the mutex now: wake it instead.
      ThreadIdentity *identity = w->thread_identity;
      Release_Store(&w->next, static_cast<PerThreadSynch *>(nullptr));
      IncrementSynchSem(this, identity);
      return;
    }
    if ((v & (kMuQueueLock | kMuWait)) == 0) {
      PerThreadSynch *new_h = Enqueue(nullptr, w->waitp, v, kWaitIsConditional);
      SYNCH_CHECK(new_h != 0, "Enqueue failed");
      if (Release_CompareAndSwap(&this->mu_, v,
                                 reinterpret_cast<intptr_t>(new_h) |
                                     (v & kMuLow) | kMuWait) == v) {
        return;
      }
    } else if ((v & kMuQueueLock) == 0 &&
               Acquire_CompareAndSwap(&this->mu_, v,
                                      v | kMuQueueLock | kMuWait) == v) {
      PerThreadSynch *h = GetPerThreadSynch(v);
      PerThreadSynch *new_h = Enqueue(h, w->waitp, v, kWaitIsConditional);
      SYNCH_CHECK(new_h != 0, "Enqueue failed");
      do {
        v = NoBarrier_Load(&this->mu_);
      } while (Release_CompareAndSwap(&this->mu_, v,
                                      (v & kMuLow & ~kMuQueueLock) | kMuWait |
                                          reinterpret_cast<intptr_t>(new_h)) !=
               v);
      return;
    }
    c = Delay(c, GENTLE);
  }
}

// ---- CondVar ----

namespace {

// Queues waitp's thread at the tail of the CondVar ring (called from the
// mutex's release, under the mutex's queue lock, so that no signal can fall
// between the release and the queueing).
void CondVarEnqueue(SynchWaitParams *waitp) {
  volatile AtomicWord *cv_word = waitp->cv_word;
  waitp->cv_word = nullptr;
  waitp->enqueue_func = nullptr;  // used once
  intptr_t v = NoBarrier_Load(cv_word);
  int c = 0;
  while ((v & kCvQueueLock) != 0 ||
         Acquire_CompareAndSwap(cv_word, v, v | kCvQueueLock) != v) {
    c = Delay(c, GENTLE);
    v = NoBarrier_Load(cv_word);
  }
  SYNCH_CHECK(waitp->thread->waitp == 0, "waiting when shouldn't be");
  waitp->thread->waitp = waitp;
  PerThreadSynch *h = reinterpret_cast<PerThreadSynch *>(v & ~kCvLow);
  if (h == nullptr) {
    waitp->thread->next = waitp->thread;
  } else {
    waitp->thread->next = h->next;
    h->next = waitp->thread;
  }
  Release_Store(cv_word,
                (v & kCvHasEvent) | reinterpret_cast<intptr_t>(waitp->thread));
}

}  // namespace

CondVar::CondVar() : cv_(0) {}

CondVar::CondVar(bool debug_log, const char *name) : cv_(0) {
  if (debug_log) this->EnableDebugLog(name);
}

CondVar::~CondVar() {
  if ((NoBarrier_Load(&this->cv_) & kCvHasEvent) != 0) {
    ForgetSynchEvent(&this->cv_, kCvHasEvent, kCvQueueLock);
  }
}

void CondVar::EnableDebugLog(const char *name) {
  SynchEvent *e = EnsureSynchEvent(&this->cv_, name, kCvHasEvent, kCvQueueLock);
  {
    SpinLockHolder holder(&synch_event_mu);
    e->log = true;
  }
  UnrefSynchEvent(e);
}

// Takes s off the ring; false when a signaller took it first.
bool CondVar::Remove(PerThreadSynch *s) {
  int c = 0;
  for (intptr_t v = NoBarrier_Load(&this->cv_);;
       v = NoBarrier_Load(&this->cv_)) {
    if ((v & kCvQueueLock) == 0 &&
        Acquire_CompareAndSwap(&this->cv_, v, v | kCvQueueLock) == v) {
      PerThreadSynch *h = reinterpret_cast<PerThreadSynch *>(v & ~kCvLow);
      bool removed = false;
      if (h != nullptr) {
        PerThreadSynch *w = h;
        while (w->next != s && w->next != h) w = w->next;
        if (w->next == s) {
          w->next = s->next;
          if (h == s) h = (w == s) ? nullptr : w;
          Release_Store(&s->next, static_cast<PerThreadSynch *>(nullptr));
          removed = true;
        }
      }
      Release_Store(&this->cv_,
                    (v & kCvHasEvent) | reinterpret_cast<intptr_t>(h));
      return removed;
    }
    c = Delay(c, GENTLE);
  }
}

bool CondVar::WaitGeneric(void *arg, const struct timespec *deadline,
                          void (*lock_func)(void *),
                          void (*unlock_func)(void *)) {
  Mutex *mutex = lock_func == nullptr ? static_cast<Mutex *>(arg) : nullptr;
  const intptr_t mutex_v = mutex != nullptr ? NoBarrier_Load(&mutex->mu_) : 0;
  const MuHow mutex_how = (mutex_v & kMuWriter) != 0 ? kExclusive : kShared;
  // clang-format off
  SYNCH_CHECK((mutex_v & (kMuReader|kMuReadReentry)) != (kMuReader|kMuReadReentry),
              "Can't Wait() with a re-entrant reader lock.  Wait() could "
              "unlock lock held by a re-entered reader who is expecting lock "
              "to be held throughout.");
  // clang-format on
  const bool shared = (mutex_how == kShared);
  const intptr_t v = NoBarrier_Load(&this->cv_);
  base::SampledTraceCV("Wait", this);
  if ((v & kCvHasEvent) != 0) PostSynchEvent(this, SYNCH_EV_WAIT);

  SynchWaitParams waitp(mutex_how, nullptr, deadline, mutex,
                        Synch_GetPerThread(), &CondVarEnqueue, &this->cv_);
  // To the race detector a wait releases the mutex and acquires it again.
  if (mutex != nullptr) {
    TsanPreUnlock(mutex, shared);
    mutex->UnlockSlow(&waitp);  // queues this thread on the CondVar
  } else {
    TsanIgnoreBegin(this);
    CondVarEnqueue(&waitp);
    TsanIgnoreEnd(this);
    unlock_func(arg);
    TsanIgnoreBegin(this);
  }

  bool timed_out = false;
  while (Acquire_Load(&waitp.thread->next) != nullptr) {
    if (!Mutex::DecrementSynchSem(mutex, waitp.thread, deadline)) {
      // Only a waiter still on the ring was not signalled; one that a
      // signaller already took is about to be released and counts as
      // signalled.
      if (this->Remove(waitp.thread)) timed_out = true;
    }
  }
  SYNCH_CHECK(waitp.thread->waitp != 0, "not waiting when should be");
  waitp.thread->waitp = nullptr;
  base::SampledTraceCV("Unwait", this);
  if ((v & kCvHasEvent) != 0) PostSynchEvent(this, SYNCH_EV_WAIT_RETURNING);

  if (mutex != nullptr) {
    TsanPostUnlock(mutex, shared);
    TsanPreLock(mutex, shared);
    mutex->Trans(mutex_how);
    TsanPostLock(mutex, shared);
  } else {
    TsanIgnoreEnd(this);
    lock_func(arg);
  }
  return timed_out;
}

void CondVar::Wait(Mutex *mu) {
  this->WaitGeneric(mu, nullptr, nullptr, nullptr);
}

bool CondVar::WaitWithTimeout(Mutex *mu, int64 timeout_ms) {
  const struct timespec deadline = DeadlineFromTimeout(timeout_ms);
  return this->WaitGeneric(mu, &deadline, nullptr, nullptr);
}

// A waiter taken off the ring: moved to its mutex's queue when it waits
// without a deadline on a Mutex, else woken.
void CondVar::Wakeup(PerThreadSynch *w) {
  Mutex *mu = w->waitp->cvmu;
  if (w->waitp->ts == nullptr && mu != nullptr) {
    mu->Fer(w);
  } else {
    ThreadIdentity *identity = w->thread_identity;
    Release_Store(&w->next, static_cast<PerThreadSynch *>(nullptr));
    Mutex::IncrementSynchSem(mu, identity);
  }
}

void CondVar::Signal() {
  TsanIgnoreBegin(this);
  int c = 0;
  for (intptr_t v = NoBarrier_Load(&this->cv_); v != 0;
       v = NoBarrier_Load(&this->cv_)) {
    if ((v & kCvQueueLock) == 0 &&
        Acquire_CompareAndSwap(&this->cv_, v, v | kCvQueueLock) == v) {
      PerThreadSynch *h = reinterpret_cast<PerThreadSynch *>(v & ~kCvLow);
      PerThreadSynch *w = nullptr;
      if (h != nullptr) {
        w = h->next;  // the head, the longest waiting
        if (w == h) {
          h = nullptr;
        } else {
          h->next = w->next;
        }
      }
      Release_Store(&this->cv_,
                    (v & kCvHasEvent) | reinterpret_cast<intptr_t>(h));
      if (w != nullptr) {
        CondVar::Wakeup(w);
        base::SampledTraceCV("Signal wakeup", this);
      }
      if ((v & kCvHasEvent) != 0) PostSynchEvent(this, SYNCH_EV_SIGNAL);
      break;
    }
    c = Delay(c, GENTLE);
  }
  TsanIgnoreEnd(this);
}

void CondVar::SignalAll() {
  TsanIgnoreBegin(this);
  int c = 0;
  for (intptr_t v = NoBarrier_Load(&this->cv_); v != 0;
       v = NoBarrier_Load(&this->cv_)) {
    // Empties the ring in one step.
    if ((v & kCvQueueLock) == 0 &&
        Acquire_CompareAndSwap(&this->cv_, v, v & kCvHasEvent) == v) {
      PerThreadSynch *h = reinterpret_cast<PerThreadSynch *>(v & ~kCvLow);
      if (h != nullptr) {
        PerThreadSynch *w;
        PerThreadSynch *n = h->next;
        do {
          w = n;
          n = n->next;  // before w is released
          CondVar::Wakeup(w);
        } while (w != h);
        base::SampledTraceCV("SignalAll wakeup", this);
      }
      if ((v & kCvHasEvent) != 0) PostSynchEvent(this, SYNCH_EV_SIGNALALL);
      break;
    }
    c = Delay(c, GENTLE);
  }
  TsanIgnoreEnd(this);
}

// ---- Barrier and BlockingCounter ----

Barrier::Barrier(int num_threads)
    : num_to_block_(num_threads), num_to_exit_(num_threads) {}

bool Barrier::Block() {
  MutexLock l(&this->lock_);
  this->num_to_block_--;
  CHECK(this->num_to_block_ >= 0)
      << "Block() called too many times.  num_to_block_=" << this->num_to_block_
      << " out of total=" << this->num_to_exit_;
  this->lock_.Await(Condition(IsZero, &this->num_to_block_));
  this->num_to_exit_--;
  CHECK(this->num_to_exit_ >= 0);
  // Decided while the lock is held: exactly one caller sees zero, and no
  // caller reads the barrier after the last one may have destroyed it.
  return this->num_to_exit_ == 0;
}

BlockingCounter::BlockingCounter(int initial_count)
    : count_(initial_count), num_waiting_(0) {}

bool BlockingCounter::DecrementCount() {
  MutexLock l(&this->lock_);
  this->count_--;
  CHECK(count_ >= 0) << "BlockingCounter::DecrementCount() called too many"
                        " times.  count="
                     << count_;
  return this->count_ == 0;
}

void BlockingCounter::Wait() {
  MutexLock l(&this->lock_);
  CHECK(count_ >= 0);
  CHECK(num_waiting_ == 0);
  this->num_waiting_++;
  this->lock_.Await(Condition(IsZero, &this->count_));
}
