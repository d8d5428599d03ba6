// Mutex, Condition, CondVar, Barrier and BlockingCounter: the runtime's
// general locks.
//
// Mutex is a reader/writer lock held in one machine word. Blocked threads
// wait in an intrusive queue of per-thread records and sleep on their
// per-thread semaphores; nothing on the lock paths calls malloc (records come
// from LowLevelAlloc), so a Mutex may be used inside allocation hooks and
// profilers. Beyond Lock/Unlock it offers conditional critical sections:
//
//   Mutex mu;
//   int available GUARDED_BY(mu) = 0;
//   bool Ready(void *arg) { return *static_cast<int *>(arg) > 0; }
//   ...
//   mu.LockWhen(Condition(Ready, &available));   // returns holding mu with
//   available--;                                 // the condition true
//   mu.Unlock();
//
// The thread that releases the mutex evaluates the waiters' conditions (one
// evaluation per run of waiters with equal conditions) and wakes only those
// that can proceed. Conditions must depend only on state guarded by the
// mutex and must not lock anything themselves.
//
// Writers may barge: Lock takes a free mutex even when threads are queued.
// Readers queue behind a waiting writer. A Mutex in static storage may be
// constructed with base::LINKER_INITIALIZED and is usable before any
// constructor has run.
//
// CondVar pairs with Mutex; a signalled waiter whose mutex is still held is
// moved straight onto the mutex's queue instead of being woken.
#ifndef BASE_SYNCHRONIZATION_H_
#define BASE_SYNCHRONIZATION_H_

#include <time.h>

#include <type_traits>
#include <utility>

#include "base/atomicops.h"
#include "base/commandlineflags.h"
#include "base/integral_types.h"
#include "base/linker_initialized.h"
#include "base/thread_annotations.h"

DECLARE_bool(synch_check_invariants);
DECLARE_int32(synch_deadlock_detection);
DECLARE_int32(synch_deadlock_detection_graph_size);

namespace base {
namespace subtle {
struct ThreadIdentity;
}  // namespace subtle
}  // namespace base

class Condition;
class CondVar;
struct MuHowS;
struct PerThreadSynch;
struct SynchWaitParams;
typedef const MuHowS *MuHow;

class LOCKABLE Mutex {
 public:
  Mutex();
  // Writes nothing: a Mutex in zeroed static storage is free, also before
  // this constructor runs.
  explicit Mutex(base::LinkerInitialized) {}
  // With debug_log, every operation writes a raw log line naming the mutex.
  Mutex(bool debug_log, const char *name);
  ~Mutex();

  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  // Exclusive (writer) mode.
  void Lock() EXCLUSIVE_LOCK_FUNCTION();
  void WriterLock() EXCLUSIVE_LOCK_FUNCTION() { this->Lock(); }
  void Unlock() UNLOCK_FUNCTION();
  void WriterUnlock() UNLOCK_FUNCTION() { this->Unlock(); }
  bool TryLock() EXCLUSIVE_TRYLOCK_FUNCTION(true);

  // Shared (reader) mode.
  void ReaderLock() SHARED_LOCK_FUNCTION();
  void ReaderUnlock() UNLOCK_FUNCTION();
  bool ReaderTryLock() SHARED_TRYLOCK_FUNCTION(true);

  // Block until the mutex is acquired with cond true.
  void LockWhen(const Condition &cond) EXCLUSIVE_LOCK_FUNCTION();
  void ReaderLockWhen(const Condition &cond) SHARED_LOCK_FUNCTION();
  // As above, giving up waiting for cond after timeout_ms milliseconds
  // (negative counts as 0). The mutex is held on return either way; the
  // result says whether cond is true.
  bool LockWhenWithTimeout(const Condition &cond, int64 timeout_ms)
      EXCLUSIVE_LOCK_FUNCTION();
  bool ReaderLockWhenWithTimeout(const Condition &cond, int64 timeout_ms)
      SHARED_LOCK_FUNCTION();

  // Called with the mutex held (in either mode): releases it and reacquires
  // it in the same mode until cond is true. Returns at once when cond is
  // already true.
  void Await(const Condition &cond);
  // As Await, giving up after timeout_ms; returns whether cond is true. The
  // mutex is held on return either way.
  bool AwaitWithTimeout(const Condition &cond, int64 timeout_ms);

