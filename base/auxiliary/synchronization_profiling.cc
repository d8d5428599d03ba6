#include "base/auxiliary/synchronization_profiling.h"

namespace base {

void SubmitSpinLockProfileData(const void *lock, int64 wait_cycles) {}

void SubmitMutexProfileData(int64 contention_start_cycles) {}

void SampledTraceMutex(const char *message, const void *object,
                       int64 contention_start_cycles) {}

void SampledTraceCV(const char *message, const void *object) {}

}  // namespace base
