// The processor probe behind the atomic operations: vendor, family and
// model from CPUID, whether the processor has the AMD lock/memory-barrier
// defect (an acquiring compare-and-swap then needs an lfence), SSE2 and
// CMPXCHG16B. The record (base/atomicops.h) is all false until the
// "atomicops_x86" module initializer runs the probe.
#ifndef BASE_AUXILIARY_ATOMICOPS_INTERNALS_X86_H_
#define BASE_AUXILIARY_ATOMICOPS_INTERNALS_X86_H_

#include "base/atomicops.h"

// Fills AtomicOps_Internalx86CPUFeatures from CPUID.
void AtomicOps_Internalx86CPUFeaturesInit();

namespace base {
namespace internal {
// The defect test on CPUID values: vendor "AuthenticAMD", family 15 and
// model 32..63 after adding the extended family and model.
bool HasAmdLockMbBug(const char *vendor, unsigned leaf1_eax);
}  // namespace internal
}  // namespace base

#endif  // BASE_AUXILIARY_ATOMICOPS_INTERNALS_X86_H_
