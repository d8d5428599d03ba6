// The current wall-clock time, cheaply and with nanosecond resolution.
//
// Reading the kernel clock costs a system call (or a vDSO call that reads
// several shared words and may retry), so the time is interpolated from the
// cycle clock instead. A sample pairs one kernel reading with the cycle-clock
// reading of the same moment and a rate in nanoseconds per cycle; a reader
// adds (cycles since the sample) x rate to the sample's time. A sample serves
// about two seconds of interpolation. The first read after that takes a lock,
// reads the kernel clock again, and replaces the sample, recalibrating the
// rate so that the clock converges on the kernel's without jumping.
//
// Readers take no lock: a sequence counter, odd while the sample is being
// changed, tells them whether the fields they read belong together.
//
//   int64 ns = base::GetCurrentTimeNanos();   // since the Unix epoch
//   int64 ms = GetCurrentTimeMillis();
#ifndef BASE_GET_CURRENT_TIME_H_
#define BASE_GET_CURRENT_TIME_H_

#include "base/atomicops.h"
#include "base/cycleclock.h"
#include "base/integral_types.h"
#include "base/port.h"

class SpinLock;

namespace base {

// One pairing of the kernel clock with the cycle clock.
struct TimeSample {
  uint64 raw_ns;                 // kernel time of the sample; 0: no sample
  uint64 base_ns;                // this clock's time at that moment
  uint64 base_cycles;            // cycle-clock reading of that moment
  uint64 nsscaled_per_cycle;     // nanoseconds per cycle << 30; 0: uncalibrated
  uint64 min_cycles_per_sample;  // cycles after base_cycles the sample serves
};

// The same fields as words that are loaded and stored one at a time.
struct TimeSampleAtomic {
  uint64 raw_ns = 0;
  uint64 base_ns = 0;
  uint64 base_cycles = 0;
  uint64 nsscaled_per_cycle = 0;
  uint64 min_cycles_per_sample = 0;
};

// About a * 2^30 / b, without overflow: a is shifted left as far as it goes
// (at most 30 bits) and b right by the rest. 0 when b is too small to divide
// by after its shift.
inline uint64 SafeDivideAndScale(uint64 a, uint64 b) {
  int shift = 30;
  while (((a << shift) >> shift) != a) --shift;
  const uint64 scaled_b = b >> (30 - shift);
  return scaled_b == 0 ? 0 : (a << shift) / scaled_b;
}

// Unit conversions of a time in nanoseconds (truncating toward zero).
inline int64 NanosToMicros(int64 ns) { return ns / 1000; }
inline int64 NanosToMillis(int64 ns) { return ns / 1000000; }
inline double NanosToSeconds(int64 ns) { return static_cast<double>(ns) / 1e9; }

namespace time_internal {

// Fixed-point scale of the rate: nanoseconds per cycle times 2^30.
constexpr int kScaleShift = 30;
// A calibrated sample serves this much interpolated time (2000 << 20 ns,
// about 2.1 s).
constexpr uint64 kMinInterpolationNs = 0x7D000000;
// A sample older than this (kernel time) is replaced without calibrating.
constexpr uint64 kReinitializeNs = 5000000000;
// Calibration needs this much kernel time and these many cycles between two
// samples; closer readings leave the sample as it is.
constexpr uint64 kMinRefreshNs = 500000000;
constexpr uint64 kMinRefreshCycles = 100;
// A correction of this much or more is not converged on: the clock starts
// over from the kernel's time.
constexpr int64 kMaxCorrectionNs = 100000000;
// Initial estimate of a kernel clock read in cycles, its ceiling for
// growth, and how many slow reads in a row double it.
constexpr uint64 kInitialKernelReadCycles = 10000;
constexpr uint64 kMaxGrownKernelReadCycles = 1000000;
constexpr int kSlowReadsToGrow = 20;
// Fast reads (at most half the estimate) in a row that shrink it by 1/8.
constexpr int kFastReadsToShrink = 4;
// A kernel reading whose cycle reading is not past the previous read's, but
// less than this many cycles before it (the counter has not moved on), is
// taken again.
constexpr uint64 kMinCyclesAfterLastRead = 65536;
// Rounds of kernel reads before the cheapest one is taken as it is.
constexpr int kMaxKernelReadRounds = 100;

class InterpolatedClockPeer;  // tests

// How often each path was taken.
struct TimeStats {
  uint64 initializations;    // the sample was started over, uncalibrated
  uint64 reinitializations;  // a calibration failed and started over
  uint64 calibrations;       // the sample was replaced and recalibrated
  uint64 slow_paths;         // a refresh came too soon to change anything
  uint64 fast_slow_paths;    // the slow path found a sample still valid
};

// The interpolating clock, reading the kernel's time in nanoseconds through
// KernelNanos and the cycle counter through Cycles. The process-wide clock
// uses clock_gettime(CLOCK_REALTIME) and the cycle clock; tests drive other
// instances with fake sources. The constructor is constexpr, so an instance
// in static storage is ready before any constructor runs.
//
// The out-of-line members are in get_current_time_internal.h.
template <int64 (*KernelNanos)(), uint64 (*Cycles)()>
class alignas(64) InterpolatedClock {
 public:
  // lock serializes refreshes; it must outlive the clock.
  explicit constexpr InterpolatedClock(SpinLock* lock) : lock_(lock) {}
  InterpolatedClock(const InterpolatedClock&) = delete;
  InterpolatedClock& operator=(const InterpolatedClock&) = delete;

