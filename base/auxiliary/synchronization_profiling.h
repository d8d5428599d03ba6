// Contention profiling seam: the locks report how long an acquirer waited;
// the contention profiler, when present, records the samples. Until it is
// enabled the calls do nothing.
#ifndef BASE_AUXILIARY_SYNCHRONIZATION_PROFILING_H_
#define BASE_AUXILIARY_SYNCHRONIZATION_PROFILING_H_

#include "base/integral_types.h"

namespace base {

// A SpinLock at `lock` was acquired after waiting `wait_cycles` cycle-clock
// ticks. Called outside the lock; must not allocate or lock.
void SubmitSpinLockProfileData(const void *lock, int64 wait_cycles);

}  // namespace base

#endif  // BASE_AUXILIARY_SYNCHRONIZATION_PROFILING_H_
