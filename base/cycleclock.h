// The cycle clock: a 64-bit tick counter read with one instruction (the
// processor's time-stamp counter), scaled down so that it ticks fewer than
// 2^32 times per second. Locks, logging and profilers measure waits with it;
// CycleClock::Frequency() converts ticks to seconds.
#ifndef BASE_CYCLECLOCK_H_
#define BASE_CYCLECLOCK_H_

#include <x86intrin.h>

#include "base/integral_types.h"

class CycleClock {
 public:
  // The time-stamp counter shifted right by g_cycle_clock_shift. Before the
  // processor facts are first computed (sysinfo.h) the shift is 0.
  static inline int64 Now() {
    return static_cast<int64>(UnscaledClock() >> g_cycle_clock_shift);
  }
  // The raw time-stamp counter.
  static inline uint64 UnscaledClock() { return __rdtsc(); }
  // Ticks of Now() per second; the same as CycleClockFrequency().
  static double Frequency();

  // Right shift applied to the counter; written once by the processor-facts
  // initialization.
  static int g_cycle_clock_shift;
};

#endif  // BASE_CYCLECLOCK_H_