  // Nanoseconds since the epoch. A few loads, one cycle-counter read, a
  // multiply and a shift while the sample is valid and not being changed;
  // otherwise the slow path.
  //
  // Every load is an acquire, so the second load of seq_ stays after the
  // field loads; and since a change stores the fields with release order
  // after making seq_ odd, a reader that loaded any field value of a change
  // sees that change's seq_ in its second load. Equal, even seq_ values
  // therefore mean the fields belong to one sample.
  inline int64 Now() {
    using base::subtle::Acquire_Load;
    const int64 seq_before = Acquire_Load(&seq_);
    const uint64 base_ns = Acquire_Load(&sample_.base_ns);
    const uint64 base_cycles = Acquire_Load(&sample_.base_cycles);
    const uint64 rate = Acquire_Load(&sample_.nsscaled_per_cycle);
    const uint64 valid_cycles = Acquire_Load(&sample_.min_cycles_per_sample);
    const int64 seq_after = Acquire_Load(&seq_);
    const uint64 delta = Cycles() - base_cycles;
    if (PREDICT_TRUE(seq_before == seq_after && (seq_before & 1) == 0 &&
                     delta < valid_cycles)) {
      return static_cast<int64>(base_ns + ((delta * rate) >> kScaleShift));
    }
    return GetCurrentTimeNanosSlowPath();
  }

  // Reads the kernel clock and stores the cycle reading taken right after it
  // into *cycles. A read that took at least the current cost estimate (the
  // thread was probably interrupted between the two readings), or whose
  // cycle reading has not moved past last_cycles, is taken again; the
  // estimate grows when reads keep being slow and shrinks when they keep
  // being fast. After kMaxKernelReadRounds rounds the cheapest reading is
  // taken. Called under the lock.
  int64 GetCurrentTimeNanosFromKernel(uint64 last_cycles, uint64* cycles);

  // A snapshot of the sample, the statistics and the kernel-read cost
  // estimate, each field read on its own (for tests and diagnostics).
  TimeSample Sample() const;
  TimeStats Stats() const;
  uint64 KernelReadCostEstimate() const {
    return base::subtle::NoBarrier_Load(&approx_syscall_time_in_cycles_);
  }

 private:
  int64 GetCurrentTimeNanosSlowPath();
  // Replaces or keeps the sample after a kernel reading of now_ns at
  // now_cycles, delta_cycles after the base cycles of `sample`, the current
  // sample. Returns this clock's time for the moment.
  uint64 UpdateLastSample(uint64 now_cycles, uint64 now_ns, uint64 delta_cycles,
                          const TimeSample& sample);
  static void Increment(uint64* counter) {
    base::subtle::NoBarrier_Store(counter,
                                  base::subtle::NoBarrier_Load(counter) + 1);
  }

  friend class InterpolatedClockPeer;

  // Read by every reader: kept together at the front.
  int64 seq_ = 0;  // odd while the sample is being changed
  TimeSampleAtomic sample_;
  SpinLock* const lock_;
  // The rest changes only under the lock.
  uint64 last_now_cycles_ = 0;
  uint64 approx_syscall_time_in_cycles_ = kInitialKernelReadCycles;
  int32 seen_smaller_ = 0;
  TimeStats stats_ = {0, 0, 0, 0, 0};
};

// The cycle-clock reading used by the process-wide clock.
inline uint64 CycleClockNow() { return static_cast<uint64>(CycleClock::Now()); }
// clock_gettime(CLOCK_REALTIME) in nanoseconds.
int64 KernelTimeNanos();

typedef InterpolatedClock<&KernelTimeNanos, &CycleClockNow> SystemClock;
extern template class InterpolatedClock<&KernelTimeNanos, &CycleClockNow>;

// The process-wide clock.
extern SystemClock system_clock;

}  // namespace time_internal

// Nanoseconds since the Unix epoch.
inline int64 GetCurrentTimeNanos() { return time_internal::system_clock.Now(); }

}  // namespace base

// Microseconds and milliseconds since the Unix epoch (truncated).
inline int64 GetCurrentTimeMicros() {
  return base::NanosToMicros(base::GetCurrentTimeNanos());
}
inline int64 GetCurrentTimeMillis() {
  return base::NanosToMillis(base::GetCurrentTimeNanos());
}

#endif  // BASE_GET_CURRENT_TIME_H_
