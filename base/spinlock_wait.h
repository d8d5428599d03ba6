// The futex primitives that SpinLock and once-initialization share: a
// bounded, randomized sleep on a word (SpinLockDelay), a wake of one or all
// sleepers (SpinLockWake), and a small state machine that moves a word
// through a table of transitions, sleeping between attempts (SpinLockWait).
// None of them allocates.
#ifndef BASE_SPINLOCK_WAIT_H_
#define BASE_SPINLOCK_WAIT_H_

#include "base/atomicops.h"
#include "base/integral_types.h"
#include "base/scheduling.h"

namespace base {
namespace subtle {

// One row of a SpinLockWait table: when the word holds `from`, move it to
// `to`; stop waiting when `done`.
struct SpinLockWaitTransition {
  int32 from;
  int32 to;
  bool done;
};

// Runs the table until a row marked done is taken; returns the word's value
// read just before that transition. Sleeps while no row matches.
int32 SpinLockWait(volatile Atomic32 *word, int n,
                   const SpinLockWaitTransition trans[],
                   base::scheduling::SchedulingMode mode);

// Sleeps for a randomized time that grows with `loop`, unless *word no
// longer holds `value`. Loop 0 returns at once. Preserves errno.
void SpinLockDelay(volatile Atomic32 *word, int32 value, int loop,
                   base::scheduling::SchedulingMode mode);

// Wakes one sleeper of SpinLockDelay on `word`, or all of them.
void SpinLockWake(volatile Atomic32 *word, bool all);

// The delay, in units of 16 ns, that SpinLockDelay sleeps for `loop`:
// uniform below 2^(20 + min(loop, 32) / 8); a negative loop counts as 32.
int SuggestedDelayNS(int loop);

}  // namespace subtle
}  // namespace base

#endif  // BASE_SPINLOCK_WAIT_H_
