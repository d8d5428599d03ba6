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

// A Mutex released in its slow path woke a thread that had waited since
// `contention_start_cycles` (cycle-clock ticks) without a condition. Called
// after the release; must not allocate or block.
void SubmitMutexProfileData(int64 contention_start_cycles);

// Trace records for the optional contention trace: a contended release of
// the Mutex at `object` ("slow release") whose first woken waiter started
// waiting at `contention_start_cycles`, and CondVar events ("Wait",
// "Unwait", "Signal wakeup", "SignalAll wakeup") on the CondVar at `object`.
void SampledTraceMutex(const char *message, const void *object,
                       int64 contention_start_cycles);
void SampledTraceCV(const char *message, const void *object);

}  // namespace base

#endif  // BASE_AUXILIARY_SYNCHRONIZATION_PROFILING_H_