  // Fatal unless the mutex is held exclusively / held in some mode. They
  // check the lock word, not which thread holds it.
  void AssertHeld() const;
  void AssertReaderHeld() const;
  // Fatal when the calling thread holds the mutex; only checked while the
  // deadlock detector keeps per-thread held-lock lists.
  void AssertNotHeld() const;

  // Logs every operation on this mutex as a raw INFO record, with `name`.
  void EnableDebugLog(const char *name);
  // With --synch_check_invariants, calls invariant(arg) after every
  // operation that leaves the mutex held (and before each release).
  void EnableInvariantDebugging(void (*invariant)(void *), void *arg);
  // Lets a thread that holds the mutex in shared mode take it again in
  // shared mode; each ReaderLock then needs its own ReaderUnlock. Await and
  // CondVar waits are not allowed on such a reader-held mutex.
  void EnableReaderReentry();
  // Drops what the deadlock detector learned about this mutex.
  void ForgetDeadlockInfo();

  // For fatal-signal handlers that must take locks: turns off the recursion
  // checks of the calling thread and deadlock detection.
  static void InternalAttemptToUseMutexInFatalSignalHandler();

 private:
  friend class CondVar;

  // The blocking paths.
  void LockSlow(MuHow how, const Condition *cond, int flags);
  bool LockSlowWithTimeout(MuHow how, const Condition *cond,
                           const struct timespec *deadline, int flags);
  void LockSlowLoop(SynchWaitParams *waitp, int flags);
  void UnlockSlow(SynchWaitParams *waitp);
  bool AwaitCommon(const Condition &cond, const struct timespec *deadline);
  void Block(PerThreadSynch *s);
  void TryRemove(PerThreadSynch *s);
  PerThreadSynch *Wakeup(PerThreadSynch *w);
  // Reacquires in mode `how` after a CondVar wait.
  void Trans(MuHow how);
  // Moves CondVar waiter w onto this mutex's queue (or wakes it when it
  // could take the mutex now).
  void Fer(PerThreadSynch *w);
  // Posts / waits on a waiter's per-thread semaphore. The poster passes the
  // identity it read before releasing the waiter's record.
  static void IncrementSynchSem(Mutex *mu,
                                base::subtle::ThreadIdentity *identity);
  static bool DecrementSynchSem(Mutex *mu, PerThreadSynch *w,
                                const struct timespec *deadline);

  // The lock word: flag bits in the low byte; above them the reader count,
  // or the tail of the waiter queue when one exists.
  volatile AtomicWord mu_;
};

// A predicate for LockWhen and Await: a function of one pointer, the value
// of a bool, or a callback object. Evaluated with the mutex held, possibly
// by another thread.
class Condition {
 public:
  // Always true.
  constexpr Condition() : eval_(nullptr), method_(nullptr), arg_(nullptr) {}
  // func(arg); a null func is always true.
  Condition(bool (*func)(void *), void *arg);
  // The value of *cond.
  explicit Condition(const bool *cond);
  // callback->Run() for a repeatable callback (one with CheckIsRepeatable(),
  // called here, and a bool Run()); the callback must outlive the condition.
  template <typename Callback,
            typename = decltype(std::declval<Callback &>().CheckIsRepeatable()),
            typename = decltype(&Callback::Run)>
  explicit Condition(Callback *callback);

  bool Eval() const;

  // True when a and b are certain to evaluate alike: both trivially true
  // (null or no function), or the same function, argument and method. False
  // does not mean they differ.
  static bool GuaranteedEqual(const Condition *a, const Condition *b);

  static const Condition kTrue;

 private:
  typedef bool (*InternalFunctionType)(void *arg);
  typedef bool (Condition::*InternalMethodType)();
  typedef bool (*InternalMethodCallerType)(void *arg,
                                           InternalMethodType method);

  template <typename Callback>
  static bool CallMethod(void *arg, InternalMethodType method) {
    auto run = reinterpret_cast<decltype(&Callback::Run)>(method);
    return (static_cast<Callback *>(arg)->*run)();
  }

  // Called with arg_ (and method_, when set); null means true.
  InternalFunctionType eval_;
  InternalMethodType method_;
  void *arg_;
};

template <typename Callback, typename, typename>
Condition::Condition(Callback *callback)
    : eval_(reinterpret_cast<InternalFunctionType>(
          reinterpret_cast<void (*)()>(&CallMethod<Callback>))),
      method_(reinterpret_cast<InternalMethodType>(&Callback::Run)),
      arg_(callback) {
  callback->CheckIsRepeatable();
}

