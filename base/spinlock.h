// SpinLock: a one-word lock for the lowest layers of the runtime. It needs no
// constructor in static storage (a zero word is a free lock), allocates
// nothing, and may be used inside allocation hooks and during static
// initialization. Contended waiters spin briefly, then sleep on a futex.
//
//   static SpinLock lock(base::LINKER_INITIALIZED);
//   { SpinLockHolder h(&lock); ... }
//
// The lock word: bit 0 held; bit 1 cooperative (kept across unlocks); bit 2
// the holder disabled cooperative rescheduling; bits 3..31 the wait field:
// 0 = nobody waited, 8 = a waiter sleeps (or slept) and the holder recorded
// no wait, otherwise the holder's own wait in cycle-clock ticks >> 7, << 3.
#ifndef BASE_SPINLOCK_H_
#define BASE_SPINLOCK_H_

#include "base/atomicops.h"
#include "base/integral_types.h"
#include "base/linker_initialized.h"
#include "base/port.h"
#include "base/scheduling.h"
#include "base/thread_annotations.h"

class LOCKABLE SpinLock {
 public:
  // A cooperative lock (word 2).
  SpinLock();
  explicit SpinLock(base::scheduling::SchedulingMode mode);
  // Writes nothing: static zero storage is a free kernel-only lock.
  explicit SpinLock(base::LinkerInitialized) {}
  SpinLock(base::LinkerInitialized, base::scheduling::SchedulingMode mode);
  SpinLock(const SpinLock &) = delete;
  SpinLock &operator=(const SpinLock &) = delete;

  inline void Lock() EXCLUSIVE_LOCK_FUNCTION() {
    if (!TryLockFast()) SlowLock();
    TAVRO_TSAN_MUTEX_LOCKED(this);
  }

  inline bool TryLock() EXCLUSIVE_TRYLOCK_FUNCTION(true) {
    bool locked = TryLockFast();
    if (locked) TAVRO_TSAN_MUTEX_LOCKED(this);
    return locked;
  }

  inline void Unlock() UNLOCK_FUNCTION() {
    TAVRO_TSAN_MUTEX_UNLOCKING(this);
    // The exchange (not a load then a store) sees every sleeper marker set
    // before the release, so no sleeper is left to its timeout.
    uint32 v = static_cast<uint32>(base::subtle::Release_AtomicExchange(
        &lockword_, base::subtle::NoBarrier_Load(&lockword_) &
                        static_cast<Atomic32>(kCooperative)));
    if (PREDICT_FALSE((v & (kWaitMask | kSchedulingDisabled)) != 0)) {
      SlowUnlock(v);
    }
  }

  // True when some thread holds the lock (a relaxed read: a hint only).
  inline bool IsHeld() const {
    return (base::subtle::NoBarrier_Load(&lockword_) & kHeld) != 0;
  }

  // Decodes a wait field into cycle-clock ticks (granularity 128 ticks).
  static int64 DecodeWaitCycles(uint32 lock_value) {
    return static_cast<int64>(static_cast<uint64>(lock_value & kWaitMask) << 4);
  }
  // Encodes the wait since wait_start_cycles (cycle-clock ticks) as a wait
  // field: never 0 for a positive wait of 128 ticks or more, never above
  // kWaitMask.
  static uint32 EncodeWaitCycles(int64 wait_start_cycles,
                                 int64 wait_end_cycles);

  static constexpr uint32 kHeld = 1;
  static constexpr uint32 kCooperative = 2;
  static constexpr uint32 kSchedulingDisabled = 4;
  static constexpr uint32 kWaitMask = 0xFFFFFFF8u;
  static constexpr uint32 kSleeper = 8;

 private:
  inline bool TryLockFast() {
    uint32 v = static_cast<uint32>(base::subtle::NoBarrier_Load(&lockword_));
    return (TryLockInternal(v, 0) & kHeld) == 0;
  }
  // Tries to take a lock last seen as v, storing wait_field with it. Returns
  // the word seen by the swap: the held bit is clear exactly on success.
  inline uint32 TryLockInternal(uint32 v, uint32 wait_field) {
    if ((v & kHeld) != 0) return v;
    uint32 scheduling_disabled = 0;
    if ((v & kCooperative) == 0 &&
        base::scheduling::SchedulingGuard::DisableRescheduling()) {
      scheduling_disabled = kSchedulingDisabled;
    }
    uint32 seen = static_cast<uint32>(base::subtle::Acquire_CompareAndSwap(
        &lockword_, static_cast<Atomic32>(v),
        static_cast<Atomic32>(v | kHeld | wait_field | scheduling_disabled)));
    if (seen != v) {
      base::scheduling::SchedulingGuard::EnableRescheduling(
          scheduling_disabled != 0);
    }
    return seen;
  }
  void SlowLock();
  void SlowUnlock(uint32 v);
  uint32 SpinLoop(int64 wait_start);
  void InitLinkerInitializedAndCooperative();

  volatile Atomic32 lockword_;
};

// Holds a SpinLock for the life of the scope.
class SCOPED_LOCKABLE SpinLockHolder {
 public:
  explicit SpinLockHolder(SpinLock *lock) EXCLUSIVE_LOCK_FUNCTION(lock)
      : lock_(lock) {
    lock_->Lock();
  }
  ~SpinLockHolder() UNLOCK_FUNCTION() { lock_->Unlock(); }
  SpinLockHolder(const SpinLockHolder &) = delete;
  SpinLockHolder &operator=(const SpinLockHolder &) = delete;

 private:
  SpinLock *lock_;
};

#endif  // BASE_SPINLOCK_H_
