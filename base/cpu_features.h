// Processor feature queries: does the running processor have an
// instruction-set extension? Code that carries a vector routine asks here
// before selecting it.
//
// The environment variable CPU_FEATURE_MASK, a hexadecimal number, hides
// features: when its bit i is set, feature i is reported absent, so the
// plain fallbacks can be exercised on any machine. It is read once, the
// first time any feature is queried.
//
// Only the features the runtime uses today are known here; processor and
// cache identification proper belongs to the system-information code, which
// will take this call over unchanged.
#ifndef BASE_CPU_FEATURES_H_
#define BASE_CPU_FEATURES_H_

// Feature indices for TestCPUFeature; each is also its bit in
// CPU_FEATURE_MASK.
enum CPUFeature {
  kCPUFeatureSSE2 = 2,  // CPUID leaf 1, EDX bit 26
};

// True when the processor has feature `index` and CPU_FEATURE_MASK does not
// hide it. Unknown indices are reported absent. Thread-safe.
bool TestCPUFeature(int index);

#endif  // BASE_CPU_FEATURES_H_
