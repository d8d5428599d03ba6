#include "base/auxiliary/atomicops-internals-x86.h"

#include <cpuid.h>
#include <string.h>

#include "base/logging.h"
#include "base/tavroinit.h"

struct AtomicOps_x86CPUFeatureStruct AtomicOps_Internalx86CPUFeatures = {
    false, false, false};

namespace base {
namespace internal {
namespace {

void FamilyAndModel(unsigned eax, int *family, int *model) {
  *family = (eax >> 8) & 0xf;
  *model = (eax >> 4) & 0xf;
  if (*family == 0xf) {
    *family += (eax >> 20) & 0xff;
    *model += ((eax >> 16) & 0xf) << 4;
  }
}

}  // namespace

bool HasAmdLockMbBug(const char *vendor, unsigned leaf1_eax) {
  int family, model;
  FamilyAndModel(leaf1_eax, &family, &model);
  return strcmp(vendor, "AuthenticAMD") == 0 && family == 15 && model >= 32 &&
         model <= 63;
}

}  // namespace internal
}  // namespace base

void AtomicOps_Internalx86CPUFeaturesInit() {
  unsigned eax, ebx, ecx, edx;
  __cpuid(0, eax, ebx, ecx, edx);
  char vendor[13];
  memcpy(vendor, &ebx, 4);
  memcpy(vendor + 4, &edx, 4);
  memcpy(vendor + 8, &ecx, 4);
  vendor[12] = 0;
  __cpuid(1, eax, ebx, ecx, edx);
  int family, model;
  base::internal::FamilyAndModel(eax, &family, &model);
  AtomicOps_x86CPUFeatureStruct *f = &AtomicOps_Internalx86CPUFeatures;
  f->has_amd_lock_mb_bug = base::internal::HasAmdLockMbBug(vendor, eax);
  f->has_sse2 = (edx >> 26) & 1;
  f->has_cmpxchg16b = (ecx >> 13) & 1;
  // Verbose level 1 once verbose logging exists.
  (void)family;
  (void)model;
}

REGISTER_MODULE_INITIALIZER(atomicops_x86,
                            { AtomicOps_Internalx86CPUFeaturesInit(); })
