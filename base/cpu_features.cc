#include "base/cpu_features.h"

#include <cpuid.h>

#include <cstdlib>

#include "base/integral_types.h"
#include "base/once.h"

namespace {

TavroOnceType features_once = TAVRO_ONCE_INIT;

// Bit i set: feature i is present and not masked. Written once, under
// features_once, before any reader sees it.
uint64 features = 0;

void GatherFeatures() {
  uint64 present = 0;
  unsigned int eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    if (edx & (1u << 26)) present |= uint64{1} << kCPUFeatureSSE2;
  }
  uint64 mask = 0;
  if (const char* env = getenv("CPU_FEATURE_MASK")) {
    mask = strtoull(env, nullptr, 16);
  }
  features = present & ~mask;
}

}  // namespace

bool TestCPUFeature(int index) {
  TavroOnceInit(&features_once, &GatherFeatures);
  if (index < 0 || index >= 64) return false;
  return (features >> index) & 1;
}
