// Named atomic operations on 32- and 64-bit words. Every word shared between
// threads in the low-level runtime (lock words, once controls, counters) is a
// plain integer accessed only through these, so the memory order of each
// access is spelled out where it happens. On x86-64 loads and stores are
// plain moves, compare-and-swap is a locked cmpxchg returning the previous
// value and increment a locked xadd returning the new value.
#ifndef BASE_ATOMICOPS_H_
#define BASE_ATOMICOPS_H_

#include "base/integral_types.h"

typedef int32 Atomic32;
typedef int64 Atomic64;
typedef intptr_t AtomicWord;

// What the processor probe found (base/auxiliary/atomicops-internals-x86.h).
struct AtomicOps_x86CPUFeatureStruct {
  bool has_amd_lock_mb_bug; // AMD family 15 (models 32..63): lock needs lfence
  bool has_sse2;
  bool has_cmpxchg16b;
};
extern struct AtomicOps_x86CPUFeatureStruct AtomicOps_Internalx86CPUFeatures;

namespace base {
namespace subtle {

// Values take the type of the word (not deduced from the argument), so
// constants of another integral type convert.
template <typename T> struct AtomicValue { typedef T type; };
#define TAVRO_ATOMIC_VALUE(T) typename AtomicValue<T>::type

template <typename T> inline T NoBarrier_Load(const volatile T *ptr) {
  return __atomic_load_n(ptr, __ATOMIC_RELAXED);
}
template <typename T> inline T Acquire_Load(const volatile T *ptr) {
  return __atomic_load_n(ptr, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void NoBarrier_Store(volatile T *ptr, TAVRO_ATOMIC_VALUE(T) value) {
  __atomic_store_n(ptr, value, __ATOMIC_RELAXED);
}
template <typename T>
inline void Release_Store(volatile T *ptr, TAVRO_ATOMIC_VALUE(T) value) {
  __atomic_store_n(ptr, value, __ATOMIC_RELEASE);
}

// Compare-and-swap: stores new_value when *ptr equals old_value; returns the
// value *ptr held before (old_value exactly when the swap happened).
template <typename T>
inline T NoBarrier_CompareAndSwap(volatile T *ptr,
                                  TAVRO_ATOMIC_VALUE(T) old_value,
                                  TAVRO_ATOMIC_VALUE(T) new_value) {
  __atomic_compare_exchange_n(ptr, &old_value, new_value, false,
                              __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  return old_value;
}
template <typename T>
inline T Acquire_CompareAndSwap(volatile T *ptr,
                                TAVRO_ATOMIC_VALUE(T) old_value,
                                TAVRO_ATOMIC_VALUE(T) new_value) {
  __atomic_compare_exchange_n(ptr, &old_value, new_value, false,
                              __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE);
  if (AtomicOps_Internalx86CPUFeatures.has_amd_lock_mb_bug) {
    __asm__ __volatile__("lfence" : : : "memory");
  }
  return old_value;
}
template <typename T>
inline T Release_CompareAndSwap(volatile T *ptr,
                                TAVRO_ATOMIC_VALUE(T) old_value,
                                TAVRO_ATOMIC_VALUE(T) new_value) {
  __atomic_compare_exchange_n(ptr, &old_value, new_value, false,
                              __ATOMIC_RELEASE, __ATOMIC_RELAXED);
  return old_value;
}

// Adds increment and returns the new value.
template <typename T>
inline T NoBarrier_AtomicIncrement(volatile T *ptr,
                                   TAVRO_ATOMIC_VALUE(T) increment) {
  return __atomic_add_fetch(ptr, increment, __ATOMIC_RELAXED);
}
template <typename T>
inline T Barrier_AtomicIncrement(volatile T *ptr,
                                 TAVRO_ATOMIC_VALUE(T) increment) {
  return __atomic_add_fetch(ptr, increment, __ATOMIC_SEQ_CST);
}

// Stores new_value and returns the previous value, with release order (and
// acquire, so that the caller may act on what it read).
template <typename T>
inline T Release_AtomicExchange(volatile T *ptr,
                                TAVRO_ATOMIC_VALUE(T) new_value) {
  return __atomic_exchange_n(ptr, new_value, __ATOMIC_ACQ_REL);
}

#undef TAVRO_ATOMIC_VALUE

} // namespace subtle
} // namespace base

#endif // BASE_ATOMICOPS_H_