class CondVar {
 public:
  CondVar();
  CondVar(bool debug_log, const char *name);
  ~CondVar();

  CondVar(const CondVar &) = delete;
  CondVar &operator=(const CondVar &) = delete;

  void EnableDebugLog(const char *name);

  // Releases *mu (held in either mode), waits for a Signal or SignalAll,
  // and reacquires *mu in the same mode. Wakeups may be spurious.
  void Wait(Mutex *mu);
  // As Wait, giving up after timeout_ms; true when it gave up (the wait
  // ended by the timeout), false when signalled. *mu is held on return.
  bool WaitWithTimeout(Mutex *mu, int64 timeout_ms);
  // The general wait: with lock_func null, arg is a Mutex; otherwise
  // unlock_func(arg) releases and lock_func(arg) reacquires the caller's
  // lock. deadline is absolute (CLOCK_REALTIME) or null. True on timeout.
  bool WaitGeneric(void *arg, const struct timespec *deadline,
                   void (*lock_func)(void *), void (*unlock_func)(void *));

  // Wakes the longest waiting thread, if any.
  void Signal();
  // Wakes every waiting thread.
  void SignalAll();

 private:
  bool Remove(PerThreadSynch *s);
  static void Wakeup(PerThreadSynch *w);

  // Flag bits in the low two bits; above them the tail of the waiter ring.
  volatile AtomicWord cv_;
};

// Holds a Mutex exclusively for the life of the scope.
class SCOPED_LOCKABLE MutexLock {
 public:
  explicit MutexLock(Mutex *mu) EXCLUSIVE_LOCK_FUNCTION(mu) : mu_(mu) {
    this->mu_->Lock();
  }
  ~MutexLock() UNLOCK_FUNCTION() { this->mu_->Unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex *const mu_;
};

// Holds a Mutex in shared mode for the life of the scope.
class SCOPED_LOCKABLE ReaderMutexLock {
 public:
  explicit ReaderMutexLock(Mutex *mu) SHARED_LOCK_FUNCTION(mu) : mu_(mu) {
    this->mu_->ReaderLock();
  }
  ~ReaderMutexLock() UNLOCK_FUNCTION() { this->mu_->ReaderUnlock(); }
  ReaderMutexLock(const ReaderMutexLock &) = delete;
  ReaderMutexLock &operator=(const ReaderMutexLock &) = delete;

 private:
  Mutex *const mu_;
};

// Holds a Mutex exclusively for the life of the scope.
class SCOPED_LOCKABLE WriterMutexLock {
 public:
  explicit WriterMutexLock(Mutex *mu) EXCLUSIVE_LOCK_FUNCTION(mu) : mu_(mu) {
    this->mu_->WriterLock();
  }
  ~WriterMutexLock() UNLOCK_FUNCTION() { this->mu_->WriterUnlock(); }
  WriterMutexLock(const WriterMutexLock &) = delete;
  WriterMutexLock &operator=(const WriterMutexLock &) = delete;

 private:
  Mutex *const mu_;
};

// A one-shot barrier for a fixed number of threads: Block returns once all
// of them have called it, true to exactly one of them, which may then
// destroy the barrier.
class Barrier {
 public:
  explicit Barrier(int num_threads);
  Barrier(const Barrier &) = delete;
  Barrier &operator=(const Barrier &) = delete;

  bool Block();

 private:
  Mutex lock_;
  int num_to_block_;  // parties still to arrive
  int num_to_exit_;   // parties still to leave
};

// Waits until a count, set at construction, has been decremented to zero.
// One thread may Wait.
class BlockingCounter {
 public:
  explicit BlockingCounter(int initial_count);
  BlockingCounter(const BlockingCounter &) = delete;
  BlockingCounter &operator=(const BlockingCounter &) = delete;

  // Returns whether the count reached zero. Fatal below zero.
  bool DecrementCount();
  void Wait();

 private:
  Mutex lock_;
  int count_;
  int num_waiting_;
};

// Records the calling thread as the main thread and sets how hard contended
// Mutex operations spin before they queue: until it is called (by process
// start-up) a contended Lock makes a single extra attempt, and the back-off
// assumes a multiprocessor.
void InitMainThreadID();
// True before InitMainThreadID, afterwards whether the caller is the thread
// that called it.
bool is_default_thread();

// Advances the idleness clock of a waiter's per-thread semaphore.
void Synch_PerThreadTick(PerThreadSynch *s);

#endif  // BASE_SYNCHRONIZATION_H_
