#include "base/auxiliary/synchronization_profiling.h"

namespace base {

void SubmitSpinLockProfileData(const void *lock, int64 wait_cycles) {}

}  // namespace base
