#include "base/spinlock.h"

#include "base/auxiliary/synchronization_profiling.h"
#include "base/cycleclock.h"
#include "base/spinlock_wait.h"
#include "base/sysinfo.h"

using base::scheduling::SchedulingGuard;
using base::scheduling::SchedulingMode;

namespace {

// How many times a waiter reads the word before it sleeps: spinning only
// helps when the holder can run meanwhile on another processor.
int adaptive_spin_count = 0;

struct SpinCountInit {
  SpinCountInit() {
    if (NumCPUs() > 1) adaptive_spin_count = 1000;
  }
};
SpinCountInit spin_count_init;

}  // namespace

SpinLock::SpinLock() : lockword_(kCooperative) {}

SpinLock::SpinLock(SchedulingMode mode)
    : lockword_(mode == base::scheduling::SCHEDULE_COOPERATIVE_AND_KERNEL
                    ? kCooperative
                    : 0) {}

SpinLock::SpinLock(base::LinkerInitialized, SchedulingMode mode) {
  if (mode == base::scheduling::SCHEDULE_COOPERATIVE_AND_KERNEL) {
    InitLinkerInitializedAndCooperative();
  }
}

void SpinLock::InitLinkerInitializedAndCooperative() {
  Lock();
  Atomic32 v = base::subtle::NoBarrier_Load(&lockword_);
  for (;;) {
    Atomic32 seen = base::subtle::NoBarrier_CompareAndSwap(
        &lockword_, v, v | static_cast<Atomic32>(kCooperative));
    if (seen == v) break;
    v = seen;
  }
  Unlock();
}

uint32 SpinLock::EncodeWaitCycles(int64 wait_start_cycles,
                                  int64 wait_end_cycles) {
  // A clock read on another processor may be slightly behind: no wait.
  int64 scaled = (wait_end_cycles - wait_start_cycles) >> 7;
  if (scaled < 0) return 0;
  if (scaled > 0x1FFFFFFF) scaled = 0x1FFFFFFF;
  return static_cast<uint32>(scaled) << 3;
}

uint32 SpinLock::SpinLoop(int64 wait_start) {
  int c = adaptive_spin_count;
  uint32 v;
  do {
    v = static_cast<uint32>(base::subtle::NoBarrier_Load(&lockword_));
  } while ((v & kHeld) != 0 && --c > 0);
  uint32 wait_field = EncodeWaitCycles(wait_start, CycleClock::Now());
  return TryLockInternal(v, wait_field);
}

void SpinLock::SlowLock() {
  const int64 wait_start = CycleClock::Now();
  uint32 v = SpinLoop(wait_start);
  int sleeps = 0;
  while ((v & kHeld) != 0) {
    if ((v & kWaitMask) == 0) {
      // Mark a sleeper, so that the holder's unlock wakes us.
      uint32 seen = static_cast<uint32>(base::subtle::NoBarrier_CompareAndSwap(
          &lockword_, static_cast<Atomic32>(v),
          static_cast<Atomic32>(v | kSleeper)));
      if (seen == v) {
        v |= kSleeper;
      } else if ((seen & kHeld) == 0) {
        v = TryLockInternal(seen,
                            EncodeWaitCycles(wait_start, CycleClock::Now()));
        continue;  // freed meanwhile: no sleep
      } else {
        v = seen;
      }
    }
    ++sleeps;
    base::subtle::SpinLockDelay(
        &lockword_, static_cast<Atomic32>(v), sleeps,
        (v & kCooperative) != 0
            ? base::scheduling::SCHEDULE_COOPERATIVE_AND_KERNEL
            : base::scheduling::SCHEDULE_KERNEL_ONLY);
    v = SpinLoop(wait_start);
  }
}

void SpinLock::SlowUnlock(uint32 v) {
  if ((v & kSchedulingDisabled) != 0) {
    SchedulingGuard::EnableRescheduling(true);
  }
  if ((v & kWaitMask) != 0) {
    base::subtle::SpinLockWake(&lockword_, false);
    if ((v & kWaitMask) != kSleeper) {
      base::SubmitSpinLockProfileData(this, DecodeWaitCycles(v));
    }
  }
}
